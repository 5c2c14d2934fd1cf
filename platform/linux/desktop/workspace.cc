// Desktop entries are read just far enough to know whether they are installed applications (the
// [Desktop Entry] group's Type and Hidden keys); the launcher does the rest.
#include "platform/linux/desktop/workspace.h"

#include <sys/stat.h>

#include <fstream>

#include "base/system_log.h"
#include "platform/linux/system/process_runner.h"

namespace trellis::lnx {

namespace {

constexpr std::string_view kSettingsScheme = "x-apple.systempreferences:";
constexpr std::string_view kEntrySuffix = ".desktop";

struct SettingsPage {
  std::string_view url;
  std::string_view target;
};
// Screen capture and file access are granted in the desktop's privacy settings where it has
// them; input devices (/dev/uinput) are granted by the system's device rules, not by a page.
constexpr SettingsPage kSettingsPages[] = {
    {"x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture", "settings://security/privacy"},
    {"x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles", "settings://security/privacy"},
};

bool isRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string trimmed(std::string_view text) {
  const char* space = " \t\r\n";
  size_t first = text.find_first_not_of(space);
  if (first == std::string_view::npos) return std::string();
  return std::string(text.substr(first, text.find_last_not_of(space) - first + 1));
}

// Whether the entry at `path` is an application that is not hidden.
bool isInstalledApplication(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  bool inEntry = false;
  bool application = false;
  bool hidden = false;
  while (std::getline(file, line)) {
    std::string text = trimmed(line);
    if (text.empty() || text.front() == '#') continue;
    if (text.front() == '[') {
      if (inEntry) break;  // the main group ended
      inEntry = text == "[Desktop Entry]";
      continue;
    }
    if (!inEntry) continue;
    size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    std::string key = trimmed(std::string_view(text).substr(0, equals));
    std::string value = trimmed(std::string_view(text).substr(equals + 1));
    if (key == "Type") application = value == "Application";
    if (key == "Hidden") hidden = value == "true";
  }
  return application && !hidden;
}

std::vector<std::string> dataFolders(const EnvironmentLookup& environment) {
  std::vector<std::string> folders;
  if (std::optional<std::string> home = userDataHome(environment)) folders.push_back(*home);
  std::optional<std::string> list = environment("XDG_DATA_DIRS");
  std::string dirs = list && !list->empty() ? *list : "/usr/local/share/:/usr/share/";
  for (size_t start = 0; start < dirs.size();) {
    size_t end = std::min(dirs.find(':', start), dirs.size());
    if (end > start && dirs[start] == '/') folders.push_back(dirs.substr(start, end - start));
    start = end + 1;
  }
  return folders;
}

}  // namespace

XdgWorkspace::Tools XdgWorkspace::findTools() {
  return Tools{findExecutable("xdg-open"), findExecutable("xdg-mime"), findExecutable("gio"), findExecutable("gtk-launch")};
}

std::optional<std::string> XdgWorkspace::settingsTarget(std::string_view url) {
  for (const SettingsPage& page : kSettingsPages) {
    if (page.url == url) return std::string(page.target);
  }
  return std::nullopt;
}

bool XdgWorkspace::run(const std::optional<std::string>& tool, std::vector<std::string> arguments) {
  if (!tool) return false;
  ProcessRequest request;
  request.path = *tool;
  request.arguments = std::move(arguments);
  // A launched program inherits the launcher's streams: discarded, they cannot hold the run open.
  request.discardOutput = true;
  std::optional<ProcessResult> result = runner_.runWith(request);
  return result && result->exitCode == 0;
}

bool XdgWorkspace::openSettings(const std::string& url) {
  std::optional<std::string> target = settingsTarget(url);
  if (target && tools_.xdgMime) {
    ProcessRequest query;
    query.path = *tools_.xdgMime;
    query.arguments = {"query", "default", "x-scheme-handler/" + target->substr(0, target->find(':'))};
    std::optional<ProcessResult> handler = runner_.runWith(query);
    if (handler && handler->exitCode == 0 && !trimmed(handler->standardOutput).empty()) {
      return run(tools_.xdgOpen, {*target});
    }
  }
  systemLog().write(kLogNotice, "no settings page on this desktop for " + url);
  return false;
}

bool XdgWorkspace::openURL(const std::string& url) {
  if (url.starts_with(kSettingsScheme)) return openSettings(url);
  if (url.starts_with("/") && url.ends_with(kEntrySuffix) && isRegularFile(url)) {
    if (tools_.gio) return run(tools_.gio, {"launch", url});
    std::string id = url.substr(url.rfind('/') + 1);
    id.resize(id.size() - kEntrySuffix.size());
    return run(tools_.gtkLaunch, {id});
  }
  return run(tools_.xdgOpen, {url});
}

std::optional<std::string> XdgWorkspace::urlForApplicationWithBundleIdentifier(const std::string& bundleId) {
  if (bundleId.empty() || bundleId.front() == '.' || bundleId.find('/') != std::string::npos ||
      bundleId.find("..") != std::string::npos || bundleId.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  const std::string file = bundleId.ends_with(kEntrySuffix) ? bundleId : bundleId + std::string(kEntrySuffix);
  // An entry in a subfolder has the folder in its ID with "-" for "/": kde-org.Foo is kde/org.Foo.
  std::vector<std::string> names{file};
  std::string nested = file;
  for (size_t dash = nested.find('-'); dash != std::string::npos; dash = nested.find('-', dash + 1)) {
    nested[dash] = '/';
    names.push_back(nested);
  }
  for (const std::string& folder : dataFolders(environment_)) {
    for (const std::string& name : names) {
      std::string path = folder + (folder.back() == '/' ? "" : "/") + "applications/" + name;
      if (!isRegularFile(path)) continue;
      // The first entry of an ID shadows the others, a hidden one included.
      if (!isInstalledApplication(path)) return std::nullopt;
      return path;
    }
  }
  return std::nullopt;
}

}  // namespace trellis::lnx
