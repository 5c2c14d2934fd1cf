// The script runner's flow: name checks, the sandboxed and ordinary runs, the installation with
// its alerts and folder chooser, and the cached scripts-folder lookup. The lines it logs name the
// reporting operation in full-width brackets.
#include "tools/kw_apple_script.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <limits>
#include <mutex>

#include "base/run_loop.h"
#include "base/services.h"
#include "base/system_log.h"
#include "model/value_json.h"
#include "tools/kw_permissions.h"
#include "tools/resource_bundle.h"
#include "tools/user_interface.h"

namespace trellis {

namespace {

constexpr char kGetScriptLocalURL[] = "+[KwAppleScript getScriptLocalURL]";
constexpr char kExecuteScript[] = "+[KwAppleScript executeScriptWithFile:funcName:arguments:completionHandler:]";
constexpr char kInstallScript[] = "+[KwAppleScript installScriptWithFile:completionHandler:]";
constexpr char kInstallScripts[] = "+[KwAppleScript installScriptsWithArr:completionHandler:]";
constexpr char kBeginInstall[] = "+[KwAppleScript beginInstallScripts:completionHandler:]";

constexpr std::string_view kStringTable = "KwAppleScript";
constexpr std::string_view kScriptSuffix = ".scpt";
constexpr auto kFolderLookupWait = std::chrono::seconds(2);

std::atomic<int> g_pending{0};

// The scripts-folder cache. Never destroyed: a lookup that finishes after its caller stopped
// waiting may still write it while the process ends.
struct FolderCache {
  std::mutex mutex;
  std::optional<std::string> location;
};
FolderCache& folderCache() {
  static FolderCache* cache = new FolderCache;
  return *cache;
}

std::string bracketed(const char* operation) { return std::string("\u3010") + operation + "\u3011"; }

// A value as the log shows it: text as it is, nothing as "(null)", anything else as JSON.
std::string describe(const Value& value) {
  if (const std::string* text = value.string()) return *text;
  if (value.isNull()) return "(null)";
  return toJson(value).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void log(int priority, const std::string& line) { systemLog().write(priority, line); }

std::string localized(std::string_view key) { return ResourceBundle::main().localizedString(key, kStringTable); }

bool isAcceptableName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name.find("..") == std::string::npos;
}
bool isAcceptableName(const Value& name) { return name.string() != nullptr && isAcceptableName(*name.string()); }

bool runsInSandbox(ScriptHost& host) {
  for (std::string_view name : kSandboxEnvironmentVariables) {
    if (host.environmentValue(name).has_value()) return true;
  }
  return false;
}

std::string inFolder(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

// A location compared as a location: "a/b/", "a/./b" and "a/b" are the same folder.
std::string locationKey(const std::string& path) {
  std::string normal = std::filesystem::path(path).lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return normal;
}

std::optional<EventDescriptor> argumentDescriptor(const Value& element) {
  if (const std::string* text = element.string()) {
    if (*text == "YES" || *text == "yes" || *text == "TRUE" || *text == "true") return EventDescriptor::boolean(true);
    if (*text == "NO" || *text == "no" || *text == "FALSE" || *text == "false") return EventDescriptor::boolean(false);
    return EventDescriptor::string(*text);
  }
  if (const bool* flag = element.get<bool>()) return EventDescriptor::boolean(*flag);
  if (const Date* date = element.get<Date>()) return EventDescriptor::date(*date);
  if (!element.isNumber()) return std::nullopt;
  constexpr double kLowest = std::numeric_limits<std::int32_t>::min();
  constexpr double kHighest = std::numeric_limits<std::int32_t>::max();
  if (element.kind() != Value::Kind::Float && element.kind() != Value::Kind::Double) {
    std::optional<std::int64_t> integer = element.toInt64();
    if (integer && *integer >= kLowest && *integer <= kHighest) return EventDescriptor::int32(static_cast<std::int32_t>(*integer));
    return EventDescriptor::float64(*element.toDouble());
  }
  const double number = *element.toDouble();
  // An integral value beyond 32 bits (or infinite) has no 32-bit form: it keeps its value as a double.
  if (!std::isnan(number) && std::ceil(number) == std::floor(number) && number >= kLowest && number <= kHighest) {
    return EventDescriptor::int32(static_cast<std::int32_t>(number));
  }
  return EventDescriptor::float64(number);
}

// Hands a run's outcome to the main queue; the run stops counting as under way once the
// completion has been called there (or at once, without a completion).
void deliver(ScriptCompletion completion, std::optional<EventDescriptor> result, std::optional<ScriptError> error) {
  if (!completion) {
    g_pending.fetch_sub(1);
    return;
  }
  RunLoop::main().post([completion = std::move(completion), result = std::move(result), error = std::move(error)] {
    completion(result, error);
    g_pending.fetch_sub(1);
  });
}

void copyScripts(const std::vector<std::string>& fileNames, const std::string& folder, const InstallCompletion& completion) {
  ScriptHost& host = ScriptHost::system();
  UserInterface& ui = UserInterface::system();
  bool success = true;
  for (const std::string& name : fileNames) {
    std::optional<std::string> resource =
        isAcceptableName(name) ? ResourceBundle::main().pathForResource(name) : std::nullopt;
    if (!resource) {
      success = false;
      log(kLogError, bracketed(kBeginInstall) + name + " is not exist");
      continue;
    }
    const std::string target = inFolder(folder, name);
    // A file that cannot be removed makes the copy fail, which is reported there.
    if (host.fileExists(target)) (void)host.removeFile(target);
    std::string error;
    if (host.copyFile(*resource, target, &error)) {
      ui.showOverlay(OverlayStyle::kText, OverlayWindow::kFrontmost, localized("Install succeed"));
      log(kLogInfo, bracketed(kBeginInstall) + " copy item to local success: " + name);
    } else {
      success = false;
      log(kLogError, bracketed(kBeginInstall) + " copy item to local fail: " + error);
      ui.showOverlay(OverlayStyle::kText, OverlayWindow::kFrontmost, localized("Install failed"));
    }
  }
  if (completion) completion(success);
}

}  // namespace

ScriptHost& ScriptHost::system() { return required(installedServices().scripts, "the script host"); }

std::optional<std::string> KwAppleScript::getScriptLocalURL() {
  FolderCache& cache = folderCache();
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.location) return cache.location;
  }
  struct Wait {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
  };
  auto wait = std::make_shared<Wait>();
  ScriptHost* host = &ScriptHost::system();
  host->runInBackground([wait, host] {
    std::string error;
    std::optional<std::string> folder = host->applicationScriptsFolder(&error);
    FolderCache& cache = folderCache();
    {
      std::lock_guard<std::mutex> lock(cache.mutex);
      // The first lookup that finds the folder fills the cache; nothing ever empties it.
      if (folder && !cache.location) cache.location = folder;
    }
    log(kLogInfo, "Apple script install directory: " + (folder ? *folder : std::string("(null)")));
    if (!error.empty()) log(kLogError, bracketed(kGetScriptLocalURL) + " error: " + error);
    std::lock_guard<std::mutex> lock(wait->mutex);
    wait->done = true;
    wait->finished.notify_all();
  });
  {
    std::unique_lock<std::mutex> lock(wait->mutex);
    wait->finished.wait_for(lock, kFolderLookupWait, [&] { return wait->done; });
  }
  std::lock_guard<std::mutex> lock(cache.mutex);
  return cache.location;
}

void KwAppleScript::executeScriptWithFile(const Value& fileName, const Value& funcName, const Array& arguments,
                                          ScriptCompletion completion) {
  if (!isAcceptableName(fileName)) {
    log(kLogError, bracketed(kExecuteScript) + " file name is incorrect: " + describe(fileName));
    return;
  }
  std::string name = *fileName.string();
  if (!name.ends_with(kScriptSuffix)) name += kScriptSuffix;
  ScriptHost& host = ScriptHost::system();

  if (runsInSandbox(host)) {
    std::optional<std::string> folder = getScriptLocalURL();
    if (folder && host.fileExists(inFolder(*folder, name))) {
      std::string error;
      std::unique_ptr<UserScriptTask> task = host.makeUserScriptTask(inFolder(*folder, name), &error);
      if (!task) {
        log(kLogError, bracketed(kExecuteScript) + "create user applle script task error: " + error);
        UserInterface::system().showOverlay(OverlayStyle::kError, OverlayWindow::kLast,
                                            localized("Script task creation failed"));
        return;
      }
      g_pending.fetch_add(1);
      task->execute(createEventDescriptorWithFuncName(funcName, arguments),
                    [completion](std::optional<EventDescriptor> result, std::optional<ScriptError> error) {
                      deliver(completion, std::move(result), std::move(error));
                    });
      return;
    }
    installScriptWithFile(Value(name), [fileName, funcName, arguments, completion](bool success) {
      if (success) {
        executeScriptWithFile(fileName, funcName, arguments, completion);
      } else {
        UserInterface::system().showOverlay(OverlayStyle::kError, OverlayWindow::kLast, localized("Install failed"));
      }
    });
    return;
  }

  std::optional<std::string> resource = ResourceBundle::main().pathForResource(name);
  if (!resource) {
    log(kLogError, bracketed(kExecuteScript) + " script file not exist : " + name);
    return;
  }
  g_pending.fetch_add(1);
  host.runInBackground([&host, path = *resource, funcName, arguments, completion] {
    std::optional<EventDescriptor> result;
    std::optional<ScriptError> error;
    std::unique_ptr<CompiledScript> script = host.loadScript(path);
    if (script) {
      Dictionary errorInfo;
      result = script->execute(createEventDescriptorWithFuncName(funcName, arguments), &errorInfo);
      if (!result) error = ScriptError{std::string(kPosixErrorDomain), kScriptFailedCode, std::move(errorInfo)};
    } else {
      error = ScriptError{std::string(kPosixErrorDomain), kScriptFailedCode, std::nullopt};
    }
    deliver(completion, std::move(result), std::move(error));
  });
}

void KwAppleScript::executeScriptWithFile(const Value& fileName, ScriptCompletion completion) {
  executeScriptWithFile(fileName, Value(), Array{}, std::move(completion));
}

void KwAppleScript::executeScriptWithFile(const Value& fileName) { executeScriptWithFile(fileName, Value(), Array{}, nullptr); }

std::optional<EventDescriptor> KwAppleScript::createEventDescriptorWithFuncName(const Value& funcName,
                                                                                const Array& arguments) {
  const std::string* name = funcName.string();
  if (name == nullptr || name->empty()) return std::nullopt;
  EventDescriptor event =
      EventDescriptor::appleEvent(kScriptSuite, kSubroutineEvent, EventDescriptor::processSerialNumber(0, kCurrentProcessLow),
                                  kAutoGenerateReturnID, kAnyTransactionID);
  event.setParam(kSubroutineNameKeyword, EventDescriptor::string(*name));
  if (!arguments.empty()) {
    EventDescriptor list = EventDescriptor::list();
    std::size_t position = 0;
    for (const Value& element : arguments) {
      ++position;
      if (std::optional<EventDescriptor> converted = argumentDescriptor(element)) list.insert(*converted, position);
    }
    event.setParam(kDirectObjectKeyword, list);
  }
  return event;
}

bool KwAppleScript::scriptFileHasInstalled(const Value& fileName) {
  if (!isAcceptableName(fileName)) return false;
  std::optional<std::string> folder = getScriptLocalURL();
  return folder && ScriptHost::system().fileExists(inFolder(*folder, *fileName.string()));
}

void KwAppleScript::installScriptWithFile(const Value& fileName, InstallCompletion completion) {
  if (!isAcceptableName(fileName)) {
    log(kLogError, bracketed(kInstallScript) + " file name is incorrect: " + describe(fileName));
    if (completion) completion(false);
    return;
  }
  installScriptsWithArr({*fileName.string()}, std::move(completion));
}

void KwAppleScript::installScriptsWithArr(const std::vector<std::string>& fileNames, InstallCompletion completion) {
  if (fileNames.empty()) {
    log(kLogError, bracketed(kInstallScripts) + " file name array is 0 count");
    if (completion) completion(false);
    return;
  }
  AlertRequest alert;
  alert.style = AlertStyle::kWarning;
  alert.messageText = localized("Kind tips");
  alert.informativeText = localized("Install first");
  alert.buttons = {localized("Install"), localized("Cancel")};
  if (UserInterface::system().runModal(alert) == kAlertFirstButtonReturn) {
    beginInstallScripts(fileNames, std::move(completion));
  }
}

void KwAppleScript::beginInstallScripts(const std::vector<std::string>& fileNames, InstallCompletion completion) {
  std::optional<std::string> folder = getScriptLocalURL();
  OpenPanelRequest panel;
  panel.directory = folder.value_or(std::string());
  panel.canChooseFiles = false;
  panel.canChooseDirectories = true;
  panel.prompt = localized("Install script");
  panel.message = localized("Install script in current folder");
  g_pending.fetch_add(1);
  UserInterface::system().beginOpenPanel(panel, [fileNames, completion = std::move(completion),
                                                 folder](std::optional<std::string> chosen) {
    if (!chosen) {
      log(kLogNotice, bracketed(kBeginInstall) + " user cancel");
      if (completion) completion(false);
    } else if (!folder || locationKey(*chosen) != locationKey(*folder)) {
      reinstallScripts(fileNames, completion);
    } else {
      copyScripts(fileNames, *chosen, completion);
    }
    // Counted down last: whatever the answer started (another chooser, a run) is counted by now.
    g_pending.fetch_sub(1);
  });
}

void KwAppleScript::reinstallScripts(const std::vector<std::string>& fileNames, InstallCompletion completion) {
  AlertRequest alert;
  alert.style = AlertStyle::kInformational;
  alert.messageText = localized("Kind tips");
  alert.informativeText = localized("Install error path");
  alert.buttons = {localized("Reselect"), localized("Cancel")};
  if (UserInterface::system().runModal(alert) == kAlertFirstButtonReturn) {
    beginInstallScripts(fileNames, std::move(completion));
  }
}

int KwAppleScript::pendingOperations() { return g_pending.load(); }

void KwAppleScript::forgetScriptLocalURLForTesting() {
  FolderCache& cache = folderCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  cache.location.reset();
}

}  // namespace trellis
