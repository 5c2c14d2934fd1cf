// The platform's own desktop services, each made on first use and kept for the life of the
// process (never destroyed: background work may still use them while the process ends).
#include "platform/linux/desktop/desktop_services.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/linux/desktop/script_host.h"
#include "platform/linux/desktop/privacy.h"
#include "platform/linux/system/process_runner.h"
#include "platform/linux/desktop/resource_folder.h"
#include "platform/linux/desktop/uinput_keyboard.h"
#include "platform/linux/desktop/window_list.h"
#include "platform/linux/desktop/workspace.h"
#include "platform/linux/desktop/user_interface.h"

namespace trellis {

namespace lnx {

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

}  // namespace lnx

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
    std::optional<std::string> zenity = lnx::findExecutable("zenity");
    if (zenity && lnx::hasDisplay(lnx::processEnvironment())) {
      return new lnx::ZenityUserInterface(*zenity, currentRunner());
    }
    return new lnx::HeadlessUserInterface;
  }();
  return *ui;
}

ResourceBundle& platformResourceBundle() {
  static lnx::ResourceFolder* bundle = [] {
    lnx::EnvironmentLookup environment = lnx::processEnvironment();
    return new lnx::ResourceFolder(lnx::ResourceFolder::defaultRoot(environment),
                                     lnx::ResourceFolder::preferredLanguages(environment));
  }();
  return *bundle;
}

Workspace& platformWorkspace() {
  static lnx::XdgWorkspace* workspace =
      new lnx::XdgWorkspace(lnx::processEnvironment(), lnx::XdgWorkspace::findTools(), currentRunner());
  return *workspace;
}

KeyEventPoster& platformKeyEventPoster() {
  static lnx::UinputKeyboard* keyboard = new lnx::UinputKeyboard(std::make_unique<lnx::DevUinputDevice>());
  return *keyboard;
}

PrivacyPlatform& platformPrivacyPlatform() {
  static lnx::LinuxPrivacyPlatform* platform = [] {
    std::optional<std::string> xprop = lnx::findExecutable("xprop");
    lnx::LinuxPrivacyPlatform::WindowList windows;
    if (xprop) {
      auto* list = new lnx::XpropWindowList(*xprop, currentRunner());
      windows = [list] { return list->list(); };
    }
    return new lnx::LinuxPrivacyPlatform({}, lnx::processEnvironment(), std::move(windows));
  }();
  return *platform;
}

ScriptHost& platformScriptHost() {
  static lnx::ExecutableScriptHost* host =
      new lnx::ExecutableScriptHost(lnx::processEnvironment(), currentRunner());
  return *host;
}

}  // namespace trellis
