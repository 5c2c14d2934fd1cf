// The privacy facts on Linux. Accessibility (posting input) is being able to open /dev/uinput
// for writing, and there is no system prompt to offer. Screen capture reads the X11 window list;
// a Wayland session (which shows other clients' windows to nobody but the compositor and its
// portal) has none, so the probe there answers "not granted". Processes are looked up in /proc.
// Safe from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/io/environment.h"
#include "tools/kw_permissions.h"

namespace trellis::lnx {

class LinuxPrivacyPlatform final : public PrivacyPlatform {
 public:
  using WindowList = std::function<std::optional<std::vector<ScreenWindow>>()>;
  struct Options {
    std::string uinputPath = "/dev/uinput";
    std::string procRoot = "/proc";
  };

  // `windowList` reads the X11 display's windows (called only when the session is X11).
  LinuxPrivacyPlatform(Options options, EnvironmentLookup environment, WindowList windowList)
      : options_(std::move(options)), environment_(std::move(environment)), windowList_(std::move(windowList)) {}

  bool isProcessTrusted() override;
  bool isProcessTrustedWithPrompt() override { return isProcessTrusted(); }
  bool restrictsScreenCapture() override { return true; }
  std::int64_t ownProcessId() override;
  // Nothing on a Wayland session (WAYLAND_DISPLAY set, or XDG_SESSION_TYPE "wayland") and
  // without DISPLAY; otherwise the window list.
  std::optional<std::vector<ScreenWindow>> onScreenWindows() override;
  // The name of the file /proc/PID/exe points to, else /proc/PID/comm (another user's process
  // hides its exe link); nothing when there is no such process.
  std::optional<std::string> runningApplicationExecutableName(std::int64_t pid) override;
  std::optional<std::string> environmentValue(std::string_view name) override { return environment_(name); }
  std::optional<std::string> accountHomeDirectory() override;
  // $HOME, else the account record's home, else "".
  std::string processHomeDirectory() override;
  bool canOpenForReading(const std::string& path) override;

 private:
  Options options_;
  EnvironmentLookup environment_;
  WindowList windowList_;
};

}  // namespace trellis::lnx
