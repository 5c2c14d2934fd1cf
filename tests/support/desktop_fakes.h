// Fakes of the desktop services and a process runner that answers from a table. Steps that tests
// compare in order go to a shared journal. Each fake is for one test thread unless it says otherwise.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <ostream>
#include <thread>
#include <vector>

#include "base/process_runner.h"
#include "base/run_loop.h"
#include "base/system_log.h"
#include "model/value_json.h"
#include "support/recording_log.h"
#include "support/service_setters.h"
#include "tools/key_events.h"
#include "tools/kw_apple_script.h"
#include "tools/kw_permissions.h"
#include "tools/resource_bundle.h"
#include "tools/user_interface.h"
#include "tools/workspace.h"

namespace trellis {

// Descriptors and errors print as JSON in test failures.
inline void PrintTo(const EventDescriptor& descriptor, std::ostream* out) {
  *out << toJson(descriptor.tree()).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
inline void PrintTo(const ScriptError& error, std::ostream* out) {
  *out << error.domain << " " << error.code << " "
       << (error.userInfo ? toJson(Value(*error.userInfo)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                          : std::string("(no information)"));
}

}  // namespace trellis

namespace trellis::testing {

using Journal = std::vector<std::string>;

// Sets services for one scope and empties them again at its end, also when a test stops early.
class ServiceScope {
 public:
  template <typename T>
  ServiceScope& set(T* Services::*member, std::type_identity_t<T>* value) {
    setService(member, value);
    resets_.push_back([member] { setService(member, nullptr); });
    return *this;
  }
  ~ServiceScope() { for (const std::function<void()>& reset : resets_) reset(); }

 private:
  std::vector<std::function<void()>> resets_;
};

// The value under `key`, or nothing.
template <class Map, class Key>
std::optional<typename Map::mapped_type> lookup(const Map& map, const Key& key) {
  auto it = map.find(key);
  return it == map.end() ? std::nullopt : std::optional(it->second);
}

// Answers alerts from a queue (the last button once it is empty) and panels from another
// (cancelled once it is empty); panel answers are queued on RunLoop::main().
class ScriptedUserInterface final : public UserInterface {
 public:
  explicit ScriptedUserInterface(Journal& journal) : journal_(journal) {}
  std::deque<int> alertAnswers;
  std::deque<std::optional<std::string>> panelAnswers;
  std::vector<AlertRequest> alerts;
  std::vector<OpenPanelRequest> panels;
  std::vector<std::string> overlays;  // "text: X" or "error: X", with the window

  void activateIgnoringOtherApps() override { journal_.push_back("activate"); }
  int runModal(const AlertRequest& alert) override {
    alerts.push_back(alert);
    journal_.push_back("alert " + alert.informativeText);
    int answer = kAlertFirstButtonReturn + static_cast<int>(alert.buttons.size()) - 1;
    if (!alertAnswers.empty()) {
      answer = alertAnswers.front();
      alertAnswers.pop_front();
    }
    return answer;
  }
  void beginOpenPanel(const OpenPanelRequest& panel, PanelCompletion done) override {
    panels.push_back(panel);
    journal_.push_back("panel " + panel.directory);
    std::optional<std::string> answer;
    if (!panelAnswers.empty()) {
      answer = panelAnswers.front();
      panelAnswers.pop_front();
    }
    RunLoop::main().post([done = std::move(done), answer] { done(answer); });
  }
  void showOverlay(OverlayStyle style, OverlayWindow window, const std::string& text) override {
    overlays.push_back(std::string(style == OverlayStyle::kError ? "error: " : "text: ") + text +
                       (window == OverlayWindow::kLast ? " (last)" : " (front)"));
  }

 private:
  Journal& journal_;
};

class FakePrivacyPlatform final : public PrivacyPlatform {
 public:
  explicit FakePrivacyPlatform(Journal& journal) : journal_(journal) {}
  bool trusted = false;
  bool restricts = true;
  std::int64_t pid = 100;
  std::optional<std::vector<ScreenWindow>> windows;
  std::map<std::int64_t, std::string> applications;  // pid -> executable file name
  std::map<std::string, std::string, std::less<>> environment;
  std::optional<std::string> accountHome = "/Users/account";
  std::string processHome = "/Users/process";
  std::set<std::string> readable;
  std::vector<std::string> opened;  // every path tried, in order

  bool isProcessTrusted() override { return trusted; }
  bool isProcessTrustedWithPrompt() override {
    journal_.push_back("prompt");
    return trusted;
  }
  bool restrictsScreenCapture() override { return restricts; }
  std::int64_t ownProcessId() override { return pid; }
  std::optional<std::vector<ScreenWindow>> onScreenWindows() override { return windows; }
  std::optional<std::string> runningApplicationExecutableName(std::int64_t owner) override {
    return lookup(applications, owner);
  }
  std::optional<std::string> environmentValue(std::string_view name) override { return lookup(environment, name); }
  std::optional<std::string> accountHomeDirectory() override { return accountHome; }
  std::string processHomeDirectory() override { return processHome; }
  bool canOpenForReading(const std::string& path) override {
    opened.push_back(path);
    return readable.count(path) > 0;
  }

 private:
  Journal& journal_;
};

class FakeWorkspace final : public Workspace {
 public:
  explicit FakeWorkspace(Journal& journal) : journal_(journal) {}
  std::map<std::string, std::string> applications;  // identifier -> location
  bool opens = true;
  std::vector<std::string> lookedUp;

  bool openURL(const std::string& url) override {
    journal_.push_back("open " + url);
    return opens;
  }
  std::optional<std::string> urlForApplicationWithBundleIdentifier(const std::string& bundleId) override {
    lookedUp.push_back(bundleId);
    return lookup(applications, bundleId);
  }

 private:
  Journal& journal_;
};

class RecordingKeyPoster final : public KeyEventPoster {
 public:
  explicit RecordingKeyPoster(Journal& journal) : journal_(journal) {}
  std::vector<KeyboardEvent> events;
  bool post(const KeyboardEvent& event) override {
    events.push_back(event);
    journal_.push_back(event.keyDown ? "key down" : "key up");
    return true;
  }

 private:
  Journal& journal_;
};

// Translations by (table, key); resources by name.
class FakeBundle final : public ResourceBundle {
 public:
  std::map<std::pair<std::string, std::string>, std::string> translations;
  std::map<std::string, std::string, std::less<>> resources;
  std::string localizedString(std::string_view key, std::string_view table) override {
    return lookup(translations, std::pair{std::string(table), std::string(key)}).value_or(std::string(key));
  }
  std::optional<std::string> pathForResource(std::string_view name) override { return lookup(resources, name); }
};

// Files as a set of paths; scripts that answer from a table; background work on threads the
// test joins (join() before the host goes away). Safe from any thread.
class FakeScriptHost final : public ScriptHost {
 public:
  ~FakeScriptHost() override { join(); }

  std::mutex mutex;
  std::optional<std::string> folder = "/home/u/Scripts";
  std::string folderError;
  std::function<void()> beforeFolderAnswer;  // runs on the lookup's thread, e.g. to delay it
  int folderLookups = 0;
  std::map<std::string, std::string, std::less<>> environment;
  std::set<std::string> files;
  std::set<std::string> failingCopies;  // targets whose copy fails
  std::vector<std::string> copies;      // "from -> to"
  bool taskCanBeMade = true;
  // A script's answer by path: its result, or nothing (error information {"why": path}).
  std::map<std::string, std::optional<EventDescriptor>> answers;
  std::vector<std::optional<EventDescriptor>> events;  // handler calls, in order
  std::vector<std::thread::id> runThreads;

  std::optional<std::string> applicationScriptsFolder(std::string* error) override {
    if (beforeFolderAnswer) beforeFolderAnswer();
    std::lock_guard<std::mutex> lock(mutex);
    ++folderLookups;
    *error = folderError;
    return folder;
  }
  std::optional<std::string> environmentValue(std::string_view name) override {
    std::lock_guard<std::mutex> lock(mutex);
    return lookup(environment, name);
  }
  bool fileExists(const std::string& path) override {
    std::lock_guard<std::mutex> lock(mutex);
    return files.count(path) > 0;
  }
  bool removeFile(const std::string& path) override {
    std::lock_guard<std::mutex> lock(mutex);
    return files.erase(path) > 0;
  }
  bool copyFile(const std::string& from, const std::string& to, std::string* error) override {
    std::lock_guard<std::mutex> lock(mutex);
    copies.push_back(from + " -> " + to);
    if (failingCopies.count(to) > 0 || files.count(to) > 0) {
      *error = "cannot write " + to;
      return false;
    }
    files.insert(to);
    return true;
  }
  std::unique_ptr<UserScriptTask> makeUserScriptTask(const std::string& path, std::string* error) override;
  std::unique_ptr<CompiledScript> loadScript(const std::string& path) override;
  void runInBackground(std::function<void()> work) override {
    std::lock_guard<std::mutex> lock(mutex);
    threads_.emplace_back(std::move(work));
  }
  void join() {
    for (;;) {
      std::thread thread;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (threads_.empty()) return;
        thread = std::move(threads_.front());
        threads_.pop_front();
      }
      thread.join();
    }
  }

  std::optional<EventDescriptor> answer(const std::string& path, const std::optional<EventDescriptor>& event,
                                        Dictionary* errorInfo) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
    runThreads.push_back(std::this_thread::get_id());
    auto it = answers.find(path);
    if (it != answers.end() && it->second) return it->second;
    (*errorInfo)["why"] = Value(path);
    return std::nullopt;
  }

 private:
  std::deque<std::thread> threads_;
};

// A script at `path` of the host: run as a compiled script, or as a task on a background thread.
class FakeScript final : public CompiledScript, public UserScriptTask {
 public:
  FakeScript(FakeScriptHost& host, std::string path) : host_(host), path_(std::move(path)) {}
  std::optional<EventDescriptor> execute(const std::optional<EventDescriptor>& event, Dictionary* errorInfo) override {
    return host_.answer(path_, event, errorInfo);
  }
  void execute(const std::optional<EventDescriptor>& event, Done done) override {
    host_.runInBackground([&host = host_, path = path_, event, done = std::move(done)] {
      Dictionary info;
      std::optional<EventDescriptor> result = host.answer(path, event, &info);
      done(result, result ? std::nullopt : std::optional(ScriptError{std::string(kPosixErrorDomain), kScriptFailedCode, info}));
    });
  }

 private:
  FakeScriptHost& host_;
  std::string path_;
};

inline std::unique_ptr<UserScriptTask> FakeScriptHost::makeUserScriptTask(const std::string& path, std::string* error) {
  if (!taskCanBeMade) *error = "no task for " + path;
  return taskCanBeMade ? std::make_unique<FakeScript>(*this, path) : nullptr;
}

inline std::unique_ptr<CompiledScript> FakeScriptHost::loadScript(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex);
  return files.count(path) ? std::make_unique<FakeScript>(*this, path) : nullptr;
}

// Answers from a table keyed by the program and its arguments joined with spaces (`run` with the
// answer's standard output); a request not in the table could not be started. Records every
// request. Safe from any thread.
class TableProcessRunner final : public ProcessRunner {
 public:
  std::map<std::string, ProcessResult> answers;
  std::vector<ProcessRequest> requests;

  static std::string key(const std::string& path, const std::vector<std::string>& arguments) {
    std::string text = path;
    for (const std::string& argument : arguments) text += " " + argument;
    return text;
  }
  std::optional<std::string> run(const std::string& path, const std::vector<std::string>& arguments) override {
    std::optional<ProcessResult> result = runWith(ProcessRequest{path, arguments, std::nullopt, false});
    return result ? std::optional(result->standardOutput) : std::nullopt;
  }
  std::optional<ProcessResult> runWith(const ProcessRequest& request) override {
    std::lock_guard<std::mutex> lock(mutex_);
    requests.push_back(request);
    return lookup(answers, key(request.path, request.arguments));
  }
  // Holding: `start` records the request but ends it only when the test calls `finish`.
  bool hold = false;
  std::vector<Completion> held;
  void start(const std::string& path, const std::vector<std::string>& arguments, Completion completion) override {
    if (!hold) return ProcessRunner::start(path, arguments, std::move(completion));
    run(path, arguments);
    held.push_back(std::move(completion));
  }
  void finish(std::size_t index) { held.at(index)(std::string()); }
  std::vector<std::string> commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> result;
    for (const ProcessRequest& request : requests) result.push_back(key(request.path, request.arguments));
    return result;
  }

 private:
  std::mutex mutex_;
};

}  // namespace trellis::testing
