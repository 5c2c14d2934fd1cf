// The in-process notification centre: delivery by name in registration order on the posting
// thread, removal (also from inside a delivery), and posts racing registrations from several
// threads.
#include "notify/local_notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace trellis {
namespace {

TEST(LocalNotificationCenterTest, DeliversToObserversOfTheNameInOrder) {
  LocalNotificationCenter center;
  std::vector<std::string> seen;
  const auto first = center.addObserver("SensorError", [&](const LocalNotification& n) {
    seen.push_back("first " + n.name + " " + n.object);
  });
  center.addObserver("Other", [&](const LocalNotification& n) { seen.push_back("other " + n.object); });
  center.addObserver("SensorError", [&](const LocalNotification& n) { seen.push_back("second " + n.object); });
  EXPECT_NE(first, 0u);
  EXPECT_EQ(center.addObserver("SensorError", nullptr), 0u);

  center.postNotificationName("SensorError", "fpe2");
  EXPECT_EQ(seen, (std::vector<std::string>{"first SensorError fpe2", "second fpe2"}));

  seen.clear();
  center.removeObserver(first);
  center.removeObserver(first);  // a second removal is ignored
  center.removeObserver(0);
  center.postNotificationName("SensorError", "");
  center.postNotificationName("Nobody", "x");
  EXPECT_EQ(seen, (std::vector<std::string>{"second "}));
}

TEST(LocalNotificationCenterTest, ObserversMayChangeTheRegistryDuringADelivery) {
  LocalNotificationCenter center;
  std::vector<std::string> seen;
  LocalNotificationCenter::Token second = 0;
  center.addObserver("n", [&](const LocalNotification&) {
    seen.push_back("first");
    center.removeObserver(second);
    center.addObserver("n", [&](const LocalNotification&) { seen.push_back("added"); });
  });
  second = center.addObserver("n", [&](const LocalNotification&) { seen.push_back("second"); });

  center.postNotificationName("n", "");
  EXPECT_EQ(seen, (std::vector<std::string>{"first"}));  // removed before its turn; added too late
  seen.clear();
  center.postNotificationName("n", "");
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "added"}));
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

TEST(LocalNotificationCenterTest, TheDefaultCentreIsOneInstance) {
  EXPECT_EQ(&LocalNotificationCenter::defaultCenter(), &LocalNotificationCenter::defaultCenter());
}

}  // namespace
}  // namespace trellis
