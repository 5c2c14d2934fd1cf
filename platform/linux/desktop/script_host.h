// Scripts on Linux. A compiled script is an executable file; running a handler runs the file
// with the handler's name as its one argument and the handler call (the event descriptor tree of
// tools/event_descriptor.h) as JSON on its standard input; a run without a handler call gets no
// argument and empty input. Standard output is the result: a descriptor tree (a JSON object whose
// "type" has four characters), any other JSON value (converted, see EventDescriptor::fromValue),
// or else plain text (one final line end dropped). A non-zero exit status, a signal or empty
// output is a failure whose error information carries standard error and the exit status. The
// user's scripts folder is $XDG_DATA_HOME/trellis/Scripts. Safe from any thread.
#pragma once

#include <optional>
#include <string>

#include "base/process_runner.h"
#include "platform/linux/io/environment.h"
#include "tools/kw_apple_script.h"

namespace trellis::lnx {

class ExecutableScriptHost final : public ScriptHost {
 public:
  // `runner` must outlive this object and every run it starts.
  ExecutableScriptHost(EnvironmentLookup environment, ProcessRunner& runner)
      : environment_(std::move(environment)), runner_(runner) {}

  std::optional<std::string> applicationScriptsFolder(std::string* error) override;
  std::optional<std::string> environmentValue(std::string_view name) override { return environment_(name); }
  bool fileExists(const std::string& path) override;
  bool removeFile(const std::string& path) override;
  // Copies contents and permission bits (so an executable stays executable).
  bool copyFile(const std::string& from, const std::string& to, std::string* error) override;
  // A task runs its script on a thread of its own. Nothing for a file that is not executable.
  std::unique_ptr<UserScriptTask> makeUserScriptTask(const std::string& path, std::string* error) override;
  // Nothing for a file that is not executable.
  std::unique_ptr<CompiledScript> loadScript(const std::string& path) override;
  // A detached thread (the work runs on the calling thread if none can be started).
  void runInBackground(std::function<void()> work) override;

 private:
  EnvironmentLookup environment_;
  ProcessRunner& runner_;
};

// Runs the executable script at `path` with the handler call `event` and waits for it: its result,
// or nothing with the error information in `errorInfo` (kScriptErrorMessageKey: standard error,
// kScriptErrorNumberKey: the exit status, or -1 when a signal ended it or it could not start).
std::optional<EventDescriptor> runExecutableScript(ProcessRunner& runner, const std::string& path,
                                                   const std::optional<EventDescriptor>& event, Dictionary* errorInfo);

// A script's standard output as its result descriptor; nothing for empty output.
std::optional<EventDescriptor> scriptResultFromOutput(const std::string& output);

}  // namespace trellis::lnx
