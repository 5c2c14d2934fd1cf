// zenity's answers: exit 0 for OK (and a chosen path on standard output), 1 for Cancel or an
// extra button (whose label it prints), 5 for a timeout, 255 for an error. Texts go without Pango
// markup so that "<" and "&" show as they are.
#include "platform/linux/desktop/user_interface.h"

#include "base/run_loop.h"
#include "base/system_log.h"

namespace trellis::lnx {

namespace {

std::string withoutLineEnd(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::vector<std::string> buttonsOf(const AlertRequest& alert) {
  return alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;
}

int lastButton(const AlertRequest& alert) {
  return kAlertFirstButtonReturn + static_cast<int>(buttonsOf(alert).size()) - 1;
}

const char* iconName(AlertStyle style) {
  switch (style) {
    case AlertStyle::kInformational:
      return "dialog-information";
    case AlertStyle::kCritical:
      return "dialog-error";
    case AlertStyle::kWarning:
      break;
  }
  return "dialog-warning";
}

std::string describeAlert(const AlertRequest& alert) {
  std::string text = "\"" + alert.messageText + "\" (" + alert.informativeText + ") [";
  const std::vector<std::string> buttons = buttonsOf(alert);
  for (size_t i = 0; i < buttons.size(); ++i) text += (i == 0 ? "" : " | ") + buttons[i];
  return text + "]";
}

}  // namespace

int ZenityUserInterface::runModal(const AlertRequest& alert) {
  const std::vector<std::string> buttons = buttonsOf(alert);
  ProcessRequest request;
  request.path = zenity_;
  request.arguments = {buttons.size() > 1 ? "--question" : "--info", "--no-markup",
                       std::string("--icon-name=") + iconName(alert.style), "--title=" + alert.messageText,
                       "--text=" + (alert.informativeText.empty() ? alert.messageText : alert.informativeText),
                       "--ok-label=" + buttons[0]};
  if (buttons.size() > 1) request.arguments.push_back("--cancel-label=" + buttons[1]);
  for (size_t i = 2; i < buttons.size(); ++i) request.arguments.push_back("--extra-button=" + buttons[i]);

  std::optional<ProcessResult> result = runner_.runWith(request);
  if (!result || !result->exitCode) return lastButton(alert);
  if (*result->exitCode == 0) return kAlertFirstButtonReturn;
  if (*result->exitCode != 1) return lastButton(alert);
  const std::string label = withoutLineEnd(result->standardOutput);
  if (label.empty()) return buttons.size() > 1 ? kAlertFirstButtonReturn + 1 : lastButton(alert);
  for (size_t i = 2; i < buttons.size(); ++i) {
    if (buttons[i] == label) return kAlertFirstButtonReturn + static_cast<int>(i);
  }
  return lastButton(alert);
}

void ZenityUserInterface::beginOpenPanel(const OpenPanelRequest& panel, PanelCompletion done) {
  ProcessRequest request;
  request.path = zenity_;
  request.arguments = {"--file-selection", "--title=" + (panel.message.empty() ? panel.prompt : panel.message)};
  if (panel.canChooseDirectories && !panel.canChooseFiles) request.arguments.push_back("--directory");
  if (!panel.directory.empty()) {
    // A trailing slash makes zenity open the folder rather than select it in its parent.
    request.arguments.push_back("--filename=" + panel.directory + (panel.directory.back() == '/' ? "" : "/"));
  }
  std::optional<ProcessResult> result = runner_.runWith(request);
  std::optional<std::string> chosen;
  if (result && result->exitCode == 0) {
    std::string path = withoutLineEnd(result->standardOutput);
    if (!path.empty()) chosen = std::move(path);
  }
  RunLoop::main().post([done = std::move(done), chosen = std::move(chosen)] { done(chosen); });
}

void ZenityUserInterface::showOverlay(OverlayStyle, OverlayWindow, const std::string& text) {
  ProcessRequest request;
  request.path = zenity_;
  request.arguments = {"--notification", "--text=" + text};
  request.discardOutput = true;
  // A desktop without a notification service shows nothing; an overlay has no answer either way.
  (void)runner_.runWith(request);
}

int HeadlessUserInterface::runModal(const AlertRequest& alert) {
  const std::vector<std::string> buttons = buttonsOf(alert);
  systemLog().write(kLogNotice, "no display for the alert " + describeAlert(alert) + ": answered \"" +
                                    buttons.back() + "\"");
  return lastButton(alert);
}

void HeadlessUserInterface::beginOpenPanel(const OpenPanelRequest& panel, PanelCompletion done) {
  systemLog().write(kLogNotice, "no display for the folder chooser \"" + panel.message + "\" in " +
                                    (panel.directory.empty() ? std::string("(none)") : panel.directory) +
                                    ": cancelled");
  RunLoop::main().post([done = std::move(done)] { done(std::nullopt); });
}

void HeadlessUserInterface::showOverlay(OverlayStyle style, OverlayWindow, const std::string& text) {
  systemLog().write(style == OverlayStyle::kError ? kLogWarning : kLogNotice, "no display for the message \"" + text + "\"");
}

}  // namespace trellis::lnx
