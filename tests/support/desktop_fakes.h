// Fakes of the desktop services for tests: a scripted user interface, a privacy platform, a
// workspace, a key event recorder, a resource bundle, a script host, a process runner that answers
// from a table, and a log that keeps its lines. Steps that tests compare in order are written to a
// shared journal. Header-only. Each fake is for one test thread, except where it says otherwise.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <ostream>

#include "base/process_runner.h"
#include "base/run_loop.h"
#include "base/system_log.h"
#include "model/value_json.h"
#include "support/recording_log.h"
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
    auto it = applications.find(owner);
    if (it == applications.end()) return std::nullopt;
    return it->second;
  }
  std::optional<std::string> environmentValue(std::string_view name) override {
    auto it = environment.find(name);
    if (it == environment.end()) return std::nullopt;
    return it->second;
  }
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
    auto it = applications.find(bundleId);
    if (it == applications.end()) return std::nullopt;
    return it->second;
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
    auto it = translations.find({std::string(table), std::string(key)});
    return it == translations.end() ? std::string(key) : it->second;
  }
  std::optional<std::string> pathForResource(std::string_view name) override {
    auto it = resources.find(name);
    if (it == resources.end()) return std::nullopt;
    return it->second;
  }
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
    auto it = environment.find(name);
    if (it == environment.end()) return std::nullopt;
    return it->second;
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

class FakeCompiledScript final : public CompiledScript {
 public:
  FakeCompiledScript(FakeScriptHost& host, std::string path) : host_(host), path_(std::move(path)) {}
  std::optional<EventDescriptor> execute(const std::optional<EventDescriptor>& event, Dictionary* errorInfo) override {
    return host_.answer(path_, event, errorInfo);
  }

 private:
  FakeScriptHost& host_;
  std::string path_;
};

class FakeScriptTask final : public UserScriptTask {
 public:
  FakeScriptTask(FakeScriptHost& host, std::string path) : host_(host), path_(std::move(path)) {}
  void execute(const std::optional<EventDescriptor>& event, Done done) override {
    host_.runInBackground([&host = host_, path = path_, event, done = std::move(done)] {
      Dictionary info;
      std::optional<EventDescriptor> result = host.answer(path, event, &info);
      std::optional<ScriptError> error;
      if (!result) error = ScriptError{std::string(kPosixErrorDomain), kScriptFailedCode, info};
      done(result, error);
    });
  }

 private:
  FakeScriptHost& host_;
  std::string path_;
};

inline std::unique_ptr<UserScriptTask> FakeScriptHost::makeUserScriptTask(const std::string& path, std::string* error) {
  if (!taskCanBeMade) {
    *error = "no task for " + path;
    return nullptr;
  }
  return std::make_unique<FakeScriptTask>(*this, path);
}

inline std::unique_ptr<CompiledScript> FakeScriptHost::loadScript(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (files.count(path) == 0) return nullptr;
  }
  return std::make_unique<FakeCompiledScript>(*this, path);
}

// Answers `runWith` from a table keyed by the program and its arguments joined with spaces; a
// request not in the table could not be started. Records every request. Safe from any thread.
class TableProcessRunner final : public ProcessRunner {
 public:
  std::map<std::string, ProcessResult> answers;
  std::vector<ProcessRequest> requests;

  static std::string key(const std::string& path, const std::vector<std::string>& arguments) {
    std::string text = path;
    for (const std::string& argument : arguments) text += " " + argument;
    return text;
  }
  std::optional<std::string> run(const std::string&, const std::vector<std::string>&) override { return std::nullopt; }
  std::optional<ProcessResult> runWith(const ProcessRequest& request) override {
    std::lock_guard<std::mutex> lock(mutex_);
    requests.push_back(request);
    auto it = answers.find(key(request.path, request.arguments));
    if (it == answers.end()) return std::nullopt;
    return it->second;
  }
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
