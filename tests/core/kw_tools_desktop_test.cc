// KwTools' desktop operations over fakes of every desktop service: the permission request flows,
// the screen-capture and full-disk-access probes, the key press and the application launch; the
// steps that must come in order go to one journal. Single-threaded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/services.h"
#include "support/desktop_fakes.h"
#include "tools/kw_tools.h"

namespace trellis {
namespace {

using ::testing::ElementsAre;
using Strings = std::vector<std::string>;

const std::string kSettings = "x-apple.systempreferences:com.apple.preference.security?Privacy_";

class DesktopToolsTest : public ::testing::Test {
 protected:
  testing::Journal journal;
  testing::ScriptedUserInterface ui{journal};
  testing::FakePrivacyPlatform platform{journal};
  testing::FakeWorkspace workspace{journal};
  testing::RecordingKeyPoster poster{journal};
  testing::FakeBundle bundle;
  ScopedServices services{[this](Services& s) {
    s.userInterface = &ui;
    s.privacy = &platform;
    s.workspace = &workspace;
    s.keyEvents = &poster;
    s.resources = &bundle;
  }};
};

TEST_F(DesktopToolsTest, RequestsShowNothingWhenGrantedAndActOnlyOnTheFirstButton) {
  const std::tuple<void (*)(), const char*, std::string> requests[] = {
      {&KwTools::requestPrivacyAccessibility, "Accessibility Tips", "Accessibility"},
      {&KwTools::requestScreenCapture, "ScreenCapture Tips", "ScreenCapture"},
      {&KwTools::requestFullDiskAccess, "Full disk access Tips", "AllFiles"}};
  for (const auto& [request, tips, page] : requests) {
    SCOPED_TRACE(tips);
    // Granted: each permission's own probe answers yes.
    platform.trusted = true;
    platform.windows = std::vector<ScreenWindow>{{"Editor", 7, false}};
    platform.applications = {{7, "gedit"}};
    platform.readable = {"/Users/process/Library/Safari/CloudTabs.db"};
    journal.clear();
    request();
    EXPECT_TRUE(journal.empty()) << ::testing::PrintToString(journal);

    platform.trusted = false;
    platform.windows.reset();
    platform.readable.clear();
    ui.alertAnswers = {kAlertFirstButtonReturn + 1};  // "Cancel": no platform prompt, no page
    request();
    ui.alertAnswers = {kAlertFirstButtonReturn};
    request();
    Strings expected = {"activate", std::string("alert ") + tips, "activate", std::string("alert ") + tips};
    if (page == "Accessibility") expected.push_back("prompt");
    expected.push_back("open " + kSettings + page);
    EXPECT_EQ(journal, expected);
    EXPECT_EQ(ui.alerts.back().style, AlertStyle::kWarning);
    EXPECT_EQ(ui.alerts.back().messageText, "Kind tips");
    EXPECT_THAT(ui.alerts.back().buttons, ElementsAre("To Authorize", "Cancel"));
  }
  // The texts come from the default string table.
  bundle.translations = {{{"Localizable", "Kind tips"}, "Hinweis"},
                         {{"Localizable", "Accessibility Tips"}, "Bitte erlauben"},
                         {{"Localizable", "Cancel"}, "Abbrechen"},
                         {{"KwAppleScript", "To Authorize"}, "wrong table"}};
  KwTools::requestPrivacyAccessibility();
  EXPECT_EQ(ui.alerts.back().messageText, "Hinweis");
  EXPECT_EQ(ui.alerts.back().informativeText, "Bitte erlauben");
  EXPECT_THAT(ui.alerts.back().buttons, ElementsAre("To Authorize", "Abbrechen"));
}

TEST_F(DesktopToolsTest, ScreenCaptureNeedsANamedWindowOfAnotherRunningApplication) {
  const std::int64_t own = platform.pid;
  using Windows = std::vector<ScreenWindow>;
  const std::pair<std::optional<Windows>, bool> rows[] = {
      {std::nullopt, false},
      {Windows{}, false},
      {Windows{{"Trellis", own, false}, {"Dock", 2, false}}, false},  // its own, and the dock's
      {Windows{{"Trellis", own, false}, {"Editor", 7, false}}, true},
      {Windows{{"", 7, false}, {std::nullopt, 7, false}}, false},  // no name
      {Windows{{"Ghost", 99, false}, {"Ghost", std::nullopt, false}}, false},  // not running, not known
      {Windows{{"Top Bar", 7, true}}, false},  // a panel
      {Windows{{"Top Bar", 7, true}, {"Editor", 7, false}}, true},
  };
  platform.applications = {{own, "trellis"}, {2, "Dock"}, {7, "gedit"}};
  for (const auto& [windows, expected] : rows) {
    platform.windows = windows;
    EXPECT_EQ(KwTools::getScreenCaptureState(), expected) << windows.value_or(Windows{}).size();
  }
  platform.restricts = false;
  platform.windows.reset();
  EXPECT_TRUE(KwTools::getScreenCaptureState()) << "a system without the restriction";
}

TEST_F(DesktopToolsTest, FullDiskAccessStopsAtTheFirstReadableProbeUnderTheRightHome) {
  const Strings absolute = {"/Library/Application Support/com.apple.TCC/TCC.db",
                            "/Library/Preferences/com.apple.TimeMachine.plist", "/etc/shadow", "/root"};
  platform.readable = {"/Users/process/Library/Safari/Bookmarks.plist", "/etc/shadow"};
  EXPECT_TRUE(KwTools::getFullDiskAccessState());
  EXPECT_EQ(platform.opened,
            (Strings{"/Users/process/Library/Safari/CloudTabs.db", "/Users/process/Library/Safari/Bookmarks.plist"}));
  platform.readable = {"/etc/shadow"};
  platform.opened.clear();
  EXPECT_TRUE(KwTools::getFullDiskAccessState());
  EXPECT_EQ(platform.opened.size(), 5u);

  // In a sandbox the home folder is the account record's; without a record only the absolute
  // probes are tried.
  platform.readable.clear();
  for (const char* variable : {"APP_SANDBOX_CONTAINER_ID", "FLATPAK_ID"}) {
    platform.environment = {{variable, "org.example"}};
    platform.accountHome = "/home/account//";
    platform.opened.clear();
    EXPECT_FALSE(KwTools::getFullDiskAccessState());
    Strings expected = {"/home/account/Library/Safari/CloudTabs.db", "/home/account/Library/Safari/Bookmarks.plist"};
    expected.insert(expected.end(), absolute.begin(), absolute.end());
    EXPECT_EQ(platform.opened, expected) << variable;
    platform.accountHome.reset();
    platform.opened.clear();
    EXPECT_FALSE(KwTools::getFullDiskAccessState());
    EXPECT_EQ(platform.opened, absolute) << variable;
  }
}

TEST_F(DesktopToolsTest, AKeyPressPostsDownWithTheFlagsThenUpWithOnlyTheNonCoalescedFlag) {
  const std::uint64_t flags = kEventFlagMaskCommand | kEventFlagMaskShift;
  const std::vector<KeyboardEvent> pair = {{0x09, true, flags}, {0x09, false, kEventFlagMaskNonCoalesced}};
  platform.trusted = true;
  EXPECT_TRUE(KwTools::pressKey(0x09, flags));
  EXPECT_EQ(poster.events, pair);
  EXPECT_THAT(journal, ElementsAre("prompt", "key down", "key up"));  // trust asked with the prompt

  // Untrusted: the alert; "To Authorize" still posts the pair, then opens the settings page.
  platform.trusted = false;
  poster.events.clear();
  journal.clear();
  EXPECT_FALSE(KwTools::pressKey(0x09, flags));
  ui.alertAnswers = {kAlertFirstButtonReturn};
  EXPECT_FALSE(KwTools::pressKey(0x09, flags));
  EXPECT_EQ(poster.events, pair);
  EXPECT_THAT(journal, ElementsAre("prompt", "activate", "alert Accessibility Tips", "prompt", "activate",
                                   "alert Accessibility Tips", "key down", "key up", "open " + kSettings + "Accessibility"));
}

TEST_F(DesktopToolsTest, OpenAppAsksTheWorkspaceOnlyForANonEmptyText) {
  workspace.applications = {{"org.gnome.Calculator", "/usr/share/applications/org.gnome.Calculator.desktop"}};
  for (const Value& none : {Value(42), Value(""), Value(), Value("org.example.Missing")}) {
    EXPECT_FALSE(KwTools::openAppWithBundleId(none));
  }
  EXPECT_EQ(workspace.lookedUp, Strings{"org.example.Missing"});
  EXPECT_TRUE(KwTools::openAppWithBundleId(Value("org.gnome.Calculator")));
  workspace.opens = false;
  EXPECT_FALSE(KwTools::openAppWithBundleId(Value("org.gnome.Calculator")));
  EXPECT_THAT(journal, ElementsAre("open /usr/share/applications/org.gnome.Calculator.desktop",
                                   "open /usr/share/applications/org.gnome.Calculator.desktop"));
}

}  // namespace
}  // namespace trellis
