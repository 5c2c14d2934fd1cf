// The script runner over a fake script host, a scripted user interface and a manual main loop:
// the handler call it builds, its name rules, both run paths, the installation flow and the
// scripts-folder cache; then one real executable script through the Linux host. Runs use the
// fake host's threads, which each test joins before checking what reached the main queue.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "model/value_json.h"
#include "platform/linux/desktop/script_host.h"
#include "platform/linux/system/process_runner.h"
#include "support/desktop_fakes.h"
#include "support/manual_run_loop.h"
#include "support/service_setters.h"
#include "support/temp_tree.h"
#include "tools/kw_tools.h"

namespace trellis {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

constexpr char kExecuteTag[] = "\u3010+[KwAppleScript executeScriptWithFile:funcName:arguments:completionHandler:]\u3011";

// A descriptor as JSON text: trees built in code and read from JSON compare equal this way even
// where their number kinds differ (a 32-bit unsigned zero against a parsed zero).
std::string json(const std::optional<EventDescriptor>& descriptor) {
  return descriptor ? toJson(descriptor->tree()).dump() : std::string("(none)");
}
std::string json(const char* text) { return parseJson(text) ? toJson(*parseJson(text)).dump() : std::string("(bad JSON)"); }

struct Outcome {
  std::optional<EventDescriptor> result;
  std::optional<ScriptError> error;
  std::thread::id thread;
};

class ScriptRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KwAppleScript::forgetScriptLocalURLForTesting();
    testing::setService(&Services::runLoop, &loop);
    testing::setService(&Services::userInterface, &ui);
    testing::setService(&Services::resources, &bundle);
    testing::setService(&Services::scripts, &host);
    testing::setService(&Services::log, &log);
  }
  void TearDown() override {
    host.join();
    loop.runQueued();
    EXPECT_EQ(KwAppleScript::pendingOperations(), 0);
    KwAppleScript::forgetScriptLocalURLForTesting();
    testing::setService(&Services::log, nullptr);
    testing::setService(&Services::scripts, nullptr);
    testing::setService(&Services::resources, nullptr);
    testing::setService(&Services::userInterface, nullptr);
    testing::setService(&Services::runLoop, nullptr);
  }

  ScriptCompletion recordInto(std::vector<Outcome>& outcomes) {
    return [&outcomes](std::optional<EventDescriptor> result, std::optional<ScriptError> error) {
      outcomes.push_back({std::move(result), std::move(error), std::this_thread::get_id()});
    };
  }
  void sandboxed() { host.environment = {{"APP_SANDBOX_CONTAINER_ID", "org.trellis"}}; }
  // Lets background runs finish, then runs what they queued on the main queue.
  void settle() {
    host.join();
    loop.runQueued();
    host.join();
    loop.runQueued();
  }

  testing::Journal journal;
  testing::ManualRunLoop loop;
  testing::ScriptedUserInterface ui{journal};
  testing::FakeBundle bundle;
  testing::FakeScriptHost host;
  testing::RecordingLog log;
};

TEST_F(ScriptRunnerTest, HandlerCallConvertsArgumentsAndLeavesOutOtherKinds) {
  Array arguments = {Value("true"), Value("FALSE"), Value("True"), Value("yes"), Value("NO"), Value(3.0), Value(2.5),
                     Value(std::int64_t{7}), Value(Date{86400.0}), Value(Bytes{1}), Value(), Value(Array{}),
                     Value(4e10), Value(true), Value("text")};
  std::optional<EventDescriptor> event = KwAppleScript::createEventDescriptorWithFuncName(Value("work"), arguments);
  EXPECT_EQ(json(event), json(R"({"type": "aevt", "eventClass": "ascr", "eventID": "psbr", "returnID": -1,
      "transactionID": 0, "target": {"type": "psn ", "value": {"highLongOfPSN": 0, "lowLongOfPSN": 2}},
      "parameters": {"snam": {"type": "utxt", "value": "work"}, "----": {"type": "list", "items": [
        {"type": "bool", "value": true}, {"type": "bool", "value": false}, {"type": "utxt", "value": "True"},
        {"type": "bool", "value": true}, {"type": "bool", "value": false}, {"type": "long", "value": 3},
        {"type": "doub", "value": 2.5}, {"type": "long", "value": 7}, {"type": "ldt ", "value": 86400.0},
        {"type": "doub", "value": 4e10}, {"type": "bool", "value": true}, {"type": "utxt", "value": "text"}]}}})"));
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->paramForKeyword(kDirectObjectKeyword)->item(6)->value()->kind(), Value::Kind::Int32);

  // No arguments: no list. No handler name: no event.
  EXPECT_FALSE(KwAppleScript::createEventDescriptorWithFuncName(Value("work"), {})->paramForKeyword("----"));
  EXPECT_FALSE(KwAppleScript::createEventDescriptorWithFuncName(Value(""), arguments));
  EXPECT_FALSE(KwAppleScript::createEventDescriptorWithFuncName(Value(5), arguments));
}

TEST_F(ScriptRunnerTest, RunsAResourceScriptInTheBackgroundAndCompletesOnTheMainQueue) {
  bundle.resources = {{"tool.scpt", "/res/tool.scpt"}};
  host.files = {"/res/tool.scpt"};
  host.answers["/res/tool.scpt"] = EventDescriptor::string("done");
  std::vector<Outcome> outcomes;

  KwAppleScript::executeScriptWithFile(Value("tool"), Value("go"), {Value(1)}, recordInto(outcomes));
  EXPECT_EQ(KwAppleScript::pendingOperations(), 1);
  host.join();
  EXPECT_TRUE(outcomes.empty()) << "completions wait for the main queue";
  EXPECT_EQ(KwAppleScript::pendingOperations(), 1) << "a run counts until its completion was called";
  loop.runQueued();
  EXPECT_EQ(KwAppleScript::pendingOperations(), 0);
  KwAppleScript::executeScriptWithFile(Value("tool.scpt"), recordInto(outcomes));
  settle();

  ASSERT_EQ(outcomes.size(), 2u);
  for (const Outcome& outcome : outcomes) {
    EXPECT_EQ(outcome.result, EventDescriptor::string("done"));
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(outcome.thread, std::this_thread::get_id());
  }
  ASSERT_EQ(host.events.size(), 2u);
  EXPECT_EQ(host.events[0]->paramForKeyword("snam"), EventDescriptor::string("go"));
  EXPECT_FALSE(host.events[1]) << "no handler name: the script runs with no event";
  EXPECT_NE(host.runThreads[0], std::this_thread::get_id());
}

TEST_F(ScriptRunnerTest, AFailedRunCompletesWithPosixErrorTwo) {
  bundle.resources = {{"bad.scpt", "/res/bad.scpt"}, {"unloadable.scpt", "/res/unloadable.scpt"}};
  host.files = {"/res/bad.scpt"};
  std::vector<Outcome> outcomes;
  KwAppleScript::executeScriptWithFile(Value("bad"), Value("go"), {}, recordInto(outcomes));
  settle();
  KwAppleScript::executeScriptWithFile(Value("unloadable"), Value("go"), {}, recordInto(outcomes));
  settle();
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(outcomes[0].error, (ScriptError{"NSPOSIXErrorDomain", 2, Dictionary{{"why", Value("/res/bad.scpt")}}}));
  EXPECT_EQ(outcomes[1].error, (ScriptError{"NSPOSIXErrorDomain", 2, std::nullopt}));
  EXPECT_FALSE(outcomes[0].result || outcomes[1].result);
}

TEST_F(ScriptRunnerTest, RefusedNamesAndMissingScriptsAreLoggedAndNeverComplete) {
  bundle.resources = {{"a.scpt", "/res/a.scpt"}};
  std::vector<Outcome> outcomes;
  for (const Value& name : {Value(""), Value(7), Value("../a"), Value("sub/a"), Value("missing")}) {
    KwAppleScript::executeScriptWithFile(name, Value("go"), {}, recordInto(outcomes));
  }
  settle();
  EXPECT_TRUE(outcomes.empty());
  EXPECT_EQ(KwAppleScript::pendingOperations(), 0);
  const std::string tag = kExecuteTag;
  EXPECT_THAT(log.lines(), ElementsAre(tag + " file name is incorrect: ", tag + " file name is incorrect: 7",
                                       tag + " file name is incorrect: ../a", tag + " file name is incorrect: sub/a",
                                       tag + " script file not exist : missing.scpt"));
}

TEST_F(ScriptRunnerTest, SandboxedRunUsesTheInstalledScriptsTask) {
  sandboxed();
  host.files = {"/home/u/Scripts/tool.scpt"};
  host.answers["/home/u/Scripts/tool.scpt"] = EventDescriptor::int32(5);
  std::vector<Outcome> outcomes;
  KwAppleScript::executeScriptWithFile(Value("tool"), Value("go"), {}, recordInto(outcomes));
  settle();
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].result, EventDescriptor::int32(5));
  EXPECT_EQ(outcomes[0].thread, std::this_thread::get_id());
  EXPECT_TRUE(ui.alerts.empty());

  host.taskCanBeMade = false;
  KwAppleScript::executeScriptWithFile(Value("tool"), Value("go"), {}, recordInto(outcomes));
  settle();
  EXPECT_EQ(outcomes.size(), 1u);
  EXPECT_THAT(ui.overlays, ElementsAre("error: Script task creation failed (last)"));
  EXPECT_EQ(log.lines().back(), std::string(kExecuteTag) + "create user applle script task error: no task for /home/u/Scripts/tool.scpt");
}

TEST_F(ScriptRunnerTest, SandboxedMissingScriptIsInstalledWithConsentThenRun) {
  sandboxed();
  bundle.resources = {{"tool.scpt", "/res/tool.scpt"}};
  host.answers["/home/u/Scripts/tool.scpt"] = EventDescriptor::string("ran");
  ui.alertAnswers = {kAlertFirstButtonReturn};     // "Install"
  ui.panelAnswers = {std::string("/home/u/Scripts/")};
  std::vector<Outcome> outcomes;

  KwAppleScript::executeScriptWithFile(Value("tool"), Value("go"), {}, recordInto(outcomes));
  EXPECT_THAT(journal, ElementsAre("alert Install first", "panel /home/u/Scripts"));
  const OpenPanelRequest& panel = ui.panels.at(0);
  EXPECT_TRUE(panel.canChooseDirectories);
  EXPECT_FALSE(panel.canChooseFiles);
  EXPECT_EQ(panel.prompt, "Install script");
  EXPECT_EQ(panel.message, "Install script in current folder");
  settle();

  EXPECT_THAT(host.copies, ElementsAre("/res/tool.scpt -> /home/u/Scripts/tool.scpt"));
  EXPECT_THAT(ui.overlays, ElementsAre("text: Install succeed (front)"));
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].result, EventDescriptor::string("ran"));
}

TEST_F(ScriptRunnerTest, AnotherFolderLeadsToTheReselectAlertNotToACopy) {
  bundle.resources = {{"a.scpt", "/res/a.scpt"}};
  std::vector<bool> done;
  auto record = [&done](bool success) { done.push_back(success); };

  // Another folder, "Reselect", the right folder: copied.
  ui.panelAnswers = {std::string("/tmp/elsewhere"), std::string("/home/u/./Scripts")};
  ui.alertAnswers = {kAlertFirstButtonReturn};
  KwAppleScript::beginInstallScripts({"a.scpt"}, record);
  settle();
  EXPECT_THAT(journal, ElementsAre("panel /home/u/Scripts", "alert Install error path", "panel /home/u/Scripts"));
  EXPECT_EQ(ui.alerts.at(0).style, AlertStyle::kInformational);
  EXPECT_THAT(ui.alerts.at(0).buttons, ElementsAre("Reselect", "Cancel"));
  EXPECT_THAT(host.copies, ElementsAre("/res/a.scpt -> /home/u/./Scripts/a.scpt"));
  EXPECT_THAT(done, ElementsAre(true));

  // Another folder, "Cancel": nothing copied and no completion. A cancelled panel: failure.
  journal.clear();
  host.copies.clear();
  ui.panelAnswers = {std::string("/tmp/elsewhere"), std::nullopt};
  KwAppleScript::beginInstallScripts({"a.scpt"}, record);
  settle();
  KwAppleScript::beginInstallScripts({"a.scpt"}, record);
  settle();
  EXPECT_TRUE(host.copies.empty());
  EXPECT_THAT(done, ElementsAre(true, false));
  EXPECT_THAT(log.lines().back(), HasSubstr("\u3011 user cancel"));
}

TEST_F(ScriptRunnerTest, CopyReplacesAnOldFileAndReportsEachMissingOrFailedScript) {
  bundle.resources = {{"a.scpt", "/res/a.scpt"}, {"b.scpt", "/res/b.scpt"}};
  host.files = {"/home/u/Scripts/a.scpt"};
  host.failingCopies = {"/home/u/Scripts/b.scpt"};
  ui.panelAnswers = {std::string("/home/u/Scripts")};
  std::vector<bool> done;
  KwAppleScript::beginInstallScripts({"a.scpt", "gone.scpt", "b.scpt"}, [&done](bool ok) { done.push_back(ok); });
  settle();
  EXPECT_THAT(host.copies, ElementsAre("/res/a.scpt -> /home/u/Scripts/a.scpt", "/res/b.scpt -> /home/u/Scripts/b.scpt"));
  EXPECT_THAT(ui.overlays, ElementsAre("text: Install succeed (front)", "text: Install failed (front)"));
  EXPECT_THAT(done, ElementsAre(false));
  std::vector<std::string> lines = log.lines();
  EXPECT_THAT(lines, ::testing::Contains(HasSubstr("\u3011 copy item to local success: a.scpt")));
  EXPECT_THAT(lines, ::testing::Contains(HasSubstr("\u3011gone.scpt is not exist")));
  EXPECT_THAT(lines, ::testing::Contains(HasSubstr("\u3011 copy item to local fail: cannot write /home/u/Scripts/b.scpt")));
}

TEST_F(ScriptRunnerTest, CancelledConsentEndsWithoutCompletionAndBadListsFailAtOnce) {
  std::vector<bool> done;
  auto record = [&done](bool success) { done.push_back(success); };
  KwAppleScript::installScriptsWithArr({"a.scpt"}, record);  // the scripted answer is "Cancel"
  KwAppleScript::installScriptsWithArr({}, record);
  KwAppleScript::installScriptWithFile(Value(""), record);
  settle();
  EXPECT_TRUE(ui.panels.empty());
  EXPECT_THAT(done, ElementsAre(false, false));
  EXPECT_THAT(log.lines(), ElementsAre(HasSubstr(" file name array is 0 count"), HasSubstr(" file name is incorrect: ")));

  // A sandboxed run whose installation was cancelled does not complete either.
  sandboxed();
  std::vector<Outcome> outcomes;
  KwAppleScript::executeScriptWithFile(Value("tool"), Value("go"), {}, recordInto(outcomes));
  settle();
  EXPECT_TRUE(outcomes.empty());
}

TEST_F(ScriptRunnerTest, ExecuteScriptFuncDoesNothingUntilTheFixedScriptIsInstalled) {
  sandboxed();
  host.answers["/home/u/Scripts/apple_script.scpt"] = EventDescriptor::string("ok");
  std::vector<Outcome> outcomes;
  KwTools::executeScriptFunc(Value("go"), {Value("x")}, recordInto(outcomes));
  settle();
  EXPECT_TRUE(outcomes.empty());
  EXPECT_TRUE(ui.alerts.empty()) << "no installation is offered either";

  host.files = {"/home/u/Scripts/apple_script.scpt"};
  KwTools::executeScriptFunc(Value("go"), recordInto(outcomes));
  settle();
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].result, EventDescriptor::string("ok"));
  EXPECT_FALSE(KwAppleScript::scriptFileHasInstalled(Value("apple_script")));  // no suffix added there
}

TEST_F(ScriptRunnerTest, FolderLookupWaitsTwoSecondsAndASlowAnswerStillFillsTheCache) {
  host.beforeFolderAnswer = [] { std::this_thread::sleep_for(3000ms); };
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KwAppleScript::getScriptLocalURL(), std::nullopt);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 1900ms);
  EXPECT_LT(waited, 2900ms) << "the wait ended with the lookup, not after 2 seconds";
  host.join();  // the slow lookup finishes and fills the cache

  host.beforeFolderAnswer = nullptr;
  EXPECT_EQ(KwAppleScript::getScriptLocalURL(), "/home/u/Scripts");
  EXPECT_EQ(KwAppleScript::getScriptLocalURL(), "/home/u/Scripts");
  EXPECT_EQ(host.folderLookups, 1) << "a cached folder is not looked up again";

  KwAppleScript::forgetScriptLocalURLForTesting();
  host.folder.reset();
  host.folderError = "no home";
  EXPECT_EQ(KwAppleScript::getScriptLocalURL(), std::nullopt);
  EXPECT_THAT(log.lines(), ::testing::Contains("\u3010+[KwAppleScript getScriptLocalURL]\u3011 error: no home"));
}

// The Linux host with the real process runner, on a scripts folder made for the test.
TEST(ExecutableScriptTest, ARealScriptGetsTheCallAsJsonAndReturnsItsOutput) {
  testing::TempTree folder;
  ASSERT_FALSE(folder.root().empty());
  folder.write("trellis/Scripts/apple_script.scpt",
               "#!/bin/sh\ncase \"$1\" in\n"
               "  echo) cat ;;\n"
               "  sum) echo 42 ;;\n"
               "  greet) echo hello ;;\n"
               "  fail) echo 'went wrong' >&2; exit 3 ;;\n"
               "  quiet) ;;\n"
               "esac\n",
               0755);

  testing::ManualRunLoop loop;
  testing::setService(&Services::runLoop, &loop);
  testing::RecordingLog log;
  testing::setService(&Services::log, &log);
  lnx::PosixProcessRunner runner;
  lnx::ExecutableScriptHost host([&](std::string_view name) -> std::optional<std::string> {
    if (name == "APP_SANDBOX_CONTAINER_ID") return std::string("org.trellis");
    if (name == "XDG_DATA_HOME") return folder.root();
    return std::nullopt;
  }, runner);
  testing::setService(&Services::scripts, &host);
  KwAppleScript::forgetScriptLocalURLForTesting();

  std::map<std::string, Outcome> outcomes;
  for (const char* handler : {"echo", "sum", "greet", "fail", "quiet"}) {
    KwTools::executeScriptFunc(Value(handler), {Value("true"), Value(2.5)},
                               [&outcomes, handler](std::optional<EventDescriptor> result, std::optional<ScriptError> error) {
                                 outcomes[handler] = {std::move(result), std::move(error), std::this_thread::get_id()};
                               });
  }
  for (int tries = 0; tries < 500 && outcomes.size() < 5; ++tries) {
    std::this_thread::sleep_for(10ms);
    loop.runQueued();
  }
  ASSERT_EQ(outcomes.size(), 5u);
  EXPECT_EQ(json(outcomes["echo"].result),
            json(KwAppleScript::createEventDescriptorWithFuncName(Value("echo"), {Value("true"), Value(2.5)})));
  EXPECT_EQ(outcomes["sum"].result, EventDescriptor::int32(42));
  EXPECT_EQ(outcomes["greet"].result, EventDescriptor::string("hello"));
  EXPECT_EQ(outcomes["fail"].error, (ScriptError{"NSPOSIXErrorDomain", 2,
                                                 Dictionary{{"NSAppleScriptErrorMessage", Value("went wrong")},
                                                            {"NSAppleScriptErrorNumber", Value(3)}}}));
  EXPECT_EQ(outcomes["quiet"].error->userInfo->at("NSAppleScriptErrorNumber"), Value(0));
  EXPECT_FALSE(outcomes["quiet"].result);
  EXPECT_EQ(outcomes["sum"].thread, std::this_thread::get_id());

  testing::setService(&Services::scripts, nullptr);
  testing::setService(&Services::log, nullptr);
  testing::setService(&Services::runLoop, nullptr);
  KwAppleScript::forgetScriptLocalURLForTesting();
}

}  // namespace
}  // namespace trellis
