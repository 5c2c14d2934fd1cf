// The Linux desktop services: the process runner's input and separate streams, the xprop window
// list, the privacy probes, the XDG workspace, the zenity and headless interfaces, the resources
// folder with its string tables, script output, and the uinput keyboard (on a recording device,
// and on the real /dev/uinput where this machine has one). Single-threaded unless a case says so.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "platform/linux/desktop/privacy.h"
#include "platform/linux/desktop/resource_folder.h"
#include "platform/linux/desktop/script_host.h"
#include "platform/linux/desktop/uinput_keyboard.h"
#include "platform/linux/desktop/user_interface.h"
#include "platform/linux/desktop/window_list.h"
#include "platform/linux/desktop/workspace.h"
#include "platform/linux/system/process_runner.h"
#include "support/desktop_fakes.h"
#include "support/manual_run_loop.h"
#include "support/service_setters.h"
#include "support/temp_tree.h"

namespace trellis::lnx {
namespace {

using ::testing::ElementsAre;
using ::testing::Optional;
using namespace std::chrono_literals;

const std::string kFixtures = std::string(TRELLIS_TEST_FIXTURES) + "/desktop";

EnvironmentLookup environmentOf(std::map<std::string, std::string, std::less<>> values) {
  return [values = std::move(values)](std::string_view name) -> std::optional<std::string> {
    auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
  };
}

ProcessResult exited(int code, std::string output = "", std::string errors = "") {
  return ProcessResult{code, std::move(output), std::move(errors)};
}

TEST(ProcessRunWithTest, FeedsInputAndKeepsTheStreamsAndTheExitStatusApart) {
  PosixProcessRunner runner;
  std::optional<ProcessResult> result =
      runner.runWith({"/bin/sh", {"-c", "tr a-z A-Z; echo oops >&2; exit 3"}, std::string("hello\n"), false});
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->exitCode, 3);
  EXPECT_EQ(result->standardOutput, "HELLO\n");
  EXPECT_EQ(result->standardError, "oops\n");

  // Input and output both far beyond a pipe's capacity, at the same time.
  std::string large(1 << 20, 'x');
  result = runner.runWith({"/bin/sh", {"-c", "cat; cat >&2 </dev/null"}, large, false});
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->standardOutput.size(), large.size());

  // A child that reads none of its input ends the writing, not this process (no SIGPIPE).
  result = runner.runWith({"/bin/sh", {"-c", "exec 0<&-; echo early"}, large, false});
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->standardOutput, "early\n");

  // Without input: /dev/null. A signal: no exit status. Not executable: nothing.
  EXPECT_EQ(runner.runWith({"/bin/sh", {"-c", "cat"}, std::nullopt, false})->standardOutput, "");
  EXPECT_EQ(runner.runWith({"/bin/sh", {"-c", "kill -9 $$"}, std::nullopt, false})->exitCode, std::nullopt);
  EXPECT_EQ(runner.runWith({"/nonexistent/tool", {}, std::nullopt, false}), std::nullopt);
}

TEST(ProcessRunWithTest, DiscardedOutputWaitsOnlyForTheChildItself) {
  PosixProcessRunner runner;
  auto start = std::chrono::steady_clock::now();
  // A launcher whose program lives on with the launcher's streams.
  std::optional<ProcessResult> result = runner.runWith({"/bin/sh", {"-c", "sleep 5 & echo hidden; exit 0"}, std::nullopt, true});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->exitCode, 0);
  EXPECT_EQ(result->standardOutput, "");
  int status = 0;
  // Nothing to reap: the launcher was (what it left behind may still run, handed back to us).
  EXPECT_LE(::waitpid(-1, &status, WNOHANG), 0) << "the launcher was not reaped";
}

TEST(ProcessRunWithTest, FindsExecutablesInTheSearchPathOnly) {
  EXPECT_EQ(findExecutable("sh", ":/nonexistent::/bin"), "/bin/sh");
  EXPECT_EQ(findExecutable("sh", ""), std::nullopt) << "an empty entry is not the working folder";
  EXPECT_EQ(findExecutable("/bin/sh", "/bin"), std::nullopt);
  EXPECT_EQ(findExecutable("passwd-not-a-tool", "/etc"), std::nullopt);
}

const std::vector<std::string> kWindowProperties = {
    "-notype", "-f", "_NET_WM_NAME", "8u", "-f", "WM_NAME", "8s", "-f", "_NET_WM_PID", "32c", "-f", "_NET_WM_DESKTOP",
    "32c", "-f", "_NET_WM_WINDOW_TYPE", "32a", "-f", "_NET_WM_STATE", "32a", "_NET_WM_NAME", "WM_NAME", "_NET_WM_PID",
    "_NET_WM_DESKTOP", "_NET_WM_WINDOW_TYPE", "_NET_WM_STATE"};

std::string windowKey(const std::string& id) {
  std::vector<std::string> arguments = {"-id", id};
  arguments.insert(arguments.end(), kWindowProperties.begin(), kWindowProperties.end());
  return testing::TableProcessRunner::key("/usr/bin/xprop", arguments);
}

TEST(XpropWindowListTest, ReadsNamesOwnersAndPanelsOfTheWindowsOnScreen) {
  testing::TableProcessRunner runner;
  const std::string root = testing::TableProcessRunner::key(
      "/usr/bin/xprop", {"-root", "-notype", "-f", "_NET_CLIENT_LIST", "32x", "-f", "_NET_CURRENT_DESKTOP", "32c",
                         "_NET_CLIENT_LIST", "_NET_CURRENT_DESKTOP"});
  runner.answers[root] = exited(0, "_NET_CLIENT_LIST = window id # 0x1, 0x2, 0x3, 0x4, 0x5, 0x6\n_NET_CURRENT_DESKTOP = 1\n");
  runner.answers[windowKey("0x1")] = exited(0,
      "_NET_WM_NAME = \"Gr\\303\\274\\303\\237e \\\"x\\\" \\\\ y\"\nWM_NAME = \"old\"\n_NET_WM_PID = 4242\n"
      "_NET_WM_DESKTOP = 1\n_NET_WM_WINDOW_TYPE = _NET_WM_WINDOW_TYPE_NORMAL\n_NET_WM_STATE:  not found.\n");
  runner.answers[windowKey("0x2")] = exited(0, "_NET_WM_NAME:  not found.\nWM_NAME = \"\"\n_NET_WM_DESKTOP = 4294967295\n");
  runner.answers[windowKey("0x3")] = exited(0, "WM_NAME = \"minimised\"\n_NET_WM_STATE = _NET_WM_STATE_ABOVE, _NET_WM_STATE_HIDDEN\n");
  runner.answers[windowKey("0x4")] = exited(0, "WM_NAME = \"elsewhere\"\n_NET_WM_DESKTOP = 0\n");
  runner.answers[windowKey("0x5")] = exited(0, "WM_NAME = \"panel\"\n_NET_WM_PID = 7\n_NET_WM_WINDOW_TYPE = _NET_WM_WINDOW_TYPE_DOCK\n");
  // 0x6 went away before it was asked about: not in the table.
  XpropWindowList list("/usr/bin/xprop", runner);
  std::optional<std::vector<ScreenWindow>> windows = list.list();
  ASSERT_TRUE(windows.has_value());
  ASSERT_EQ(windows->size(), 3u);
  EXPECT_EQ((*windows)[0].name, "Gr\xc3\xbc\xc3\x9f" "e \"x\" \\ y");
  EXPECT_EQ((*windows)[0].ownerPid, 4242);
  EXPECT_FALSE((*windows)[0].isDockOrPanel);
  EXPECT_EQ((*windows)[1].name, "");
  EXPECT_EQ((*windows)[1].ownerPid, std::nullopt);
  EXPECT_EQ((*windows)[2].name, "panel");
  EXPECT_TRUE((*windows)[2].isDockOrPanel);

  runner.answers[root] = exited(0, "_NET_CLIENT_LIST:  no such atom on any window.\n");
  EXPECT_EQ(list.list(), std::nullopt) << "no window manager";
  runner.answers[root] = exited(1, "", "xprop: unable to open display ':9'\n");
  EXPECT_EQ(list.list(), std::nullopt);
}

TEST(LinuxPrivacyTest, ProbesFilesProcessesAndTheSessionKind) {
  testing::TempTree temp;
  ASSERT_FALSE(temp.root().empty());
  const std::string device = temp.write("uinput", "");
  std::filesystem::create_directories(temp.path("proc/42"));
  std::filesystem::create_symlink("/usr/bin/gedit (deleted)", temp.path("proc/42/exe"));
  temp.write("proc/43/comm", "Xwayland\n");

  int listed = 0;
  auto windows = [&listed]() -> std::optional<std::vector<ScreenWindow>> {
    ++listed;
    return std::vector<ScreenWindow>{};
  };
  auto make = [&](std::map<std::string, std::string, std::less<>> environment) {
    return LinuxPrivacyPlatform({device, temp.path("proc")}, environmentOf(std::move(environment)), windows);
  };

  LinuxPrivacyPlatform x11 = make({{"DISPLAY", ":0"}, {"HOME", "/home/me"}});
  EXPECT_TRUE(x11.isProcessTrusted());
  EXPECT_TRUE(x11.onScreenWindows().has_value());
  EXPECT_EQ(x11.runningApplicationExecutableName(42), "gedit");
  EXPECT_EQ(x11.runningApplicationExecutableName(43), "Xwayland");
  EXPECT_EQ(x11.runningApplicationExecutableName(44), std::nullopt);
  EXPECT_EQ(x11.processHomeDirectory(), "/home/me");
  EXPECT_TRUE(x11.canOpenForReading(temp.root()));
  EXPECT_FALSE(x11.canOpenForReading(temp.path("missing")));

  EXPECT_EQ(make({{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}}).onScreenWindows(), std::nullopt);
  EXPECT_EQ(make({{"DISPLAY", ":0"}, {"XDG_SESSION_TYPE", "wayland"}}).onScreenWindows(), std::nullopt);
  EXPECT_EQ(make({}).onScreenWindows(), std::nullopt);
  EXPECT_EQ(listed, 1) << "the X11 list is asked for on an X11 session only";

  std::filesystem::remove(device);
  EXPECT_FALSE(x11.isProcessTrusted());
}

TEST(XdgWorkspaceTest, FindsDesktopEntriesInTheApplicationFoldersInOrder) {
  testing::TableProcessRunner runner;
  XdgWorkspace workspace(environmentOf({{"XDG_DATA_HOME", kFixtures + "/home"}, {"XDG_DATA_DIRS", kFixtures + "/system:relative"}}),
                         {}, runner);
  EXPECT_THAT(workspace.urlForApplicationWithBundleIdentifier("org.example.Editor"),
              Optional(kFixtures + "/home/applications/org.example.Editor.desktop"));
  EXPECT_THAT(workspace.urlForApplicationWithBundleIdentifier("org.example.Viewer.desktop"),
              Optional(kFixtures + "/system/applications/org.example.Viewer.desktop"));
  EXPECT_THAT(workspace.urlForApplicationWithBundleIdentifier("kde-org.example.Nested"),
              Optional(kFixtures + "/system/applications/kde/org.example.Nested.desktop"));
  for (const char* absent : {"org.example.Gone", "org.example.Bookmark", "org.example.Missing", "../home/applications/org.example.Editor",
                             "kde/org.example.Nested", ".hidden", "x-..-y"}) {
    EXPECT_EQ(workspace.urlForApplicationWithBundleIdentifier(absent), std::nullopt) << absent;
  }
}

TEST(XdgWorkspaceTest, LaunchesEntriesAndOpensSettingsPagesOnlyWithAHandler) {
  testing::TableProcessRunner runner;
  testing::RecordingLog log;
  testing::setService(&Services::log, &log);
  const std::string entry = kFixtures + "/home/applications/org.example.Editor.desktop";
  const std::string screenPage = "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";
  runner.answers["/bin/gio launch " + entry] = exited(0);
  runner.answers["/bin/gtk-launch org.example.Editor"] = exited(1);
  runner.answers["/bin/xdg-open https://example.org/"] = exited(0);
  runner.answers["/bin/xdg-mime query default x-scheme-handler/settings"] = exited(0, "\n");
  runner.answers["/bin/xdg-open settings://security/privacy"] = exited(0);

  XdgWorkspace full(environmentOf({}), {"/bin/xdg-open", "/bin/xdg-mime", "/bin/gio", "/bin/gtk-launch"}, runner);
  XdgWorkspace noGio(environmentOf({}), {"/bin/xdg-open", "/bin/xdg-mime", std::nullopt, "/bin/gtk-launch"}, runner);
  EXPECT_TRUE(full.openURL(entry));
  EXPECT_FALSE(noGio.openURL(entry)) << "gtk-launch exited 1";
  EXPECT_TRUE(full.openURL("https://example.org/"));
  EXPECT_FALSE(full.openURL(screenPage)) << "no handler for settings:// on this desktop";
  runner.answers["/bin/xdg-mime query default x-scheme-handler/settings"] = exited(0, "io.elementary.settings.desktop\n");
  EXPECT_TRUE(full.openURL(screenPage));
  EXPECT_FALSE(full.openURL("x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility"));
  for (const ProcessRequest& request : runner.requests) {
    if (request.arguments.front() != "query") {
      EXPECT_TRUE(request.discardOutput) << request.path;
    }
  }
  EXPECT_EQ(runner.commands().back(), "/bin/xdg-open settings://security/privacy");
  EXPECT_THAT(log.lines(),
              ElementsAre("no settings page on this desktop for " + screenPage,
                          "no settings page on this desktop for x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility"));
  testing::setService(&Services::log, nullptr);
}

AlertRequest threeButtons() { return {AlertStyle::kCritical, "Kind tips", "Install first", {"Install", "Cancel", "Later"}}; }

TEST(ZenityUserInterfaceTest, MapsZenitysAnswersToButtonsAndCancelsWhenItCannotAsk) {
  testing::TableProcessRunner runner;
  ZenityUserInterface ui("/usr/bin/zenity", runner);
  const std::string alert = testing::TableProcessRunner::key(
      "/usr/bin/zenity", {"--question", "--no-markup", "--icon-name=dialog-error", "--title=Kind tips", "--text=Install first",
                          "--ok-label=Install", "--cancel-label=Cancel", "--extra-button=Later"});
  struct Case {
    std::optional<ProcessResult> answer;
    int button;
  };
  const Case cases[] = {{exited(0), 1000}, {exited(1), 1001}, {exited(1, "Later\n"), 1002}, {exited(5), 1002},
                        {exited(255), 1002}, {std::nullopt, 1002}, {ProcessResult{std::nullopt, "", ""}, 1002}};
  for (const Case& c : cases) {
    runner.answers.erase(alert);
    if (c.answer) runner.answers[alert] = *c.answer;
    EXPECT_EQ(ui.runModal(threeButtons()), c.button);
  }
  runner.answers[testing::TableProcessRunner::key("/usr/bin/zenity", {"--info", "--no-markup", "--icon-name=dialog-warning",
                                                                      "--title=Done", "--text=Done", "--ok-label=OK"})] = exited(0);
  EXPECT_EQ(ui.runModal({AlertStyle::kWarning, "Done", "", {}}), 1000) << "no buttons: one OK";
}

TEST(ZenityUserInterfaceTest, FolderChooserAnswersOnTheMainQueue) {
  testing::ManualRunLoop loop;
  testing::setService(&Services::runLoop, &loop);
  testing::TableProcessRunner runner;
  ZenityUserInterface ui("/usr/bin/zenity", runner);
  runner.answers["/usr/bin/zenity --file-selection --title=Pick --directory --filename=/home/u/Scripts/"] = exited(0, "/home/u/Scripts\n");
  std::vector<std::optional<std::string>> chosen;
  auto record = [&chosen](std::optional<std::string> path) { chosen.push_back(path); };
  ui.beginOpenPanel({"/home/u/Scripts", false, true, "Install script", "Pick"}, record);
  ui.beginOpenPanel({"", true, false, "Open", "Other"}, record);  // not in the table: cannot be shown
  EXPECT_TRUE(chosen.empty());
  loop.runQueued();
  EXPECT_THAT(chosen, ElementsAre(Optional(std::string("/home/u/Scripts")), std::nullopt));

  ui.showOverlay(OverlayStyle::kText, OverlayWindow::kFrontmost, "Install succeed");
  EXPECT_EQ(runner.commands().back(), "/usr/bin/zenity --notification --text=Install succeed");
  testing::setService(&Services::runLoop, nullptr);
}

TEST(HeadlessUserInterfaceTest, AnswersCancelAndLogsWhatItWouldHaveShown) {
  testing::ManualRunLoop loop;
  testing::setService(&Services::runLoop, &loop);
  testing::RecordingLog log;
  testing::setService(&Services::log, &log);
  HeadlessUserInterface ui;
  EXPECT_EQ(ui.runModal(threeButtons()), 1002);
  std::vector<std::optional<std::string>> chosen;
  ui.beginOpenPanel({"/home/u/Scripts", false, true, "Install script", "Pick"},
                    [&chosen](std::optional<std::string> path) { chosen.push_back(path); });
  ui.showOverlay(OverlayStyle::kError, OverlayWindow::kLast, "Install failed");
  loop.runQueued();
  EXPECT_THAT(chosen, ElementsAre(std::nullopt));
  EXPECT_THAT(log.lines(), ElementsAre("no display for the alert \"Kind tips\" (Install first) [Install | Cancel | Later]: answered \"Later\"",
                                       "no display for the folder chooser \"Pick\" in /home/u/Scripts: cancelled",
                                       "no display for the message \"Install failed\""));
  testing::setService(&Services::log, nullptr);
  testing::setService(&Services::runLoop, nullptr);
}

TEST(ResourceFolderTest, PicksLanguagesFromTheEnvironmentAndFallsBackToTheKey) {
  struct Case {
    std::map<std::string, std::string, std::less<>> environment;
    std::vector<std::string> languages;
  };
  const Case cases[] = {
      {{{"LANG", "de_AT.UTF-8"}}, {"de_AT", "de"}},
      {{{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "fr_FR.UTF-8"}}, {"fr_FR", "fr"}},
      {{{"LC_ALL", "zh_CN.UTF-8@pinyin"}, {"LC_MESSAGES", "fr_FR"}}, {"zh_CN", "zh"}},
      {{{"LANGUAGE", "pt_BR:de"}, {"LANG", "de_DE.UTF-8"}}, {"pt_BR", "pt", "de", "de_DE"}},
      {{{"LANGUAGE", "de"}, {"LANG", "C.UTF-8"}}, {}},
      {{}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ResourceFolder::preferredLanguages(environmentOf(c.environment)), c.languages);

  ResourceFolder austrian(kFixtures + "/resources", {"fr", "de_AT", "de"});
  EXPECT_EQ(austrian.localizedString("Kind tips", "Localizable"), "Servus");
  EXPECT_EQ(austrian.localizedString("Cancel", "Localizable"), "Abbrechen") << "the next language fills the gaps";
  EXPECT_EQ(austrian.localizedString("Install", "KwAppleScript"), "Installieren");
  EXPECT_EQ(austrian.localizedString("Install", "Localizable"), "Install") << "tables are separate";
  EXPECT_EQ(austrian.localizedString("Empty", "Localizable"), "Empty");
  EXPECT_EQ(ResourceFolder(kFixtures + "/resources", {}).localizedString("Kind tips", "Localizable"), "Kind tips");

  EXPECT_THAT(austrian.pathForResource("tool.scpt"), Optional(kFixtures + "/resources/tool.scpt"));
  for (const char* absent : {"missing.scpt", "locale", "locale/de.json", "../resources/tool.scpt", ""}) {
    EXPECT_EQ(austrian.pathForResource(absent), std::nullopt) << absent;
  }
}

TEST(ResourceFolderTest, ShippedTablesTranslateEveryKey) {
  const std::map<std::string, std::vector<std::string>> keys = {
      {"Localizable", {"Kind tips", "Accessibility Tips", "ScreenCapture Tips", "Full disk access Tips", "To Authorize", "Cancel"}},
      {"KwAppleScript", {"Kind tips", "Install first", "Install", "Cancel", "Install error path", "Reselect", "Install script",
                         "Install script in current folder", "Install succeed", "Install failed", "Script task creation failed"}}};
  const std::string share = std::string(TRELLIS_TEST_FIXTURES) + "/../../share";
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(share + "/locale")) {
    ++files;
    const std::string language = entry.path().stem().string();
    ResourceFolder folder(share, {language});
    for (const auto& [table, names] : keys) {
      for (const std::string& key : names) {
        if (key == "Cancel" || key == "Install") continue;  // the same word in English
        EXPECT_NE(folder.localizedString(key, table), key) << language << " " << table << " " << key;
      }
    }
  }
  EXPECT_GE(files, 1);
}

TEST(ScriptOutputTest, OutputBecomesTheResultDescriptor) {
  struct Case {
    const char* output;
    const char* json;  // of the descriptor; nullptr: no result
  };
  const Case cases[] = {
      {"hello\n", R"({"type":"utxt","value":"hello"})"},
      {"two\nlines\n\n", R"({"type":"utxt","value":"two\nlines\n"})"},
      {"42\n", R"({"type":"long","value":42})"},
      {"2.5", R"({"type":"doub","value":2.5})"},
      {"[true, \"a\"]", R"({"items":[{"type":"bool","value":true},{"type":"utxt","value":"a"}],"type":"list"})"},
      {"{\"a\": null}", R"({"fields":{"a":{"type":"null","value":null}},"type":"reco"})"},
      {"{\"type\": \"long\", \"value\": 7}", R"({"type":"long","value":7})"},
      {"{\"type\": \"longer\"}", R"({"fields":{"type":{"type":"utxt","value":"longer"}},"type":"reco"})"},
      {"\n", R"({"type":"utxt","value":""})"},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    std::optional<EventDescriptor> result = scriptResultFromOutput(c.output);
    EXPECT_EQ(result ? toJson(result->tree()).dump() : "none", c.json ? c.json : "none") << c.output;
  }
}

// Records what the keyboard writes.
class RecordingDevice final : public UinputDevice {
 public:
  bool creatable = true;
  int creations = 0;
  std::vector<std::uint16_t> keys;
  std::vector<std::string> events;
  bool create(const std::vector<std::uint16_t>& supported) override {
    ++creations;
    keys = supported;
    return creatable;
  }
  bool write(std::uint16_t type, std::uint16_t code, std::int32_t value) override {
    events.push_back(type == EV_SYN ? "syn" : std::to_string(code) + (value ? " down" : " up"));
    return true;
  }
};

TEST(UinputKeyboardTest, HoldsTheFlagsModifiersForTheKeyDownOnly) {
  auto device = std::make_unique<RecordingDevice>();
  RecordingDevice& recorded = *device;
  UinputKeyboard keyboard(std::move(device));

  // Command-shift-V down, then V up with only the non-coalesced flag.
  EXPECT_TRUE(keyboard.post({0x09, true, kEventFlagMaskCommand | kEventFlagMaskShift | kEventFlagMaskNonCoalesced}));
  EXPECT_TRUE(keyboard.post({0x09, false, kEventFlagMaskNonCoalesced}));
  const std::string shift = std::to_string(KEY_LEFTSHIFT), meta = std::to_string(KEY_LEFTMETA), v = std::to_string(KEY_V);
  EXPECT_THAT(recorded.events, ElementsAre(shift + " down", "syn", meta + " down", "syn", v + " down", "syn",
                                           meta + " up", "syn", shift + " up", "syn", v + " up", "syn"));
  EXPECT_EQ(recorded.creations, 1);
  EXPECT_THAT(recorded.keys, ::testing::IsSupersetOf({KEY_A, KEY_V, KEY_ENTER, KEY_LEFTCTRL, KEY_LEFTALT, KEY_LEFTSHIFT, KEY_LEFTMETA}));

  recorded.events.clear();
  EXPECT_FALSE(keyboard.post({0x34, true, 0})) << "no key has this code";
  EXPECT_TRUE(keyboard.post({0x24, true, kEventFlagMaskAlphaShift | kEventFlagMaskSecondaryFn}));
  EXPECT_THAT(recorded.events, ElementsAre(std::to_string(KEY_ENTER) + " down", "syn")) << "caps lock and fn are not held";

  EXPECT_THAT(modifierKeys(kEventFlagMaskControl | kEventFlagMaskAlternate), ElementsAre(KEY_LEFTCTRL, KEY_LEFTALT));
  EXPECT_EQ(linuxKeyCode(0x00), KEY_A);
  EXPECT_EQ(linuxKeyCode(0x7E), KEY_UP);
}

TEST(UinputKeyboardTest, ADeviceThatCannotBeMadeIsTriedAgain) {
  auto device = std::make_unique<RecordingDevice>();
  RecordingDevice& recorded = *device;
  recorded.creatable = false;
  UinputKeyboard keyboard(std::move(device));
  EXPECT_FALSE(keyboard.post({0x00, true, 0}));
  recorded.creatable = true;
  EXPECT_TRUE(keyboard.post({0x00, true, 0}));
  EXPECT_EQ(recorded.creations, 2);
  EXPECT_EQ(recorded.events.size(), 2u);
}

// One real key pair through /dev/uinput, read back from the device's event node.
TEST(UinputKeyboardTest, RealDeviceDeliversOneKeyPair) {
  if (::access("/dev/uinput", W_OK) != 0) GTEST_SKIP() << "/dev/uinput is missing or not writable here";
  auto device = std::make_unique<DevUinputDevice>(DevUinputDevice::Options{"/dev/uinput", "Trellis test keyboard", 300ms});
  DevUinputDevice& real = *device;
  UinputKeyboard keyboard(std::move(device));
  ASSERT_TRUE(keyboard.post({0x3C, false, 0})) << "a first event makes the device";  // right shift up: harmless
  std::optional<std::string> name = real.sysName();
  ASSERT_TRUE(name.has_value());
  std::string node;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/devices/virtual/input/" + *name)) {
    if (entry.path().filename().string().starts_with("event")) node = "/dev/input/" + entry.path().filename().string();
  }
  if (node.empty() || ::access(node.c_str(), R_OK) != 0) GTEST_SKIP() << "no readable event node for " << *name;
  int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);

  ASSERT_TRUE(keyboard.post({0x00, true, kEventFlagMaskShift}));
  ASSERT_TRUE(keyboard.post({0x00, false, kEventFlagMaskNonCoalesced}));
  std::vector<std::string> keys;
  auto deadline = std::chrono::steady_clock::now() + 2s;
  while (keys.size() < 4 && std::chrono::steady_clock::now() < deadline) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 100) <= 0) continue;
    input_event event {};
    while (::read(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event)) {
      if (event.type == EV_KEY) keys.push_back(std::to_string(event.code) + (event.value ? " down" : " up"));
    }
  }
  ::close(fd);
  const std::string shift = std::to_string(KEY_LEFTSHIFT), a = std::to_string(KEY_A);
  EXPECT_THAT(keys, ElementsAre(shift + " down", a + " down", shift + " up", a + " up"));
}

}  // namespace
}  // namespace trellis::lnx
