// The registry rules of the notification manager, over the in-process centre and a manual loop.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "notify/kw_cf_notification_manager.h"
#include "platform/sim/in_process_center.h"
#include "support/manual_run_loop.h"

namespace trellis {
namespace {

struct Target {
  explicit Target(std::string label, std::vector<std::string>* log) : label(std::move(label)), log(log) {}
  void first(const UserInfo& info) { log->push_back(label + ".first" + describe(info)); }
  void second(const UserInfo& info) { log->push_back(label + ".second" + describe(info)); }
  void plain() { log->push_back(label + ".plain"); }
  static std::string describe(const UserInfo& info) {
    if (!info) return "(none)";
    const Value* v = info->count("k") ? &info->at("k") : nullptr;
    return v && v->string() ? "(" + *v->string() + ")" : "(other)";
  }
  std::string label;
  std::vector<std::string>* log;
};

class NotificationManagerTest : public ::testing::Test {
 protected:
  testing::ManualRunLoop loop;
  sim::InProcessCenter center{loop};
  KwCFNotificationManager manager{center, loop};
  std::vector<std::string> log;

  std::shared_ptr<Target> target(const std::string& label) { return std::make_shared<Target>(label, &log); }
  void deliver(const std::string& name, std::optional<Dictionary> info = std::nullopt) {
    center.deliver(name, std::nullopt, std::move(info));
  }
};

TEST_F(NotificationManagerTest, SameTargetTwiceKeepsOneRecordWithTheLastHandler) {
  auto a = target("a");
  manager.addObserver(a, &Target::first, "N");
  manager.addObserver(a, &Target::second, "N");
  EXPECT_EQ(center.registrations("N"), 1);
  ASSERT_EQ(manager.observerDict().at("N").size(), 1u);

  deliver("N", Dictionary{{"k", "v"}});
  EXPECT_TRUE(log.empty()) << "handlers run from the main queue, not inside the delivery";
  loop.runQueued();
  EXPECT_EQ(log, (std::vector<std::string>{"a.second(v)"}));
}

TEST_F(NotificationManagerTest, TwoTargetsRunInRegistrationOrderWithOrWithoutUserInfo) {
  auto b = target("b");
  auto a = target("a");
  manager.addObserver(b, &Target::first, "N");
  manager.addObserver(a, &Target::plain, "N");
  deliver("N");
  deliver("N", Dictionary{{"k", "x"}});
  loop.runQueued();
  EXPECT_EQ(log, (std::vector<std::string>{"b.first(none)", "a.plain", "b.first(x)", "a.plain"}));
}

TEST_F(NotificationManagerTest, NamesMatchExactly) {
  auto a = target("a");
  manager.addObserver(a, &Target::plain, "NSNotificationNameToolPause");
  deliver("NSNotificationNameToolpause");
  deliver("nsnotificationnametoolpause");
  loop.runQueued();
  EXPECT_TRUE(log.empty());
}

TEST_F(NotificationManagerTest, RemovingTheLastRecordUnregistersAndReRegistrationRegistersAgain) {
  auto a = target("a");
  auto b = target("b");
  manager.addObserver(a, &Target::plain, "N");
  manager.addObserver(b, &Target::plain, "N");
  manager.removeObserver(a.get(), "N");
  EXPECT_TRUE(center.isRegistered("N"));
  manager.removeObserver(b.get(), "N");
  EXPECT_FALSE(center.isRegistered("N"));
  EXPECT_EQ(manager.observerDict().count("N"), 0u);

  deliver("N");
  loop.runQueued();
  EXPECT_TRUE(log.empty());

  manager.addObserver(a, &Target::plain, "N");
  EXPECT_EQ(center.registrations("N"), 2);
  deliver("N");
  loop.runQueued();
  EXPECT_EQ(log, (std::vector<std::string>{"a.plain"}));
}

TEST_F(NotificationManagerTest, RemovalPurgesRecordsOfDestroyedTargets) {
  auto a = target("a");
  auto gone = target("gone");
  manager.addObserver(gone, &Target::plain, "N");
  manager.addObserver(a, &Target::plain, "N");
  gone.reset();
  EXPECT_EQ(manager.observerDict().at("N").size(), 2u) << "dead records wait for the next removal";
  manager.removeObserver(a.get(), "N");
  EXPECT_EQ(manager.observerDict().count("N"), 0u);
  EXPECT_FALSE(center.isRegistered("N"));
}

TEST_F(NotificationManagerTest, ATargetDestroyedBeforeItsTaskRunsIsNotCalled) {
  auto a = target("a");
  auto b = target("b");
  manager.addObserver(a, &Target::plain, "N");
  manager.addObserver(b, &Target::plain, "N");
  deliver("N");
  a.reset();
  loop.runQueued();
  EXPECT_EQ(log, (std::vector<std::string>{"b.plain"}));
}

TEST_F(NotificationManagerTest, RemoveObserverFromEveryNameAndRemoveAll) {
  auto a = target("a");
  auto b = target("b");
  manager.addObserver(a, &Target::plain, "N1");
  manager.addObserver(a, &Target::plain, "N2");
  manager.addObserver(b, &Target::plain, "N2");
  manager.removeObserver(a.get());
  EXPECT_FALSE(center.isRegistered("N1"));
  EXPECT_TRUE(center.isRegistered("N2"));
  ASSERT_EQ(manager.observerDict().size(), 1u);

  manager.removeAllObservers();
  EXPECT_FALSE(center.isRegistered("N2"));
  EXPECT_TRUE(manager.observerDict().empty());
}

TEST_F(NotificationManagerTest, NamesThatCannotBeRegisteredAreIgnoredLikeAnEmptyName) {
  auto a = target("a");
  for (std::string name : {std::string(), std::string("with space"), std::string("quote'd"),
                           std::string("back\\slash"), std::string(256, 'x'), std::string("caf\xc3\xa9")}) {
    manager.addObserver(a, &Target::plain, name);
    EXPECT_FALSE(center.isRegistered(name)) << name;
  }
  EXPECT_TRUE(manager.observerDict().empty());
  manager.addObserver(a, &Target::plain, std::string(255, 'x') );
  EXPECT_TRUE(center.isRegistered(std::string(255, 'x')));
}

TEST_F(NotificationManagerTest, HandlersMayChangeRegistrationsWithoutDisturbingTheCurrentDelivery) {
  auto a = target("a");
  auto b = target("b");
  struct Remover {
    KwCFNotificationManager* manager;
    Target* other;
    std::vector<std::string>* log;
    void run() {
      log->push_back("remover");
      manager->removeObserver(other, "N");
    }
  };
  auto remover = std::make_shared<Remover>(Remover{&manager, b.get(), &log});
  manager.addObserver(remover, &Remover::run, "N");
  manager.addObserver(b, &Target::plain, "N");
  deliver("N");
  loop.runQueued();
  // b's task was queued before the remover ran; b is still alive, so it is called once more.
  EXPECT_EQ(log, (std::vector<std::string>{"remover", "b.plain"}));
  log.clear();
  deliver("N");
  loop.runQueued();
  EXPECT_EQ(log, (std::vector<std::string>{"remover"}));
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
