// The user interface on a Linux desktop: zenity dialogs (alerts, the folder chooser) and desktop
// notifications (overlays), run as child processes through a ProcessRunner; and the headless
// stand-in used when no display can be reached, which answers as a user who cancels and logs what
// it would have shown. Main thread, like the interface.
#pragma once

#include <string>

#include "base/process_runner.h"
#include "tools/user_interface.h"

namespace trellis::lnx {

class ZenityUserInterface final : public UserInterface {
 public:
  // `zenity` is the program's path; `runner` must outlive this object.
  ZenityUserInterface(std::string zenity, ProcessRunner& runner) : zenity_(std::move(zenity)), runner_(runner) {}

  // Nothing to raise: the agent has no window of its own, and each dialog comes up in front.
  void activateIgnoringOtherApps() override {}
  // A question dialog (an information dialog for one button): the first button is zenity's OK,
  // the second its Cancel, the others extra buttons. A dialog closed without a button, or one
  // that cannot be shown, answers with the last button.
  int runModal(const AlertRequest& alert) override;
  // A file chooser; blocks while it is up (as the desktop dialog runs in its own process), then
  // queues `done` on the main queue.
  void beginOpenPanel(const OpenPanelRequest& panel, PanelCompletion done) override;
  // A desktop notification with `text`.
  void showOverlay(OverlayStyle style, OverlayWindow window, const std::string& text) override;

 private:
  std::string zenity_;
  ProcessRunner& runner_;
};

class HeadlessUserInterface final : public UserInterface {
 public:
  void activateIgnoringOtherApps() override {}
  // Logs the alert and answers with its last button ("Cancel").
  int runModal(const AlertRequest& alert) override;
  // Logs the chooser and queues `done` with nothing (not confirmed) on the main queue.
  void beginOpenPanel(const OpenPanelRequest& panel, PanelCompletion done) override;
  // Logs the text.
  void showOverlay(OverlayStyle style, OverlayWindow window, const std::string& text) override;
};

}  // namespace trellis::lnx
