// The script runner over fake hosts and a manual main loop (the handler call, name rules, run
// paths, installation, the folder cache), then real executable scripts through the Linux host.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "model/value_json.h"
#include "platform/linux/desktop/script_host.h"
#include "platform/linux/system/process_runner.h"
#include "support/desktop_fakes.h"
#include "support/manual_run_loop.h"
#include "support/temp_tree.h"
#include "tools/kw_tools.h"

namespace trellis {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

const std::string kTag = "\u3010+[KwAppleScript executeScriptWithFile:funcName:arguments:completionHandler:]\u3011";

struct Outcome {
  std::optional<EventDescriptor> result;
  std::optional<ScriptError> error;
  std::thread::id thread;
  bool operator==(const Outcome&) const = default;
};

class ScriptRunnerTest : public ::testing::Test {
 protected:
  ScriptRunnerTest() {
    KwAppleScript::forgetScriptLocalURLForTesting();
    services.set(&Services::runLoop, &loop).set(&Services::userInterface, &ui).set(&Services::resources, &bundle);
    services.set(&Services::scripts, &host).set(&Services::log, &log);
  }
  void TearDown() override {
    settle();
    EXPECT_EQ(KwAppleScript::pendingOperations(), 0);
    KwAppleScript::forgetScriptLocalURLForTesting();
  }

  ScriptCompletion record() {
    return [this](std::optional<EventDescriptor> result, std::optional<ScriptError> error) {
      outcomes.push_back({std::move(result), std::move(error), std::this_thread::get_id()});
    };
  }
  InstallCompletion recordInstall() {
    return [this](bool success) { installed.push_back(success); };
  }
  void sandboxed() { host.environment = {{"APP_SANDBOX_CONTAINER_ID", "org.trellis"}}; }
  // Lets background runs finish, then runs what they queued on the main queue.
  void settle() {
    for (int i = 0; i < 2; ++i) {
      host.join();
      loop.runQueued();
    }
  }
  Outcome on(std::optional<EventDescriptor> result, std::optional<ScriptError> error = std::nullopt) const {
    return {std::move(result), std::move(error), std::this_thread::get_id()};
  }

  testing::Journal journal;
  testing::ManualRunLoop loop;
  testing::ScriptedUserInterface ui{journal};
  testing::FakeBundle bundle;
  testing::FakeScriptHost host;
  testing::RecordingLog log;
  std::vector<Outcome> outcomes;
  std::vector<bool> installed;
  testing::ServiceScope services;
};

TEST_F(ScriptRunnerTest, HandlerCallConvertsArgumentsAndLeavesOutOtherKinds) {
  const Array arguments = {Value("true"), Value("FALSE"), Value("True"), Value("yes"), Value("NO"), Value(3.0),
                           Value(2.5), Value(std::int64_t{7}), Value(Date{86400.0}), Value(Bytes{1}), Value(),
                           Value(Array{}), Value(4e10), Value(true), Value("text")};
  const std::optional<EventDescriptor> event = KwAppleScript::createEventDescriptorWithFuncName(Value("work"), arguments);
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(toJson(event->tree()).dump(), toJson(*parseJson(R"({"type": "aevt", "eventClass": "ascr", "eventID": "psbr",
      "returnID": -1, "transactionID": 0, "target": {"type": "psn ", "value": {"highLongOfPSN": 0, "lowLongOfPSN": 2}},
      "parameters": {"snam": {"type": "utxt", "value": "work"}, "----": {"type": "list", "items": [
        {"type": "bool", "value": true}, {"type": "bool", "value": false}, {"type": "utxt", "value": "True"},
        {"type": "bool", "value": true}, {"type": "bool", "value": false}, {"type": "long", "value": 3},
        {"type": "doub", "value": 2.5}, {"type": "long", "value": 7}, {"type": "ldt ", "value": 86400.0},
        {"type": "doub", "value": 4e10}, {"type": "bool", "value": true}, {"type": "utxt", "value": "text"}]}}})")).dump());
  EXPECT_EQ(event->paramForKeyword(kDirectObjectKeyword)->item(6)->value()->kind(), Value::Kind::Int32);
  // No arguments: no list. No handler name: no event.
  EXPECT_FALSE(KwAppleScript::createEventDescriptorWithFuncName(Value("work"), {})->paramForKeyword("----"));
  EXPECT_FALSE(KwAppleScript::createEventDescriptorWithFuncName(Value(""), arguments));
  EXPECT_FALSE(KwAppleScript::createEventDescriptorWithFuncName(Value(5), arguments));
}

TEST_F(ScriptRunnerTest, ResourceScriptsRunInTheBackgroundAndCompleteOnTheMainQueue) {
  bundle.resources = {{"tool.scpt", "/res/tool.scpt"}, {"bad.scpt", "/res/bad.scpt"}, {"gone.scpt", "/res/gone.scpt"}};
  host.files = {"/res/tool.scpt", "/res/bad.scpt"};
  host.answers["/res/tool.scpt"] = EventDescriptor::string("done");
  KwAppleScript::executeScriptWithFile(Value("tool"), Value("go"), {Value(1)}, record());
  host.join();
  EXPECT_TRUE(outcomes.empty()) << "completions wait for the main queue";
  EXPECT_EQ(KwAppleScript::pendingOperations(), 1) << "a run counts until its completion was called";
  loop.runQueued();
  KwAppleScript::executeScriptWithFile(Value("tool.scpt"), record());
  settle();
  KwAppleScript::executeScriptWithFile(Value("bad"), Value("go"), {}, record());
  settle();
  KwAppleScript::executeScriptWithFile(Value("gone"), Value("go"), {}, record());  // cannot be loaded
  for (const Value& name : {Value(""), Value(7), Value("../a"), Value("sub/a"), Value("missing")}) {
    KwAppleScript::executeScriptWithFile(name, Value("go"), {}, record());  // never complete
  }
  settle();
  EXPECT_THAT(outcomes, ElementsAre(on(EventDescriptor::string("done")), on(EventDescriptor::string("done")),
                                    on(std::nullopt, ScriptError{"NSPOSIXErrorDomain", 2, Dictionary{{"why", Value("/res/bad.scpt")}}}),
                                    on(std::nullopt, ScriptError{"NSPOSIXErrorDomain", 2, std::nullopt})));
  ASSERT_GE(host.events.size(), 2u);
  EXPECT_EQ(host.events[0]->paramForKeyword("snam"), EventDescriptor::string("go"));
  EXPECT_FALSE(host.events[1]) << "no handler name: the script runs with no event";
  EXPECT_NE(host.runThreads[0], std::this_thread::get_id());
  EXPECT_THAT(log.lines(), ElementsAre(kTag + " file name is incorrect: ", kTag + " file name is incorrect: 7",
                                       kTag + " file name is incorrect: ../a", kTag + " file name is incorrect: sub/a",
                                       kTag + " script file not exist : missing.scpt"));
}

TEST_F(ScriptRunnerTest, SandboxedRunsUseTheInstalledScriptsTaskAndInstallAMissingOneWithConsent) {
  sandboxed();
  host.files = {"/home/u/Scripts/tool.scpt"};
  host.answers["/home/u/Scripts/tool.scpt"] = EventDescriptor::int32(5);
  KwAppleScript::executeScriptWithFile(Value("tool"), Value("go"), {}, record());
  settle();
  host.taskCanBeMade = false;
  KwAppleScript::executeScriptWithFile(Value("tool"), Value("go"), {}, record());
  settle();
  EXPECT_THAT(outcomes, ElementsAre(on(EventDescriptor::int32(5))));
  EXPECT_THAT(ui.overlays, ElementsAre("error: Script task creation failed (last)"));
  EXPECT_EQ(log.lines().back(), kTag + "create user applle script task error: no task for /home/u/Scripts/tool.scpt");

  // Missing: "Install", the scripts folder chosen, copied, then run.
  host.taskCanBeMade = true;
  host.files.clear();
  ui.overlays.clear();
  bundle.resources = {{"tool.scpt", "/res/tool.scpt"}};
  ui.alertAnswers = {kAlertFirstButtonReturn};  // then "Cancel", the last button
  ui.panelAnswers = {std::string("/home/u/Scripts/")};
  KwAppleScript::executeScriptWithFile(Value("tool"), Value("go"), {}, record());
  EXPECT_THAT(journal, ElementsAre("alert Install first", "panel /home/u/Scripts"));
  const OpenPanelRequest& panel = ui.panels.at(0);
  EXPECT_EQ(std::tuple(panel.canChooseFiles, panel.canChooseDirectories, panel.prompt, panel.message),
            std::tuple(false, true, "Install script", "Install script in current folder"));
  settle();
  EXPECT_THAT(host.copies, ElementsAre("/res/tool.scpt -> /home/u/Scripts/tool.scpt"));
  EXPECT_THAT(ui.overlays, ElementsAre("text: Install succeed (front)"));
  EXPECT_THAT(outcomes, ElementsAre(on(EventDescriptor::int32(5)), on(EventDescriptor::int32(5))));
  // Consent refused ("Cancel"): nothing runs and nothing completes.
  host.files.clear();
  KwAppleScript::executeScriptWithFile(Value("tool"), Value("go"), {}, record());
  settle();
  EXPECT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(ui.panels.size(), 1u);
}

TEST_F(ScriptRunnerTest, ExecuteScriptFuncDoesNothingUntilTheFixedScriptIsInstalled) {
  sandboxed();
  host.answers["/home/u/Scripts/apple_script.scpt"] = EventDescriptor::string("ok");
  KwTools::executeScriptFunc(Value("go"), {Value("x")}, record());
  settle();
  EXPECT_TRUE(outcomes.empty());
  EXPECT_TRUE(ui.alerts.empty()) << "no installation is offered either";
  host.files = {"/home/u/Scripts/apple_script.scpt"};
  KwTools::executeScriptFunc(Value("go"), record());
  settle();
  EXPECT_THAT(outcomes, ElementsAre(on(EventDescriptor::string("ok"))));
  EXPECT_FALSE(KwAppleScript::scriptFileHasInstalled(Value("apple_script")));  // no suffix added there
}

TEST_F(ScriptRunnerTest, InstallationReselectsAnotherFolderCopiesOverOldFilesAndReportsEachScript) {
  bundle.resources = {{"a.scpt", "/res/a.scpt"}, {"b.scpt", "/res/b.scpt"}};
  // Another folder, "Reselect", the right folder: copied.
  ui.panelAnswers = {std::string("/tmp/elsewhere"), std::string("/home/u/./Scripts")};
  ui.alertAnswers = {kAlertFirstButtonReturn};
  KwAppleScript::beginInstallScripts({"a.scpt"}, recordInstall());
  settle();
  EXPECT_THAT(journal, ElementsAre("panel /home/u/Scripts", "alert Install error path", "panel /home/u/Scripts"));
  EXPECT_EQ(ui.alerts.at(0).style, AlertStyle::kInformational);
  EXPECT_THAT(ui.alerts.at(0).buttons, ElementsAre("Reselect", "Cancel"));
  EXPECT_THAT(host.copies, ElementsAre("/res/a.scpt -> /home/u/./Scripts/a.scpt"));

  // Another folder, "Cancel": nothing copied and no completion. A cancelled panel: failure.
  host.copies.clear();
  ui.panelAnswers = {std::string("/tmp/elsewhere"), std::nullopt};
  KwAppleScript::beginInstallScripts({"a.scpt"}, recordInstall());
  settle();
  KwAppleScript::beginInstallScripts({"a.scpt"}, recordInstall());
  settle();
  EXPECT_TRUE(host.copies.empty());
  EXPECT_THAT(log.lines().back(), HasSubstr("\u3011 user cancel"));

  // An old copy is replaced; a missing resource and a failed copy are reported, and fail it all.
  host.files = {"/home/u/Scripts/a.scpt"};
  host.failingCopies = {"/home/u/Scripts/b.scpt"};
  ui.panelAnswers = {std::string("/home/u/Scripts")};
  KwAppleScript::beginInstallScripts({"a.scpt", "gone.scpt", "b.scpt"}, recordInstall());
  settle();
  EXPECT_THAT(host.copies, ElementsAre("/res/a.scpt -> /home/u/Scripts/a.scpt", "/res/b.scpt -> /home/u/Scripts/b.scpt"));
  EXPECT_THAT(ui.overlays, ElementsAre("text: Install succeed (front)", "text: Install succeed (front)",
                                       "text: Install failed (front)"));
  EXPECT_THAT(log.lines(), ::testing::IsSupersetOf({HasSubstr("\u3011 copy item to local success: a.scpt"),
                                                    HasSubstr("\u3011gone.scpt is not exist"),
                                                    HasSubstr("\u3011 copy item to local fail: cannot write /home/u/Scripts/b.scpt")}));
  // Consent refused (the scripted answer is "Cancel"): no completion; bad lists fail at once.
  log.take();
  KwAppleScript::installScriptsWithArr({"a.scpt"}, recordInstall());
  KwAppleScript::installScriptsWithArr({}, recordInstall());
  KwAppleScript::installScriptWithFile(Value(""), recordInstall());
  settle();
  EXPECT_THAT(installed, ElementsAre(true, false, false, false, false));
  EXPECT_THAT(log.lines(), ElementsAre(HasSubstr(" file name array is 0 count"), HasSubstr(" file name is incorrect: ")));
}

TEST_F(ScriptRunnerTest, FolderLookupWaitsTwoSecondsAndASlowAnswerStillFillsTheCache) {
  host.beforeFolderAnswer = [] { std::this_thread::sleep_for(3000ms); };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KwAppleScript::getScriptLocalURL(), std::nullopt);
  const auto waited = std::chrono::steady_clock::now() - start;
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

// The Linux host with the real process runner: a script that prints nothing or fails gives its
// status and message as the error (the call as JSON on standard input is desktop_commands').
TEST(ExecutableScriptTest, ARealScriptsFailureGivesItsStatusAndMessageAsTheError) {
  testing::TempTree folder;
  folder.write("trellis/Scripts/apple_script.scpt",
               "#!/bin/sh\n[ \"$1\" = fail ] && { echo 'went wrong' >&2; exit 3; }\nexit 0\n", 0755);
  testing::ManualRunLoop loop;
  testing::RecordingLog log;
  lnx::PosixProcessRunner runner;
  lnx::ExecutableScriptHost host(
      [&](std::string_view name) -> std::optional<std::string> {
        if (name == "APP_SANDBOX_CONTAINER_ID") return std::string("org.trellis");
        if (name == "XDG_DATA_HOME") return folder.root();
        return std::nullopt;
      },
      runner);
  testing::ServiceScope services;
  services.set(&Services::runLoop, &loop).set(&Services::log, &log).set(&Services::scripts, &host);
  KwAppleScript::forgetScriptLocalURLForTesting();
  std::map<std::string, std::pair<std::optional<EventDescriptor>, std::optional<ScriptError>>> outcomes;
  for (const char* handler : {"fail", "quiet"}) {
    KwTools::executeScriptFunc(Value(handler), {Value("true"), Value(2.5)},
                               [&outcomes, handler](std::optional<EventDescriptor> result, std::optional<ScriptError> error) {
                                 outcomes[handler] = {std::move(result), std::move(error)};
                               });
  }
  for (int tries = 0; tries < 500 && outcomes.size() < 2; ++tries) {
    std::this_thread::sleep_for(10ms);
    loop.runQueued();
  }
  const auto error = [](std::string message, int status) {
    return ScriptError{"NSPOSIXErrorDomain", 2,
                       Dictionary{{"NSAppleScriptErrorMessage", Value(message)}, {"NSAppleScriptErrorNumber", Value(status)}}};
  };
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(outcomes["fail"], std::pair(std::optional<EventDescriptor>(), std::optional(error("went wrong", 3))));
  EXPECT_EQ(outcomes["quiet"], std::pair(std::optional<EventDescriptor>(), std::optional(error("", 0))));
  KwAppleScript::forgetScriptLocalURLForTesting();
}

}  // namespace
}  // namespace trellis
