// The platform's own desktop services, each made on first use and kept for the life of the
// process (never destroyed: background work may still use them while the process ends).
#include "platform/linux/desktop_platform.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/linux/executable_scripts.h"
#include "platform/linux/linux_privacy.h"
#include "platform/linux/process_runner_posix.h"
#include "platform/linux/resource_folder.h"
#include "platform/linux/uinput_keyboard.h"
#include "platform/linux/x11_window_list.h"
#include "platform/linux/xdg_workspace.h"
#include "platform/linux/zenity_user_interface.h"

namespace trellis {

namespace linux {

EnvironmentLookup processEnvironment() {
  return [](std::string_view name) -> std::optional<std::string> {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
}

std::optional<std::string> userDataHome(const EnvironmentLookup& environment) {
  std::optional<std::string> data = environment("XDG_DATA_HOME");
  // The XDG rules ignore a relative path here.
  if (data && !data->empty() && data->front() == '/') return *data;
  std::optional<std::string> home = environment("HOME");
  if (!home || home->empty()) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd record {};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &record, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
      return std::nullopt;
    }
    home = found->pw_dir;
  }
  return *home + "/.local/share";
}

bool hasDisplay(const EnvironmentLookup& environment) {
  for (std::string_view name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    std::optional<std::string> value = environment(name);
    if (value && !value->empty()) return true;
  }
  return false;
}

}  // namespace linux

namespace {

// Asks whichever runner the process uses at the time of each call, so that the services made
// once still follow a runner installed later.
class CurrentRunner final : public ProcessRunner {
 public:
  std::optional<std::string> run(const std::string& path, const std::vector<std::string>& arguments) override {
    return ProcessRunner::system().run(path, arguments);
  }
  std::optional<ProcessResult> runWith(const ProcessRequest& request) override {
    return ProcessRunner::system().runWith(request);
  }
};

ProcessRunner& currentRunner() {
  static CurrentRunner* runner = new CurrentRunner;
  return *runner;
}

}  // namespace

UserInterface& platformUserInterface() {
  static UserInterface* ui = [] () -> UserInterface* {
    std::optional<std::string> zenity = linux::findExecutable("zenity");
    if (zenity && linux::hasDisplay(linux::processEnvironment())) {
      return new linux::ZenityUserInterface(*zenity, currentRunner());
    }
    return new linux::HeadlessUserInterface;
  }();
  return *ui;
}

ResourceBundle& platformResourceBundle() {
  static linux::ResourceFolder* bundle = [] {
    linux::EnvironmentLookup environment = linux::processEnvironment();
    return new linux::ResourceFolder(linux::ResourceFolder::defaultRoot(environment),
                                     linux::ResourceFolder::preferredLanguages(environment));
  }();
  return *bundle;
}

Workspace& platformWorkspace() {
  static linux::XdgWorkspace* workspace =
      new linux::XdgWorkspace(linux::processEnvironment(), linux::XdgWorkspace::findTools(), currentRunner());
  return *workspace;
}

KeyEventPoster& platformKeyEventPoster() {
  static linux::UinputKeyboard* keyboard = new linux::UinputKeyboard(std::make_unique<linux::DevUinputDevice>());
  return *keyboard;
}

PrivacyPlatform& platformPrivacyPlatform() {
  static linux::LinuxPrivacyPlatform* platform = [] {
    std::optional<std::string> xprop = linux::findExecutable("xprop");
    linux::LinuxPrivacyPlatform::WindowList windows;
    if (xprop) {
      auto* list = new linux::XpropWindowList(*xprop, currentRunner());
      windows = [list] { return list->list(); };
    }
    return new linux::LinuxPrivacyPlatform({}, linux::processEnvironment(), std::move(windows));
  }();
  return *platform;
}

ScriptHost& platformScriptHost() {
  static linux::ExecutableScriptHost* host =
      new linux::ExecutableScriptHost(linux::processEnvironment(), currentRunner());
  return *host;
}

}  // namespace trellis
