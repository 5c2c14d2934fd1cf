// The user interface as the utility layer sees it: modal alerts, a folder chooser and transient
// overlay messages, plus bringing the application to the front. The platform folder supplies a
// desktop implementation and a headless one; tests install a scripted one. Every operation belongs
// to the main thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace trellis {

// The values the platform's alert styles have.
enum class AlertStyle { kWarning = 0, kInformational = 1, kCritical = 2 };

// An alert's answer for its first button; the second answers one more, and so on.
inline constexpr int kAlertFirstButtonReturn = 1000;

struct AlertRequest {
  AlertStyle style = AlertStyle::kWarning;
  std::string messageText;
  std::string informativeText;
  std::vector<std::string> buttons;  // in order; an alert without buttons shows one "OK"
};

struct OpenPanelRequest {
  std::string directory;  // where the panel starts; empty: wherever the implementation likes
  bool canChooseFiles = true;
  bool canChooseDirectories = false;
  std::string prompt;   // the confirm button's text
  std::string message;  // the text shown with the chooser
};

enum class OverlayStyle { kText, kError };
// Which of the application's windows an overlay is shown over.
enum class OverlayWindow { kFrontmost, kLast };

class UserInterface {
 public:
  // Called with the chosen location, or nothing when the user did not confirm the panel.
  using PanelCompletion = std::function<void(std::optional<std::string> chosen)>;

  virtual ~UserInterface() = default;

  // Brings the application in front of all others.
  virtual void activateIgnoringOtherApps() = 0;
  // Shows `alert` modally and returns the chosen button's answer (kAlertFirstButtonReturn + its
  // position). An implementation that cannot ask answers with the last button, which is where
  // alerts put "Cancel".
  virtual int runModal(const AlertRequest& alert) = 0;
  // Shows a chooser without waiting for it: `done` runs later on the main queue, never before
  // this returns, exactly once.
  virtual void beginOpenPanel(const OpenPanelRequest& panel, PanelCompletion done) = 0;
  // Shows `text` briefly over `window`; there is no answer.
  virtual void showOverlay(OverlayStyle style, OverlayWindow window, const std::string& text) = 0;

  // The one the process uses (base/services.h).
  static UserInterface& system();
};


}  // namespace trellis
