// The registry rules of the notification manager, over the in-process centre and a manual loop.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "notify/kw_cf_notification_manager.h"
#include "platform/sim/in_process_center.h"
#include "support/manual_run_loop.h"

namespace trellis {
namespace {

using Strings = std::vector<std::string>;

struct Target {
  Target(std::string label, Strings* log) : label(std::move(label)), log(log) {}
  void first(const UserInfo& info) { log->push_back(label + ".first" + describe(info)); }
  void second(const UserInfo& info) { log->push_back(label + ".second" + describe(info)); }
  void plain() { log->push_back(label + ".plain"); }
  static std::string describe(const UserInfo& info) {
    if (!info) return "(none)";
    const Value* v = info->count("k") ? &info->at("k") : nullptr;
    return v && v->string() ? "(" + *v->string() + ")" : "(other)";
  }
  std::string label;
  Strings* log;
};

class NotificationManagerTest : public ::testing::Test {
 protected:
  std::shared_ptr<Target> target(const std::string& label) { return std::make_shared<Target>(label, &log); }
  // Delivers `name` and runs what the main queue then holds; what the handlers logged.
  Strings deliver(const std::string& name, std::optional<Dictionary> info = std::nullopt) {
    log.clear();
    center.deliver(name, std::nullopt, std::move(info));
    EXPECT_TRUE(log.empty()) << "handlers run from the main queue, not inside the delivery";
    loop.runQueued();
    return log;
  }

  testing::ManualRunLoop loop;
  sim::InProcessCenter center{loop};
  KwCFNotificationManager manager{center, loop};
  Strings log;
};

TEST_F(NotificationManagerTest, HandlersRunInRegistrationOrderForTheirExactNameOnly) {
  auto a = target("a");
  auto b = target("b");
  manager.addObserver(b, &Target::first, "N");
  manager.addObserver(a, &Target::first, "N");
  manager.addObserver(a, &Target::plain, "N");  // the same target again: one record, the last handler
  EXPECT_EQ(center.registrations("N"), 1);
  EXPECT_EQ(manager.observerDict().at("N").size(), 2u);
  EXPECT_EQ(deliver("N"), (Strings{"b.first(none)", "a.plain"}));
  EXPECT_EQ(deliver("N", Dictionary{{"k", "x"}}), (Strings{"b.first(x)", "a.plain"}));
  manager.addObserver(b, &Target::second, "NSNotificationNameToolPause");
  EXPECT_EQ(deliver("NSNotificationNameToolpause"), Strings{});
  EXPECT_EQ(deliver("nsnotificationnametoolpause"), Strings{});
  EXPECT_EQ(deliver("NSNotificationNameToolPause", Dictionary{{"k", "v"}}), Strings{"b.second(v)"});
}

TEST_F(NotificationManagerTest, RemovalsUnregisterWithTheLastRecordAndPurgeDestroyedTargets) {
  auto a = target("a");
  auto b = target("b");
  manager.addObserver(a, &Target::plain, "N");
  manager.addObserver(b, &Target::plain, "N");
  manager.removeObserver(a.get(), "N");
  EXPECT_TRUE(center.isRegistered("N"));
  manager.removeObserver(b.get(), "N");
  EXPECT_FALSE(center.isRegistered("N"));
  EXPECT_EQ(manager.observerDict().count("N"), 0u);
  EXPECT_EQ(deliver("N"), Strings{});
  manager.addObserver(a, &Target::plain, "N");
  EXPECT_EQ(center.registrations("N"), 2);
  EXPECT_EQ(deliver("N"), Strings{"a.plain"});

  // Records of destroyed targets wait for the next removal.
  auto gone = target("gone");
  manager.addObserver(gone, &Target::plain, "N");
  gone.reset();
  EXPECT_EQ(manager.observerDict().at("N").size(), 2u);
  manager.removeObserver(a.get(), "N");
  EXPECT_EQ(manager.observerDict().count("N"), 0u);
  EXPECT_FALSE(center.isRegistered("N"));

  // From every name at once, and everything.
  manager.addObserver(a, &Target::plain, "N1");
  manager.addObserver(a, &Target::plain, "N2");
  manager.addObserver(b, &Target::plain, "N2");
  manager.removeObserver(a.get());
  EXPECT_FALSE(center.isRegistered("N1"));
  EXPECT_TRUE(center.isRegistered("N2"));
  EXPECT_EQ(manager.observerDict().size(), 1u);
  manager.removeAllObservers();
  EXPECT_FALSE(center.isRegistered("N2"));
  EXPECT_TRUE(manager.observerDict().empty());
}

TEST_F(NotificationManagerTest, DeliveriesInFlightSurviveChangesButNotTheirTarget) {
  auto a = target("a");
  auto b = target("b");
  manager.addObserver(a, &Target::plain, "N");
  manager.addObserver(b, &Target::plain, "N");
  center.deliver("N", std::nullopt, std::nullopt);
  a.reset();
  loop.runQueued();
  EXPECT_EQ(log, Strings{"b.plain"}) << "a target destroyed before its task runs is not called";

  // A handler that removes another: that one's task was already queued, and it is still alive.
  struct Remover {
    KwCFNotificationManager* manager;
    Target* other;
    Strings* log;
    void run() {
      log->push_back("remover");
      manager->removeObserver(other, "N");
    }
  };
  manager.removeAllObservers();
  auto remover = std::make_shared<Remover>(Remover{&manager, b.get(), &log});
  manager.addObserver(remover, &Remover::run, "N");
  manager.addObserver(b, &Target::plain, "N");
  EXPECT_EQ(deliver("N"), (Strings{"remover", "b.plain"}));
  EXPECT_EQ(deliver("N"), Strings{"remover"});
}

TEST_F(NotificationManagerTest, NamesThatCannotBeRegisteredAreIgnoredLikeAnEmptyName) {
  auto a = target("a");
  for (std::string name : {std::string(), std::string("with space"), std::string("quote'd"), std::string("back\\slash"),
                           std::string(256, 'x'), std::string("caf\xc3\xa9")}) {
    manager.addObserver(a, &Target::plain, name);
    EXPECT_FALSE(center.isRegistered(name)) << name;
  }
  EXPECT_TRUE(manager.observerDict().empty());
  manager.addObserver(a, &Target::plain, std::string(255, 'x'));
  EXPECT_TRUE(center.isRegistered(std::string(255, 'x')));
}

TEST_F(NotificationManagerTest, PostsGoToTheCentreWithAndWithoutUserInfo) {
  manager.postCFNotificationWithName("P", Dictionary{{"k", 1}});
  manager.postCFNotificationWithName("Q");
  ASSERT_EQ(center.posts().size(), 2u);
  EXPECT_EQ(center.posts()[0].name, "P");
  EXPECT_EQ(center.posts()[0].userInfo, (Dictionary{{"k", 1}}));
  EXPECT_EQ(center.posts()[1].name, "Q");
  EXPECT_FALSE(center.posts()[1].userInfo.has_value());
}

}  // namespace
}  // namespace trellis
