// The Linux desktop services (processes answered from a table) and the rating prompt: thresholds,
// the scheduled request, the review window in two time zones, the notification on a private bus.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/linux/desktop/notification_rating.h"
#include "platform/linux/desktop/privacy.h"
#include "platform/linux/desktop/resource_folder.h"
#include "platform/linux/desktop/script_host.h"
#include "platform/linux/desktop/uinput_keyboard.h"
#include "platform/linux/desktop/user_interface.h"
#include "platform/linux/desktop/window_list.h"
#include "platform/linux/desktop/workspace.h"
#include "support/desktop_fakes.h"
#include "support/manual_run_loop.h"
#include "support/memory_preferences.h"
#include "support/private_bus.h"
#include "support/temp_tree.h"
#include "tools/date_with_format.h"
#include "tools/kw_rating.h"

namespace trellis::lnx {
namespace {

using ::testing::ElementsAre;
using ::testing::Optional;
using namespace std::chrono_literals;
using Runner = testing::TableProcessRunner;

const std::string kFixtures = std::string(TRELLIS_TEST_FIXTURES) + "/desktop";

EnvironmentLookup environmentOf(std::map<std::string, std::string, std::less<>> values) {
  return [values = std::move(values)](std::string_view name) -> std::optional<std::string> {
    auto it = values.find(name);
    return it == values.end() ? std::nullopt : std::optional(it->second);
  };
}

ProcessResult exited(int code, std::string output = "", std::string errors = "") {
  return ProcessResult{code, std::move(output), std::move(errors)};
}

TEST(XpropWindowListTest, ReadsNamesOwnersAndPanelsOfTheWindowsOnScreen) {
  Runner runner;
  const std::string root = Runner::key("/usr/bin/xprop", {"-root", "-notype", "-f", "_NET_CLIENT_LIST", "32x", "-f",
                                                          "_NET_CURRENT_DESKTOP", "32c", "_NET_CLIENT_LIST",
                                                          "_NET_CURRENT_DESKTOP"});
  const auto window = [](const std::string& id) {
    return Runner::key("/usr/bin/xprop", {"-id", id, "-notype", "-f", "_NET_WM_NAME", "8u", "-f", "WM_NAME", "8s", "-f",
                                          "_NET_WM_PID", "32c", "-f", "_NET_WM_DESKTOP", "32c", "-f",
                                          "_NET_WM_WINDOW_TYPE", "32a", "-f", "_NET_WM_STATE", "32a", "_NET_WM_NAME",
                                          "WM_NAME", "_NET_WM_PID", "_NET_WM_DESKTOP", "_NET_WM_WINDOW_TYPE",
                                          "_NET_WM_STATE"});
  };
  runner.answers[root] = exited(0, "_NET_CLIENT_LIST = window id # 0x1, 0x2, 0x3, 0x4, 0x5, 0x6\n_NET_CURRENT_DESKTOP = 1\n");
  runner.answers[window("0x1")] = exited(0,
      "_NET_WM_NAME = \"Gr\\303\\274\\303\\237e \\\"x\\\" \\\\ y\"\nWM_NAME = \"old\"\n_NET_WM_PID = 4242\n"
      "_NET_WM_DESKTOP = 1\n_NET_WM_WINDOW_TYPE = _NET_WM_WINDOW_TYPE_NORMAL\n_NET_WM_STATE:  not found.\n");
  runner.answers[window("0x2")] = exited(0, "_NET_WM_NAME:  not found.\nWM_NAME = \"\"\n_NET_WM_DESKTOP = 4294967295\n");
  runner.answers[window("0x3")] = exited(0, "WM_NAME = \"minimised\"\n_NET_WM_STATE = _NET_WM_STATE_ABOVE, _NET_WM_STATE_HIDDEN\n");
  runner.answers[window("0x4")] = exited(0, "WM_NAME = \"elsewhere\"\n_NET_WM_DESKTOP = 0\n");
  runner.answers[window("0x5")] = exited(0, "WM_NAME = \"panel\"\n_NET_WM_PID = 7\n_NET_WM_WINDOW_TYPE = _NET_WM_WINDOW_TYPE_DOCK\n");
  // 0x6 went away before it was asked about: not in the table.
  XpropWindowList list("/usr/bin/xprop", runner);
  std::string seen;
  for (const ScreenWindow& w : list.list().value_or(std::vector<ScreenWindow>{})) {
    seen += w.name.value_or("(none)") + "|" + std::to_string(w.ownerPid.value_or(0)) + (w.isDockOrPanel ? "|panel\n" : "\n");
  }
  EXPECT_EQ(seen, "Gr\xc3\xbc\xc3\x9f" "e \"x\" \\ y|4242\n|0\npanel|7|panel\n");
  runner.answers[root] = exited(0, "_NET_CLIENT_LIST:  no such atom on any window.\n");
  EXPECT_EQ(list.list(), std::nullopt) << "no window manager";
  runner.answers[root] = exited(1, "", "xprop: unable to open display ':9'\n");
  EXPECT_EQ(list.list(), std::nullopt);
}

TEST(LinuxPrivacyTest, ProbesFilesProcessesAndTheSessionKind) {
  testing::TempTree temp;
  const std::string device = temp.write("uinput", "");
  std::filesystem::create_directories(temp.path("proc/42"));
  std::filesystem::create_symlink("/usr/bin/gedit (deleted)", temp.path("proc/42/exe"));
  temp.write("proc/43/comm", "Xwayland\n");
  int listed = 0;
  auto make = [&](std::map<std::string, std::string, std::less<>> environment) {
    return LinuxPrivacyPlatform({device, temp.path("proc")}, environmentOf(std::move(environment)), [&listed] {
      ++listed;
      return std::optional(std::vector<ScreenWindow>{});
    });
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

TEST(XdgWorkspaceTest, FindsDesktopEntriesInOrderAndLaunchesThemAndSettingsPagesWithAHandlerOnly) {
  Runner runner;
  testing::RecordingLog log;
  testing::ServiceScope services;
  services.set(&Services::log, &log);
  const EnvironmentLookup environment =
      environmentOf({{"XDG_DATA_HOME", kFixtures + "/home"}, {"XDG_DATA_DIRS", kFixtures + "/system:relative"}});
  XdgWorkspace full(environment, {"/bin/xdg-open", "/bin/xdg-mime", "/bin/gio", "/bin/gtk-launch"}, runner);
  const std::string editor = kFixtures + "/home/applications/org.example.Editor.desktop";
  for (const auto& [id, found] : {std::pair{"org.example.Editor", editor},
                                  {"org.example.Viewer.desktop", kFixtures + "/system/applications/org.example.Viewer.desktop"},
                                  {"kde-org.example.Nested", kFixtures + "/system/applications/kde/org.example.Nested.desktop"}}) {
    EXPECT_THAT(full.urlForApplicationWithBundleIdentifier(id), Optional(found));
  }
  for (const char* absent : {"org.example.Gone", "org.example.Bookmark", "org.example.Missing",
                             "../home/applications/org.example.Editor", "kde/org.example.Nested", ".hidden", "x-..-y"}) {
    EXPECT_EQ(full.urlForApplicationWithBundleIdentifier(absent), std::nullopt) << absent;
  }

  const std::string screen = "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";
  const std::string accessibility = "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
  runner.answers["/bin/gio launch " + editor] = exited(0);
  runner.answers["/bin/gtk-launch org.example.Editor"] = exited(1);
  runner.answers["/bin/xdg-open https://example.org/"] = exited(0);
  runner.answers["/bin/xdg-mime query default x-scheme-handler/settings"] = exited(0, "\n");
  runner.answers["/bin/xdg-open settings://security/privacy"] = exited(0);
  XdgWorkspace noGio(environment, {"/bin/xdg-open", "/bin/xdg-mime", std::nullopt, "/bin/gtk-launch"}, runner);
  EXPECT_TRUE(full.openURL(editor));
  EXPECT_FALSE(noGio.openURL(editor)) << "gtk-launch exited 1";
  EXPECT_TRUE(full.openURL("https://example.org/"));
  EXPECT_FALSE(full.openURL(screen)) << "no handler for settings:// on this desktop";
  runner.answers["/bin/xdg-mime query default x-scheme-handler/settings"] = exited(0, "io.elementary.settings.desktop\n");
  EXPECT_TRUE(full.openURL(screen));
  EXPECT_FALSE(full.openURL(accessibility));
  for (const ProcessRequest& request : runner.requests) {
    EXPECT_EQ(request.discardOutput, request.arguments.front() != "query") << request.path;
  }
  EXPECT_EQ(runner.commands().back(), "/bin/xdg-open settings://security/privacy");
  EXPECT_THAT(log.lines(), ElementsAre("no settings page on this desktop for " + screen,
                                       "no settings page on this desktop for " + accessibility));
}

TEST(UserInterfaceTest, ZenityAnswersMapToButtonsAndTheHeadlessOneCancelsAndLogs) {
  testing::ManualRunLoop loop;
  testing::RecordingLog log;
  testing::ServiceScope services;
  services.set(&Services::runLoop, &loop).set(&Services::log, &log);
  Runner runner;
  ZenityUserInterface zenity("/usr/bin/zenity", runner);
  const AlertRequest alert{AlertStyle::kCritical, "Kind tips", "Install first", {"Install", "Cancel", "Later"}};
  const std::string question = Runner::key(
      "/usr/bin/zenity", {"--question", "--no-markup", "--icon-name=dialog-error", "--title=Kind tips",
                          "--text=Install first", "--ok-label=Install", "--cancel-label=Cancel", "--extra-button=Later"});
  const std::pair<std::optional<ProcessResult>, int> answers[] = {
      {exited(0), 1000},  {exited(1), 1001},   {exited(1, "Later\n"), 1002},          {exited(5), 1002},
      {exited(255), 1002}, {std::nullopt, 1002}, {ProcessResult{std::nullopt, "", ""}, 1002}};
  for (const auto& [answer, button] : answers) {
    runner.answers.erase(question);
    if (answer) runner.answers[question] = *answer;
    EXPECT_EQ(zenity.runModal(alert), button);
  }
  runner.answers[Runner::key("/usr/bin/zenity", {"--info", "--no-markup", "--icon-name=dialog-warning", "--title=Done",
                                                 "--text=Done", "--ok-label=OK"})] = exited(0);
  EXPECT_EQ(zenity.runModal({AlertStyle::kWarning, "Done", "", {}}), 1000) << "no buttons: one OK";

  runner.answers["/usr/bin/zenity --file-selection --title=Pick --directory --filename=/home/u/Scripts/"] =
      exited(0, "/home/u/Scripts\n");
  std::vector<std::optional<std::string>> chosen;
  auto record = [&chosen](std::optional<std::string> path) { chosen.push_back(path); };
  zenity.beginOpenPanel({"/home/u/Scripts", false, true, "Install script", "Pick"}, record);
  zenity.beginOpenPanel({"", true, false, "Open", "Other"}, record);  // not in the table: cannot be shown
  EXPECT_TRUE(chosen.empty()) << "answers come on the main queue";
  zenity.showOverlay(OverlayStyle::kText, OverlayWindow::kFrontmost, "Install succeed");
  EXPECT_EQ(runner.commands().back(), "/usr/bin/zenity --notification --text=Install succeed");

  HeadlessUserInterface headless;
  EXPECT_EQ(headless.runModal(alert), 1002);
  headless.beginOpenPanel({"/home/u/Scripts", false, true, "Install script", "Pick"}, record);
  headless.showOverlay(OverlayStyle::kError, OverlayWindow::kLast, "Install failed");
  loop.runQueued();
  EXPECT_THAT(chosen, ElementsAre(Optional(std::string("/home/u/Scripts")), std::nullopt, std::nullopt));
  EXPECT_THAT(log.lines(), ElementsAre("no display for the alert \"Kind tips\" (Install first) [Install | Cancel | Later]: answered \"Later\"",
                                       "no display for the folder chooser \"Pick\" in /home/u/Scripts: cancelled",
                                       "no display for the message \"Install failed\""));
}

TEST(ResourceFolderTest, LanguagesFromTheEnvironmentTablesWithFallbacksAndShippedTranslations) {
  const std::pair<std::map<std::string, std::string, std::less<>>, std::vector<std::string>> cases[] = {
      {{{"LANG", "de_AT.UTF-8"}}, {"de_AT", "de"}},
      {{{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "fr_FR.UTF-8"}}, {"fr_FR", "fr"}},
      {{{"LC_ALL", "zh_CN.UTF-8@pinyin"}, {"LC_MESSAGES", "fr_FR"}}, {"zh_CN", "zh"}},
      {{{"LANGUAGE", "pt_BR:de"}, {"LANG", "de_DE.UTF-8"}}, {"pt_BR", "pt", "de", "de_DE"}},
      {{{"LANGUAGE", "de"}, {"LANG", "C.UTF-8"}}, {}},
      {{}, {}},
  };
  for (const auto& [environment, languages] : cases) {
    EXPECT_EQ(ResourceFolder::preferredLanguages(environmentOf(environment)), languages);
  }
  ResourceFolder austrian(kFixtures + "/resources", {"fr", "de_AT", "de"});
  // {table, key, text}: the next language fills the gaps; tables are separate; an empty text or a
  // missing language gives the key.
  for (const auto& [table, key, text] : {std::tuple{"Localizable", "Kind tips", "Servus"},
                                         {"Localizable", "Cancel", "Abbrechen"}, {"KwAppleScript", "Install", "Installieren"},
                                         {"Localizable", "Install", "Install"}, {"Localizable", "Empty", "Empty"}}) {
    EXPECT_EQ(austrian.localizedString(key, table), text) << table << " " << key;
  }
  EXPECT_EQ(ResourceFolder(kFixtures + "/resources", {}).localizedString("Kind tips", "Localizable"), "Kind tips");
  EXPECT_THAT(austrian.pathForResource("tool.scpt"), Optional(kFixtures + "/resources/tool.scpt"));
  for (const char* absent : {"missing.scpt", "locale", "locale/de.json", "../resources/tool.scpt", ""}) {
    EXPECT_EQ(austrian.pathForResource(absent), std::nullopt) << absent;
  }

  // Every shipped language translates every key (but the words English shares).
  const std::map<std::string, std::vector<std::string>> keys = {
      {"Localizable", {"Kind tips", "Accessibility Tips", "ScreenCapture Tips", "Full disk access Tips", "To Authorize"}},
      {"KwAppleScript", {"Kind tips", "Install first", "Install error path", "Reselect", "Install script",
                         "Install script in current folder", "Install succeed", "Install failed",
                         "Script task creation failed"}}};
  const std::string share = std::string(TRELLIS_TEST_FIXTURES) + "/../../share";
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(share + "/locale")) {
    ResourceFolder folder(share, {entry.path().stem().string()});
    for (const auto& [table, names] : keys) {
      for (const std::string& key : names) EXPECT_NE(folder.localizedString(key, table), key) << entry.path() << key;
    }
    ++files;
  }
  EXPECT_GE(files, 1);
}

TEST(ScriptOutputTest, OutputBecomesTheResultDescriptor) {
  const std::pair<const char*, const char*> cases[] = {
      {"two\nlines\n\n", R"({"type":"utxt","value":"two\nlines\n"})"},
      {"2.5", R"({"type":"doub","value":2.5})"},
      {"[true, \"a\"]", R"({"items":[{"type":"bool","value":true},{"type":"utxt","value":"a"}],"type":"list"})"},
      {"{\"a\": null}", R"({"fields":{"a":{"type":"null","value":null}},"type":"reco"})"},
      {"{\"type\": \"long\", \"value\": 7}", R"({"type":"long","value":7})"},
      {"{\"type\": \"longer\"}", R"({"fields":{"type":{"type":"utxt","value":"longer"}},"type":"reco"})"},
      {"\n", R"({"type":"utxt","value":""})"},
      {"", "none"},
  };
  for (const auto& [output, json] : cases) {
    const std::optional<EventDescriptor> result = scriptResultFromOutput(output);
    EXPECT_EQ(result ? toJson(result->tree()).dump() : "none", json) << output;
  }
}

// Records what the keyboard writes; can refuse to be made.
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

TEST(UinputKeyboardTest, HoldsTheFlagsModifiersForTheKeyDownOnlyAndMakesTheDeviceUntilItIsMade) {
  auto device = std::make_unique<RecordingDevice>();
  RecordingDevice& recorded = *device;
  recorded.creatable = false;
  UinputKeyboard keyboard(std::move(device));
  EXPECT_FALSE(keyboard.post({0x09, true, kEventFlagMaskCommand}));
  recorded.creatable = true;
  // Command-shift-V down, then V up with only the non-coalesced flag.
  EXPECT_TRUE(keyboard.post({0x09, true, kEventFlagMaskCommand | kEventFlagMaskShift | kEventFlagMaskNonCoalesced}));
  EXPECT_TRUE(keyboard.post({0x09, false, kEventFlagMaskNonCoalesced}));
  EXPECT_FALSE(keyboard.post({0x34, true, 0})) << "no key has this code";
  EXPECT_TRUE(keyboard.post({0x24, true, kEventFlagMaskAlphaShift | kEventFlagMaskSecondaryFn}));  // not held
  const std::string shift = std::to_string(KEY_LEFTSHIFT), meta = std::to_string(KEY_LEFTMETA), v = std::to_string(KEY_V);
  EXPECT_THAT(recorded.events, ElementsAre(shift + " down", "syn", meta + " down", "syn", v + " down", "syn", meta + " up",
                                           "syn", shift + " up", "syn", v + " up", "syn", std::to_string(KEY_ENTER) + " down", "syn"));
  EXPECT_EQ(recorded.creations, 2);
  EXPECT_THAT(recorded.keys, ::testing::IsSupersetOf({KEY_A, KEY_V, KEY_ENTER, KEY_LEFTCTRL, KEY_LEFTALT, KEY_LEFTSHIFT, KEY_LEFTMETA}));
  EXPECT_THAT(modifierKeys(kEventFlagMaskControl | kEventFlagMaskAlternate), ElementsAre(KEY_LEFTCTRL, KEY_LEFTALT));
  EXPECT_EQ(linuxKeyCode(0x00), KEY_A);
  EXPECT_EQ(linuxKeyCode(0x7E), KEY_UP);
}

// One real key pair through /dev/uinput, read back from the device's event node.
TEST(UinputKeyboardTest, RealDeviceDeliversOneKeyPair) {
  if (::access("/dev/uinput", W_OK) != 0) GTEST_SKIP() << "/dev/uinput is missing or not writable here";
  auto device = std::make_unique<DevUinputDevice>(DevUinputDevice::Options{"/dev/uinput", "Trellis test keyboard", 300ms});
  DevUinputDevice& real = *device;
  UinputKeyboard keyboard(std::move(device));
  ASSERT_TRUE(keyboard.post({0x3C, false, 0})) << "a first event makes the device";  // right shift up: harmless
  ASSERT_TRUE(real.sysName().has_value());
  std::string node;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/devices/virtual/input/" + *real.sysName())) {
    if (entry.path().filename().string().starts_with("event")) node = "/dev/input/" + entry.path().filename().string();
  }
  const int fd = node.empty() ? -1 : ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) GTEST_SKIP() << "no readable event node for " << *real.sysName();
  ASSERT_TRUE(keyboard.post({0x00, true, kEventFlagMaskShift}));
  ASSERT_TRUE(keyboard.post({0x00, false, kEventFlagMaskNonCoalesced}));
  std::vector<std::string> keys;
  for (auto end = std::chrono::steady_clock::now() + 2s; keys.size() < 4 && std::chrono::steady_clock::now() < end;) {
    pollfd entry{fd, POLLIN, 0};
    input_event event{};
    if (::poll(&entry, 1, 100) <= 0) continue;
    while (::read(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event)) {
      if (event.type == EV_KEY) keys.push_back(std::to_string(event.code) + (event.value ? " down" : " up"));
    }
  }
  ::close(fd);
  const std::string shift = std::to_string(KEY_LEFTSHIFT), a = std::to_string(KEY_A);
  EXPECT_THAT(keys, ElementsAre(shift + " down", a + " down", shift + " up", a + " up"));
}

// --- The rating prompt ---------------------------------------------------------------------------

struct FakeQueue final : MainQueue {
  void dispatchAfter(std::chrono::nanoseconds delay, Task task) override { pending.push_back({delay, std::move(task)}); }
  std::vector<std::pair<std::chrono::nanoseconds, Task>> pending;
};

struct CountingRequester final : RatingRequester {
  void requestReview() override { ++requests; }
  int requests = 0;
};

class AppRatingTest : public ::testing::Test {
 protected:
  AppRatingTest() : defaults(storage) {
    environment.now = [this] { return now; };
    environment.mainQueue = &queue;
    environment.defaults = &defaults;
    environment.requester = &requester;
  }

  testing::MemoryStorage storage;
  KwUserDefaults defaults;
  FakeQueue queue;
  CountingRequester requester;
  KwTools::RatingEnvironment environment;
  double now = 1'800'000'000.0;
};

TEST_F(AppRatingTest, CountAgeAndLastRequestThresholds) {
  // A fresh installation stores its first launch, once, and a count of one.
  KwTools::showAppRating(environment);
  now += 5.0;
  KwTools::showAppRating(environment);
  EXPECT_EQ(defaults.doubleForKey(kAppRateFirstLaunchTimeKey), now - 5.0);
  EXPECT_EQ(defaults.integerForKey(kAppRateExecCountKey), 2);
  EXPECT_TRUE(queue.pending.empty());

  struct Row {
    const char* what;
    std::int64_t count;
    double age;      // seconds since the first launch
    double lastAgo;  // seconds since the last request; < 0: stored as 0.0
    bool schedules;
  } rows[] = {
      {"count 8 becomes 9 and stops", 8, 1e8, -1, false},
      {"count 9 goes on", 9, 1e8, -1, true},
      {"first launch 259,199 s ago stops", 9, 259'199.0, -1, false},
      {"first launch 259,200 s ago goes on", 9, 259'200.0, -1, true},
      {"last request 31,535,999 s ago blocks", 9, 1e8, 31'535'999.0, false},
      {"last request 31,536,000 s ago does not", 9, 1e8, 31'536'000.0, true},
      {"a large count", 1'000'000, 1e8, 1e9, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    queue.pending.clear();
    defaults.setDoubleForKey(now - row.age, kAppRateFirstLaunchTimeKey);
    defaults.setIntegerForKey(row.count, kAppRateExecCountKey);
    defaults.setDoubleForKey(row.lastAgo < 0 ? 0.0 : now - row.lastAgo, kAppRateLastShowTimeKey);
    KwTools::showAppRating(environment);
    EXPECT_EQ(defaults.integerForKey(kAppRateExecCountKey), row.count + 1) << "counted whatever follows";
    ASSERT_EQ(queue.pending.size(), row.schedules ? 1u : 0u);
    if (row.schedules) {
      EXPECT_EQ(queue.pending[0].first, 10'000'000'000ns);
    }
    EXPECT_EQ(requester.requests, 0) << "nothing is requested before the delay";
  }
}

TEST_F(AppRatingTest, TheScheduledRequestResetsTheCountAndStoresTheSchedulingTimePlusTen) {
  const double scheduledAt = now;
  defaults.setDoubleForKey(now - 1e6, kAppRateFirstLaunchTimeKey);
  defaults.setIntegerForKey(9, kAppRateExecCountKey);
  KwTools::showAppRating(environment);
  KwTools::showAppRating(environment);  // within the delay: schedules a second request
  ASSERT_EQ(queue.pending.size(), 2u);
  now += 123.0;  // the request uses the time captured when it was scheduled
  queue.pending[0].second();
  EXPECT_EQ(defaults.integerForKey(kAppRateExecCountKey), 0);
  EXPECT_EQ(defaults.doubleForKey(kAppRateLastShowTimeKey), scheduledAt + 10.0);
  EXPECT_EQ(requester.requests, 1);
}

TEST(RunLoopMainQueueTest, RunsATaskOnceAfterItsDelay) {
  testing::ManualRunLoop loop;
  RunLoopMainQueue queue(loop);
  int runs = 0;
  std::thread([&] { queue.dispatchAfter(10s, [&] { ++runs; }); }).join();  // any thread may ask
  queue.dispatchAfter(0s, [&] { runs += 100; });
  loop.advance(9'999'999us);
  EXPECT_EQ(runs, 100);
  loop.advance(1us);
  EXPECT_EQ(runs, 101);
  loop.advance(60s);
  EXPECT_EQ(runs, 101) << "a delayed call fires once";
}

// Sets an environment variable (TZ: the time zone) for one scope and restores its previous value.
class EnvironmentScope {
 public:
  EnvironmentScope(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    ::setenv(name, value, 1);
    ::tzset();
  }
  ~EnvironmentScope() {
    previous_ ? ::setenv(name_, previous_->c_str(), 1) : ::unsetenv(name_);
    ::tzset();
  }

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

TEST(ReviewWindowTest, IsAppleReviewInTwoTimeZones) {
  constexpr double kStartUtc = 1722416400.0;  // 2024-07-31 09:00:00 UTC
  constexpr double kEndUtc = 1722520800.0;    // 2024-08-01 14:00:00 UTC
  for (const auto& [tz, offset] : {std::pair{"UTC0", 0.0}, std::pair{"JST-9", 9 * 3600.0}}) {
    EnvironmentScope scope("TZ", tz);
    const double start = kStartUtc - offset, end = kEndUtc - offset;
    for (const auto& [at, inside] : {std::pair{start - 1, false}, {start, false}, {start + 1, true}, {end - 1, true},
                                     {end, false}, {end + 1, false}}) {
      KwTools::RatingEnvironment environment;
      environment.now = [moment = at] { return moment; };
      EXPECT_EQ(KwTools::isAppleReview(environment), inside) << tz << " " << std::fixed << at;
    }
  }
}

TEST(ReviewWindowTest, DateWithFormat) {
  EnvironmentScope scope("TZ", "JST-9");
  const double nine = 9 * 3600.0;
  const std::tuple<const char*, const char*, std::optional<double>> rows[] = {
      {"yyyy-MM-dd HH:mm:ss", "2024-07-31 09:00:00", 1722416400.0 - nine},
      {"yyyy-MM-dd HH:mm:ss", "2024-02-29 23:59:59", 1709251199.0 - nine},
      {"yyyy-M-d H:m:s", "2024-7-31 9:0:0", 1722416400.0 - nine},
      {"yyyy-MM-dd'T'HH:mm:ss.SSS", "2024-07-31T09:00:00.250", 1722416400.25 - nine},
      {"'at' yy/MM/dd '''x'''", "at 24/07/31 'x'", 1722384000.0 - nine},
      {"yyyy-MM-dd HH:mm:ss", "2024-7-31 09:00:00", std::nullopt},  // MM takes two digits
      {"yyyy-MM-dd HH:mm:ss", "2023-02-29 00:00:00", std::nullopt},  // no such day
      {"yyyy-MM-dd HH:mm:ss", "2024-04-31 00:00:00", std::nullopt},
      {"yyyy-MM-dd HH:mm:ss", "2024-13-01 00:00:00", std::nullopt},
      {"yyyy-MM-dd HH:mm:ss", "2024-07-31 24:00:00", std::nullopt},
      {"yyyy-MM-dd HH:mm:ss", "2024-07-31 09:60:00", std::nullopt},
      {"yyyy-MM-dd HH:mm:ss", "2024-07-31 09:00:00 ", std::nullopt},  // the whole text must match
      {"yyyy-MM-dd HH:mm:ss", "2024-07-31 09:00", std::nullopt},
      {"yyyy-MM-dd HH:mm:ss", "", std::nullopt},
      {"dd MMM yyyy", "31 Jul 2024", std::nullopt},           // month names are not read
      {"yyyy-MM-dd 'open", "2024-07-31 open", std::nullopt},  // unterminated quote
  };
  for (const auto& [format, text, utc] : rows) {
    const std::optional<Date> date = dateWithFormat(format, text);
    EXPECT_EQ(date ? std::optional(date->secondsSince1970) : std::nullopt, utc) << format << " | " << text;
  }
}

// A stand-in notification service on the private bus, served from its own thread; it records each
// call as one line of its arguments.
class FakeNotifications {
 public:
  explicit FakeNotifications(const std::string& address) {
    ok_ = sd_bus_new(&bus_) >= 0 && sd_bus_set_address(bus_, address.c_str()) >= 0 &&
          sd_bus_set_bus_client(bus_, 1) >= 0 && sd_bus_start(bus_) >= 0 &&
          sd_bus_add_object(bus_, nullptr, kNotificationsPath, &FakeNotifications::onCall, this) >= 0 &&
          sd_bus_request_name(bus_, kNotificationsService, 0) >= 0;
    if (ok_) thread_ = std::thread([this] {
        while (!stop_) {
          if (sd_bus_process(bus_, nullptr) == 0) sd_bus_wait(bus_, 20'000);
        }
      });
  }
  ~FakeNotifications() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    sd_bus_flush_close_unref(bus_);
  }
  bool ok() const { return ok_; }
  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  static int onCall(sd_bus_message* m, void* userdata, sd_bus_error*) {
    if (!sd_bus_message_is_method_call(m, kNotificationsInterface, "Notify")) return 0;
    auto* self = static_cast<FakeNotifications*>(userdata);
    const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
    std::uint32_t replaces = 99;
    std::int32_t timeout = 0;
    char** actions = nullptr;
    int actionCount = 0, hints = 0;
    sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
    sd_bus_message_read_strv(m, &actions);
    for (char** action = actions; action != nullptr && *action != nullptr; ++action, ++actionCount) free(*action);
    free(actions);
    sd_bus_message_enter_container(m, 'a', "{sv}");
    while (sd_bus_message_skip(m, "{sv}") > 0) ++hints;
    sd_bus_message_exit_container(m);
    sd_bus_message_read(m, "i", &timeout);
    std::string call = std::string(sd_bus_message_get_signature(m, 1)) + " " + app + "|" + std::to_string(replaces) +
                       "|" + icon + "|" + summary + "|" + body + "|" + std::to_string(actionCount) + " actions|" + std::to_string(hints) + " hints|" + std::to_string(timeout);
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->calls_.push_back(call);
    }
    return sd_bus_reply_method_return(m, "u", std::uint32_t{7});
  }

  sd_bus* bus_ = nullptr;
  bool ok_ = false;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

TEST(NotificationRatingTest, ANotificationWhenTheServiceIsPresentElseALogLine) {
  testing::RecordingLog log;
  testing::ServiceScope services;
  services.set(&Services::log, &log);
  const char* const kNoBus = "unix:path=/nonexistent/trellis-test-bus";
  EnvironmentScope session("DBUS_SESSION_BUS_ADDRESS", kNoBus);  // the private bus sets it, then unsets it
  NotificationRatingRequester requester;
  const std::string line = std::string("rating request: ") + kRatingSummary + " " + kRatingBody +
                           " (no desktop notification: ";
  {
    testing::PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    requester.requestReview();  // a bus, but no notification service on it
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_THAT(log.lines()[0], ::testing::StartsWith(line));
    EXPECT_EQ(requester.lastNotificationId(), 0u);

    FakeNotifications service(bus.address());
    ASSERT_TRUE(service.ok());
    requester.requestReview();
    EXPECT_EQ(log.lines().size(), 1u) << "no log line when the notification went out";
    EXPECT_EQ(requester.lastNotificationId(), 7u);
    EXPECT_THAT(service.calls(), ::testing::ElementsAre(std::string("susssasa{sv}i trellis|0||") + kRatingSummary +
                                                        "|" + kRatingBody + "|0 actions|0 hints|-1"));
  }
  ::setenv("DBUS_SESSION_BUS_ADDRESS", kNoBus, 1);
  requester.requestReview();  // no bus at all
  ASSERT_EQ(log.lines().size(), 2u);
  EXPECT_THAT(log.lines()[1], ::testing::StartsWith(line + "no session bus: "));
}

}  // namespace
}  // namespace trellis::lnx
