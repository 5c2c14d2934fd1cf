// The script runner: runs a named handler of a compiled script with arguments, from the
// application's resources or, in a sandbox, from the user's scripts folder, into which it first
// installs the script with the user's consent. All operations are class operations; the only
// state is the cached scripts-folder location (thread-safe) and a count of runs under way.
// Alerts, the open panel and overlays are shown from the calling thread, which must be the main
// thread; script runs happen on a background queue and their completions always arrive on the
// main queue (RunLoop::main()).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/value.h"
#include "tools/event_descriptor.h"

namespace trellis {

// The domain and code of a script that produced no result.
inline constexpr std::string_view kPosixErrorDomain = "NSPOSIXErrorDomain";
inline constexpr std::int64_t kScriptFailedCode = 2;  // ENOENT, as the platform reports it
// Keys of a script's error information.
inline constexpr std::string_view kScriptErrorMessageKey = "NSAppleScriptErrorMessage";
inline constexpr std::string_view kScriptErrorNumberKey = "NSAppleScriptErrorNumber";

struct ScriptError {
  std::string domain;
  std::int64_t code = 0;
  std::optional<Dictionary> userInfo;  // the script's error information, when there is any
  friend bool operator==(const ScriptError&, const ScriptError&) = default;
};

// The completion of a script run: the result, or an error.
class ScriptCompletion {
 public:
  using Function = std::function<void(std::optional<EventDescriptor> result, std::optional<ScriptError> error)>;
  ScriptCompletion() = default;
  ScriptCompletion(std::nullptr_t) {}
  template <typename F, typename = std::enable_if_t<std::is_constructible_v<Function, F&&> &&
                                                    !std::is_same_v<std::decay_t<F>, ScriptCompletion>>>
  ScriptCompletion(F&& function) : function_(std::forward<F>(function)) {}

  explicit operator bool() const { return static_cast<bool>(function_); }
  void operator()(std::optional<EventDescriptor> result, std::optional<ScriptError> error) const {
    function_(std::move(result), std::move(error));
  }

 private:
  Function function_;
};

// The completion of an installation: true when every script was installed.
using InstallCompletion = std::function<void(bool success)>;

// A compiled script loaded from its file (the ordinary case).
class CompiledScript {
 public:
  virtual ~CompiledScript() = default;
  // Runs the handler call `event` (nothing: the script's run handler) and waits for it. The
  // result, or nothing with the script's error information in `errorInfo`.
  virtual std::optional<EventDescriptor> execute(const std::optional<EventDescriptor>& event, Dictionary* errorInfo) = 0;
};

// The platform's task for a script in the user's scripts folder (the sandboxed case).
class UserScriptTask {
 public:
  using Done = std::function<void(std::optional<EventDescriptor> result, std::optional<ScriptError> error)>;
  virtual ~UserScriptTask() = default;
  // Starts the handler call `event` and returns; `done` is called once, on any thread, when it
  // ends. The task may be destroyed as soon as this returns: the run goes on without it.
  virtual void execute(const std::optional<EventDescriptor>& event, Done done) = 0;
};

// What the runner needs of the platform. Safe from any thread.
class ScriptHost {
 public:
  virtual ~ScriptHost() = default;
  // The user's scripts folder for this application, created when missing; nothing with the
  // reason in `error` when it cannot be had. May be slow.
  virtual std::optional<std::string> applicationScriptsFolder(std::string* error) = 0;
  virtual std::optional<std::string> environmentValue(std::string_view name) = 0;
  virtual bool fileExists(const std::string& path) = 0;
  // Removes the file at `path`; false when it could not.
  virtual bool removeFile(const std::string& path) = 0;
  // Copies the file `from` to `to` (which must not exist); false with the reason in `error`.
  virtual bool copyFile(const std::string& from, const std::string& to, std::string* error) = 0;
  // The task for the script at `path`; nothing with the reason in `error` when it cannot be made.
  virtual std::unique_ptr<UserScriptTask> makeUserScriptTask(const std::string& path, std::string* error) = 0;
  // Loads the compiled script at `path`; nothing when it cannot be loaded.
  virtual std::unique_ptr<CompiledScript> loadScript(const std::string& path) = 0;
  // Runs `work` on a background queue of default priority.
  virtual void runInBackground(std::function<void()> work) = 0;

  // The one the process uses (base/services.h).
  static ScriptHost& system();
};


class KwAppleScript {
 public:
  KwAppleScript() = delete;

  // The user's scripts folder, cached for the rest of the process once a lookup has found it.
  // While the cache is empty, each call starts a lookup on a background queue and waits for it
  // at most 2 seconds: a slower lookup still fills the cache for later calls.
  static std::optional<std::string> getScriptLocalURL();

  // Runs handler `funcName` (not a non-empty text: the run handler) of the script `fileName`
  // (".scpt" appended unless it ends so) with `arguments`, and queues `completion` on the main
  // queue with the outcome. A name that is not a non-empty text, or holds "/" or "..", is logged
  // and nothing runs. In a sandbox a missing script is installed first (with the user's consent);
  // otherwise a script that is not among the resources is logged and nothing runs. The completion
  // is not called when nothing runs.
  static void executeScriptWithFile(const Value& fileName, const Value& funcName, const Array& arguments,
                                    ScriptCompletion completion);
  static void executeScriptWithFile(const Value& fileName, ScriptCompletion completion);
  static void executeScriptWithFile(const Value& fileName);

  // The event that calls handler `funcName` with `arguments`, or nothing when the name is not a
  // non-empty text. Texts "YES"/"yes"/"TRUE"/"true" and "NO"/"no"/"FALSE"/"false" become
  // booleans, other texts text; integral numbers that fit 32 bits 32-bit integers, other numbers
  // doubles; dates dates; booleans booleans; anything else is left out (the others keep their order).
  static std::optional<EventDescriptor> createEventDescriptorWithFuncName(const Value& funcName, const Array& arguments);

  // True when `fileName` is an acceptable name and a file of exactly that name (no suffix added)
  // is in the scripts folder.
  static bool scriptFileHasInstalled(const Value& fileName);

  // Installs one script (see installScriptsWithArr); a bad name is logged and fails at once.
  static void installScriptWithFile(const Value& fileName, InstallCompletion completion);
  // Asks the user's consent ("Install" or "Cancel"), then lets them choose the scripts folder and
  // copies the named resources into it. `completion` gets the outcome; cancelling either alert
  // leaves it uncalled, cancelling the folder chooser calls it with failure. An empty list is
  // logged and fails at once.
  static void installScriptsWithArr(const std::vector<std::string>& fileNames, InstallCompletion completion);
  // The folder chooser and the copy (no consent alert).
  static void beginInstallScripts(const std::vector<std::string>& fileNames, InstallCompletion completion);
  // The alert shown when another folder than the scripts folder was chosen: "Reselect" shows the
  // chooser again, "Cancel" ends the installation without calling `completion`.
  static void reinstallScripts(const std::vector<std::string>& fileNames, InstallCompletion completion);

  // How many script runs and folder choosers are under way: started, with an outcome still to
  // be handed over. Zero once everything started has finished. Any thread.
  static int pendingOperations();

  // Empties the scripts-folder cache, which the process otherwise never does. Tests only.
  static void forgetScriptLocalURLForTesting();
};

}  // namespace trellis
