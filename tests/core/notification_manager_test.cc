// The notification manager's registry over the in-process centre and a manual loop: handlers by
// exact name in registration order, from the main queue; removal and purging; names that cannot
// be registered; a post without user information. Then the local centre: delivery by name
// on the posting thread, removal (also from inside a delivery), and posts racing registrations.
#include "notify/kw_cf_notification_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "notify/local_notification_center.h"
#include "platform/sim/in_process_center.h"
#include "support/manual_run_loop.h"

namespace trellis {
namespace {

using Strings = std::vector<std::string>;

struct Target {
  Target(std::string label, Strings* log) : label(std::move(label)), log(log) {}
  void first(const UserInfo& info) {
    const Value* k = info && info->count("k") ? &info->at("k") : nullptr;
    log->push_back(label + ".first(" + (!info ? "none" : k && k->string() ? *k->string() : "other") + ")");
  }
  void plain() { log->push_back(label + ".plain"); }
  std::string label;
  Strings* log;
};

class NotificationManagerTest : public ::testing::Test {
 protected:
  std::shared_ptr<Target> target(const std::string& label) { return std::make_shared<Target>(label, &log); }
  // Delivers `name` as another process would; what the handlers then logged from the main queue.
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
  EXPECT_EQ(deliver("N"), (Strings{"b.first(none)", "a.plain"}));
  EXPECT_EQ(deliver("N", Dictionary{{"k", "x"}}), (Strings{"b.first(x)", "a.plain"}));
  manager.addObserver(b, &Target::first, "NSNotificationNameToolPause");
  EXPECT_EQ(deliver("NSNotificationNameToolPause", Dictionary{{"k", 1}}), Strings{"b.first(other)"});

  // Names the bus cannot carry are ignored, as an empty one is; 255 characters are the most.
  for (std::string name : {std::string(), std::string("with space"), std::string("quote'd"), std::string(256, 'x'),
                           std::string("caf\xc3\xa9")}) {
    manager.addObserver(a, &Target::plain, name);
    EXPECT_FALSE(center.isRegistered(name)) << name;
  }
  EXPECT_EQ(manager.observerDict().size(), 2u);
  manager.addObserver(a, &Target::plain, std::string(255, 'x'));
  EXPECT_TRUE(center.isRegistered(std::string(255, 'x')));
  // A post without user information carries none, not an empty dictionary.
  manager.postCFNotificationWithName("Q");
  EXPECT_EQ(center.posts().at(0).userInfo, std::nullopt);
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
  manager.addObserver(a, &Target::plain, "N");
  EXPECT_EQ(center.registrations("N"), 2);
  EXPECT_EQ(deliver("N"), Strings{"a.plain"});

  // Records of destroyed targets wait for the next removal.
  auto gone = target("gone");
  manager.addObserver(gone, &Target::plain, "N");
  gone.reset();
  EXPECT_EQ(manager.observerDict().at("N").size(), 2u);
  manager.removeObserver(a.get(), "N");
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
    void run() { manager->removeObserver(other, "N"); }
  };
  manager.removeAllObservers();
  auto remover = std::make_shared<Remover>(Remover{&manager, b.get()});
  manager.addObserver(remover, &Remover::run, "N");
  manager.addObserver(b, &Target::plain, "N");
  EXPECT_EQ(deliver("N"), Strings{"b.plain"});
  EXPECT_EQ(deliver("N"), Strings{});
}

TEST(LocalNotificationCenterTest, DeliversToTheObserversOfTheNameInOrderWhileTheyChangeTheRegistry) {
  LocalNotificationCenter center;
  Strings seen;
  LocalNotificationCenter::Token second = 0;
  const auto first = center.addObserver("n", [&](const LocalNotification& n) {
    seen.push_back("first " + n.name + " " + n.object);
    center.removeObserver(second);
    center.addObserver("n", [&](const LocalNotification& n) { seen.push_back("added " + n.object); });
  });
  center.addObserver("other", [&](const LocalNotification& n) { seen.push_back("other " + n.object); });
  second = center.addObserver("n", [&](const LocalNotification& n) { seen.push_back("second " + n.object); });
  EXPECT_EQ(center.addObserver("n", nullptr), 0u);

  center.postNotificationName("n", "fpe2");
  EXPECT_EQ(seen, Strings{"first n fpe2"}) << "the second was removed before its turn; the added one came too late";
  seen.clear();
  center.removeObserver(second);  // a second removal is ignored
  center.removeObserver(0);
  center.postNotificationName("n", "");
  center.postNotificationName("nobody", "x");
  EXPECT_EQ(seen, (Strings{"first n ", "added "}));
  seen.clear();
  center.removeObserver(first);
  center.postNotificationName("n", "x");
  EXPECT_EQ(seen, (Strings{"added x", "added x"}));
}

TEST(LocalNotificationCenterTest, PostsFromManyThreadsWhileObserversComeAndGo) {
  LocalNotificationCenter center;
  std::atomic<int> delivered{0};
  center.addObserver("n", [&](const LocalNotification&) { delivered.fetch_add(1); });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        const auto token = center.addObserver("n", [](const LocalNotification&) {});
        center.postNotificationName("n", "x");
        center.removeObserver(token);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(delivered.load(), 2000);
}

}  // namespace
}  // namespace trellis
