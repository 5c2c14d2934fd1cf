// Executable scripts and the scripts folder. std::filesystem errors come back as error codes,
// never as exceptions.
#include "platform/linux/desktop/script_host.h"

#include <filesystem>
#include <system_error>
#include <thread>

#include "model/value_json.h"
#include "platform/linux/system/process_runner.h"

namespace trellis::lnx {

namespace {

std::string withoutLineEnd(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

class ExecutableScript final : public CompiledScript {
 public:
  ExecutableScript(ProcessRunner& runner, std::string path) : runner_(runner), path_(std::move(path)) {}
  std::optional<EventDescriptor> execute(const std::optional<EventDescriptor>& event, Dictionary* errorInfo) override {
    return runExecutableScript(runner_, path_, event, errorInfo);
  }

 private:
  ProcessRunner& runner_;
  std::string path_;
};

class ExecutableScriptTask final : public UserScriptTask {
 public:
  ExecutableScriptTask(ProcessRunner& runner, std::string path) : runner_(runner), path_(std::move(path)) {}
  void execute(const std::optional<EventDescriptor>& event, Done done) override {
    auto run = [&runner = runner_, path = path_, event, done = std::move(done)] {
      Dictionary errorInfo;
      std::optional<EventDescriptor> result = runExecutableScript(runner, path, event, &errorInfo);
      std::optional<ScriptError> error;
      if (!result) error = ScriptError{std::string(kPosixErrorDomain), kScriptFailedCode, std::move(errorInfo)};
      done(std::move(result), std::move(error));
    };
    try {
      std::thread(run).detach();
    } catch (const std::system_error&) {
      run();  // no thread to be had: run it here rather than not at all
    }
  }

 private:
  ProcessRunner& runner_;
  std::string path_;
};

}  // namespace

std::optional<EventDescriptor> scriptResultFromOutput(const std::string& output) {
  std::string text = withoutLineEnd(output);
  if (output.empty()) return std::nullopt;
  if (std::optional<Value> parsed = parseJson(text)) {
    if (std::optional<EventDescriptor> tree = EventDescriptor::fromTree(*parsed)) return tree;
    return EventDescriptor::fromValue(*parsed);
  }
  return EventDescriptor::string(text);
}

std::optional<EventDescriptor> runExecutableScript(ProcessRunner& runner, const std::string& path,
                                                   const std::optional<EventDescriptor>& event, Dictionary* errorInfo) {
  ProcessRequest request;
  request.path = path;
  request.standardInput = std::string();
  if (event) {
    if (std::optional<EventDescriptor> name = event->paramForKeyword(kSubroutineNameKeyword)) {
      request.arguments.push_back(name->stringValue().value_or(std::string()));
    }
    request.standardInput = toJson(event->tree()).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  }
  std::optional<ProcessResult> result = runner.runWith(request);
  std::optional<EventDescriptor> answer;
  if (result && result->exitCode == 0) answer = scriptResultFromOutput(result->standardOutput);
  if (!answer && errorInfo != nullptr) {
    (*errorInfo)[std::string(kScriptErrorMessageKey)] =
        Value(result ? withoutLineEnd(result->standardError) : "cannot start " + path);
    (*errorInfo)[std::string(kScriptErrorNumberKey)] =
        Value(static_cast<std::int32_t>(result && result->exitCode ? *result->exitCode : -1));
  }
  return answer;
}

std::optional<std::string> ExecutableScriptHost::applicationScriptsFolder(std::string* error) {
  std::optional<std::string> data = userDataHome(environment_);
  if (!data) {
    if (error != nullptr) *error = "no home folder to keep scripts in";
    return std::nullopt;
  }
  std::string folder = *data + "/trellis/Scripts";
  std::error_code code;
  std::filesystem::create_directories(folder, code);
  if (code || !std::filesystem::is_directory(folder, code)) {
    if (error != nullptr) *error = folder + ": " + (code ? code.message() : std::string("not a folder"));
    return std::nullopt;
  }
  return folder;
}

bool ExecutableScriptHost::fileExists(const std::string& path) {
  std::error_code code;
  return std::filesystem::exists(path, code);
}

bool ExecutableScriptHost::removeFile(const std::string& path) {
  std::error_code code;
  return std::filesystem::remove(path, code);
}

bool ExecutableScriptHost::copyFile(const std::string& from, const std::string& to, std::string* error) {
  std::error_code code;
  if (std::filesystem::copy_file(from, to, std::filesystem::copy_options::none, code)) return true;
  if (error != nullptr) *error = from + " -> " + to + ": " + (code ? code.message() : std::string("not copied"));
  return false;
}

std::unique_ptr<UserScriptTask> ExecutableScriptHost::makeUserScriptTask(const std::string& path, std::string* error) {
  if (!isExecutableFile(path)) {
    if (error != nullptr) *error = path + " is not an executable file";
    return nullptr;
  }
  return std::make_unique<ExecutableScriptTask>(runner_, path);
}

std::unique_ptr<CompiledScript> ExecutableScriptHost::loadScript(const std::string& path) {
  if (!isExecutableFile(path)) return nullptr;
  return std::make_unique<ExecutableScript>(runner_, path);
}

void ExecutableScriptHost::runInBackground(std::function<void()> work) {
  try {
    std::thread(work).detach();
  } catch (const std::system_error&) {
    work();  // no thread to be had: run it here rather than not at all
  }
}

}  // namespace trellis::lnx
