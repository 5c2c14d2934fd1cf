// KwTools' desktop operations over fakes of every desktop service: the permission request flows,
// the screen-capture and full-disk-access probes, the key press and the application launch.
// Single-threaded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/desktop_fakes.h"
#include "support/service_setters.h"
#include "tools/kw_tools.h"

namespace trellis {
namespace {

using ::testing::ElementsAre;
using testing::Journal;

constexpr std::string_view kAccessibilityPage =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";

class DesktopToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::setService(&Services::userInterface, &ui);
    testing::setService(&Services::privacy, &platform);
    testing::setService(&Services::workspace, &workspace);
    testing::setService(&Services::keyEvents, &poster);
    testing::setService(&Services::resources, &bundle);
  }
  void TearDown() override {
    testing::setService(&Services::userInterface, nullptr);
    testing::setService(&Services::privacy, nullptr);
    testing::setService(&Services::workspace, nullptr);
    testing::setService(&Services::keyEvents, nullptr);
    testing::setService(&Services::resources, nullptr);
  }

  Journal journal;
  testing::ScriptedUserInterface ui{journal};
  testing::FakePrivacyPlatform platform{journal};
  testing::FakeWorkspace workspace{journal};
  testing::RecordingKeyPoster poster{journal};
  testing::FakeBundle bundle;
};

struct RequestCase {
  PrivacyPermission permission;
  void (*request)();
  const char* tips;
  const char* page;
};

const RequestCase kRequests[] = {
    {PrivacyPermission::kAccessibility, &KwTools::requestPrivacyAccessibility, "Accessibility Tips",
     "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility"},
    {PrivacyPermission::kScreenCapture, &KwTools::requestScreenCapture, "ScreenCapture Tips",
     "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture"},
    {PrivacyPermission::kFullDiskAccess, &KwTools::requestFullDiskAccess, "Full disk access Tips",
     "x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles"},
};

TEST_F(DesktopToolsTest, RequestsShowNothingWhenGrantedAndActOnlyOnTheFirstButton) {
  for (const RequestCase& c : kRequests) {
    SCOPED_TRACE(c.tips);
    const bool accessibility = c.permission == PrivacyPermission::kAccessibility;

    // Granted: each permission's own probe answers yes.
    platform.trusted = true;
    platform.windows = std::vector<ScreenWindow>{{"Editor", 7, false}};
    platform.applications = {{7, "gedit"}};
    platform.readable = {"/Users/process/Library/Safari/CloudTabs.db"};
    journal.clear();
    c.request();
    EXPECT_TRUE(journal.empty()) << ::testing::PrintToString(journal);

    platform.trusted = false;
    platform.windows.reset();
    platform.readable.clear();
    journal.clear();
    ui.alertAnswers = {kAlertFirstButtonReturn + 1};  // "Cancel": no platform prompt, no page
    c.request();
    EXPECT_THAT(journal, ElementsAre("activate", std::string("alert ") + c.tips));

    journal.clear();
    ui.alertAnswers = {kAlertFirstButtonReturn};
    c.request();
    std::vector<std::string> expected = {"activate", std::string("alert ") + c.tips};
    if (accessibility) expected.push_back("prompt");
    expected.push_back(std::string("open ") + c.page);
    EXPECT_EQ(journal, expected);

    const AlertRequest& alert = ui.alerts.back();
    EXPECT_EQ(alert.style, AlertStyle::kWarning);
    EXPECT_EQ(alert.messageText, "Kind tips");
    EXPECT_THAT(alert.buttons, ElementsAre("To Authorize", "Cancel"));
  }
}

TEST_F(DesktopToolsTest, AlertTextsComeFromTheDefaultStringTable) {
  bundle.translations = {{{"Localizable", "Kind tips"}, "Hinweis"},
                         {{"Localizable", "Accessibility Tips"}, "Bitte erlauben"},
                         {{"KwAppleScript", "Cancel"}, "wrong table"}};
  KwTools::requestPrivacyAccessibility();
  ASSERT_EQ(ui.alerts.size(), 1u);
  EXPECT_EQ(ui.alerts[0].messageText, "Hinweis");
  EXPECT_EQ(ui.alerts[0].informativeText, "Bitte erlauben");
  EXPECT_THAT(ui.alerts[0].buttons, ElementsAre("To Authorize", "Cancel"));
}

TEST_F(DesktopToolsTest, ScreenCaptureNeedsANamedWindowOfAnotherRunningApplication) {
  const std::int64_t own = platform.pid;
  struct Case {
    const char* what;
    std::optional<std::vector<ScreenWindow>> windows;
    bool expected;
  };
  const Case cases[] = {
      {"no list", std::nullopt, false},
      {"empty list", std::vector<ScreenWindow>{}, false},
      {"own and the dock's windows", std::vector<ScreenWindow>{{"Trellis", own, false}, {"Dock", 2, false}}, false},
      {"another application's named window", std::vector<ScreenWindow>{{"Trellis", own, false}, {"Editor", 7, false}}, true},
      {"an empty name", std::vector<ScreenWindow>{{"", 7, false}}, false},
      {"no name", std::vector<ScreenWindow>{{std::nullopt, 7, false}}, false},
      {"an owner that is not running", std::vector<ScreenWindow>{{"Ghost", 99, false}}, false},
      {"an owner that is not known", std::vector<ScreenWindow>{{"Ghost", std::nullopt, false}}, false},
      {"a panel", std::vector<ScreenWindow>{{"Top Bar", 7, true}}, false},
      {"a panel, then a window", std::vector<ScreenWindow>{{"Top Bar", 7, true}, {"Editor", 7, false}}, true},
  };
  platform.applications = {{own, "trellis"}, {2, "Dock"}, {7, "gedit"}};
  for (const Case& c : cases) {
    platform.windows = c.windows;
    EXPECT_EQ(KwTools::getScreenCaptureState(), c.expected) << c.what;
  }
  platform.restricts = false;
  platform.windows.reset();
  EXPECT_TRUE(KwTools::getScreenCaptureState()) << "a system without the restriction";
}

TEST_F(DesktopToolsTest, FullDiskAccessStopsAtTheFirstReadableProbe) {
  platform.readable = {"/Users/process/Library/Safari/Bookmarks.plist", "/etc/shadow"};
  EXPECT_TRUE(KwTools::getFullDiskAccessState());
  EXPECT_THAT(platform.opened, ElementsAre("/Users/process/Library/Safari/CloudTabs.db",
                                           "/Users/process/Library/Safari/Bookmarks.plist"));

  platform.readable = {};
  platform.opened.clear();
  EXPECT_FALSE(KwTools::getFullDiskAccessState());
  EXPECT_THAT(platform.opened,
              ElementsAre("/Users/process/Library/Safari/CloudTabs.db", "/Users/process/Library/Safari/Bookmarks.plist",
                          "/Library/Application Support/com.apple.TCC/TCC.db",
                          "/Library/Preferences/com.apple.TimeMachine.plist", "/etc/shadow", "/root"));
}

TEST_F(DesktopToolsTest, InASandboxTheHomeFolderComesFromTheAccountRecord) {
  for (const char* variable : {"APP_SANDBOX_CONTAINER_ID", "FLATPAK_ID"}) {
    platform.environment = {{variable, "org.example"}};
    platform.accountHome = "/home/account/";
    platform.opened.clear();
    EXPECT_FALSE(KwTools::getFullDiskAccessState());
    EXPECT_EQ(platform.opened.front(), "/home/account/Library/Safari/CloudTabs.db") << variable;

    // Without an account record only the absolute probes are tried.
    platform.accountHome.reset();
    platform.opened.clear();
    EXPECT_FALSE(KwTools::getFullDiskAccessState());
    EXPECT_EQ(platform.opened.front(), "/Library/Application Support/com.apple.TCC/TCC.db") << variable;
  }
}

TEST_F(DesktopToolsTest, KeyPressPostsDownWithTheFlagsThenUpWithOnlyTheNonCoalescedFlag) {
  const std::uint64_t flags = kEventFlagMaskCommand | kEventFlagMaskShift;
  const std::vector<KeyboardEvent> pair = {{0x09, true, flags}, {0x09, false, kEventFlagMaskNonCoalesced}};

  platform.trusted = true;
  EXPECT_TRUE(KwTools::pressKey(0x09, flags));
  EXPECT_EQ(poster.events, pair);
  EXPECT_THAT(journal, ElementsAre("prompt", "key down", "key up"));  // trust asked with the prompt, no alert

  // Untrusted, "Cancel": the alert only.
  platform.trusted = false;
  poster.events.clear();
  journal.clear();
  EXPECT_FALSE(KwTools::pressKey(0x09, flags));
  EXPECT_TRUE(poster.events.empty());
  EXPECT_THAT(journal, ElementsAre("prompt", "activate", "alert Accessibility Tips"));

  // Untrusted, "To Authorize": the same pair, then the settings page; still false.
  journal.clear();
  ui.alertAnswers = {kAlertFirstButtonReturn};
  EXPECT_FALSE(KwTools::pressKey(0x09, flags));
  EXPECT_EQ(poster.events, pair);
  EXPECT_THAT(journal, ElementsAre("prompt", "activate", "alert Accessibility Tips", "key down", "key up",
                                   "open " + std::string(kAccessibilityPage)));
}

TEST_F(DesktopToolsTest, OpenAppAsksTheWorkspaceOnlyForANonEmptyText) {
  workspace.applications = {{"org.gnome.Calculator", "/usr/share/applications/org.gnome.Calculator.desktop"}};
  EXPECT_FALSE(KwTools::openAppWithBundleId(Value(42)));
  EXPECT_FALSE(KwTools::openAppWithBundleId(Value("")));
  EXPECT_FALSE(KwTools::openAppWithBundleId(Value()));
  EXPECT_TRUE(workspace.lookedUp.empty());

  EXPECT_FALSE(KwTools::openAppWithBundleId(Value("org.example.Missing")));
  EXPECT_TRUE(journal.empty()) << "nothing opened for an unknown identifier";

  EXPECT_TRUE(KwTools::openAppWithBundleId(Value("org.gnome.Calculator")));
  workspace.opens = false;
  EXPECT_FALSE(KwTools::openAppWithBundleId(Value("org.gnome.Calculator")));
  EXPECT_THAT(journal, ElementsAre("open /usr/share/applications/org.gnome.Calculator.desktop",
                                   "open /usr/share/applications/org.gnome.Calculator.desktop"));
}

}  // namespace
}  // namespace trellis
