// The agent's cycle and its four commands: the hardware manager over collectors that log their
// refreshes, the in-process centre, a manual loop and a recording process runner. Every post is
// compared whole (names, keys and number kinds), in order.
#include "app/hardware_manager.h"

#include <gtest/gtest.h>

#include "notify/kw_cf_notification_manager.h"
#include "notify/protocol.h"
#include "platform/sim/in_process_center.h"
#include "support/desktop_fakes.h"
#include "support/fake_sources.h"
#include "support/fan_records.h"
#include "support/manual_run_loop.h"
#include "support/service_setters.h"

namespace trellis {
namespace {

using Log = std::vector<std::string>;
using Posts = std::vector<std::pair<std::string, std::optional<Dictionary>>>;
using std::chrono::seconds;
const std::string kOn = "/usr/bin/pmset -a lowpowermode 1", kOff = "/usr/bin/pmset -a lowpowermode 0";

// A collector that logs its refreshes instead of reading its sources.
template <class Collector>
struct Logged : Collector {
  template <class... Sources>
  Logged(Log& log, std::string name, Sources&... sources) : Collector(sources...), log(log), name(std::move(name)) {}
  void reloadInfo() override { log.push_back(name); }
  Log& log;
  std::string name;
};

class HardwareManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::setService(&Services::processRunner, &runner);
    HardwareManager::Environment env;
    env.notifications = &notifications;
    env.runLoop = &loop;
    env.makeDisk = [this] { return disk = made<DiskInfo>("disk", disks); };
    env.makeCpu = [this] { return cpu = made<CpuInfo>("cpu", cpus); };
    env.makeFan = [this] { return fan = made<FanInfo>("fan"); };
    env.makeNetwork = [this] { return made<NetworkInfo>("network", network, clock); };
    env.makeMemory = [this] { return made<MemoryInfo>("memory", memory); };
    env.powerCommand = [](bool on) { return PowerCommand{"/usr/bin/pmset", {"-a", "lowpowermode", on ? "1" : "0"}}; };
    env.exitProcess = [this](int status) { log.push_back("exit " + std::to_string(status)); };
    manager = HardwareManager::create(std::move(env));
  }
  void TearDown() override { testing::setService(&Services::processRunner, nullptr); }

  template <class C, class... Sources>
  std::shared_ptr<Logged<C>> made(const char* name, Sources&... sources) {
    log.push_back(std::string("make ") + name);
    return std::make_shared<Logged<C>>(log, name, sources...);
  }
  Posts posts() const {
    Posts all;
    for (const auto& post : center.posts()) all.emplace_back(post.name, post.userInfo);
    return all;
  }
  // A command as a companion posts it, and what the main queue then runs.
  void command(std::string_view name, std::optional<Dictionary> info = std::nullopt) {
    center.deliver(name, std::nullopt, std::move(info));
    loop.runQueued();
  }

  testing::FakeCpuSource cpus;
  testing::FakeMemorySource memory;
  testing::FakeNetworkSource network;
  testing::FakeClock clock;
  testing::FakeDiskSource disks;
  testing::ManualRunLoop loop;
  sim::InProcessCenter center{loop};
  KwCFNotificationManager notifications{center, loop};
  testing::TableProcessRunner runner;
  Log log;
  std::shared_ptr<DiskInfo> disk;
  std::shared_ptr<CpuInfo> cpu;
  std::shared_ptr<FanInfo> fan;
  std::shared_ptr<HardwareManager> manager;
};

Posts cycle(float cpu, float disk, const Dictionary& fans) {
  return {{std::string(protocol::kCpuTemperature), Dictionary{{"cpu", cpu}}},
          {std::string(protocol::kSSDTemperature), Dictionary{{"disk", disk}}},
          {std::string(protocol::kFansSpeed), Dictionary{{"fan", fans}}}};
}

TEST_F(HardwareManagerTest, EachCycleRefreshesCpuFanDiskThenPostsTheirReadingsInOrder) {
  EXPECT_EQ(log, (Log{"make disk", "make cpu", "make fan", "make network", "make memory"}));
  std::vector<std::string> names;
  for (const auto& [name, records] : notifications.observerDict()) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"NSNotificationNameClosePowerSaving", "NSNotificationNameOpenPowerSaving",
                                             "NSNotificationNameToolPause", "NSNotificationNameToolStart"}));

  // No main disk: 0.0. Floats stay floats; the fan set is its dictionary form.
  log.clear();
  cpu->getCpuInfo()->setTemperature(42.5f);
  manager->reloadAllInfo();
  EXPECT_EQ(log, (Log{"cpu", "fan", "disk"})) << "network and memory are never refreshed";
  EXPECT_EQ(posts(), cycle(42.5f, 0.0f, Dictionary{{"count", 0}}));

  auto main = std::make_shared<DiskModel>();
  main->setIsMain(true);
  main->setTemperature(37.25f);
  auto other = std::make_shared<DiskModel>();
  other->setTemperature(99.0f);
  disk->setList({other, main});
  *fan->model() = testing::twoFans();
  center.clearPosts();
  manager->reloadAllInfo();
  EXPECT_EQ(posts(), cycle(42.5f, 37.25f, testing::twoFans().mj_keyValues())) << "the form records_test.cc checks";
}

TEST_F(HardwareManagerTest, CommandsStartPauseAndPowerSavingIgnoringTheirInformation) {
  loop.advance(seconds(2));
  EXPECT_EQ(center.posts().size(), 3u);
  log.clear();
  command(protocol::kToolStart);
  EXPECT_EQ(log, Log{"exit 0"});

  command(protocol::kToolPause, Dictionary{{"unexpected", true}});
  loop.advance(seconds(20));
  EXPECT_EQ(center.posts().size(), 3u) << "paused for good";
  EXPECT_TRUE(manager->timer()->isValid()) << "pausing keeps the timer";
  command(protocol::kOpenPowerSaving);
  command(protocol::kOpenPowerSaving, Dictionary{{"x", 1}});
  command(protocol::kClosePowerSaving);
  EXPECT_EQ(runner.commands(), (Log{kOn, kOn, kOff}));
  command(protocol::kToolStart, Dictionary{{"k", "v"}});
  EXPECT_EQ(log, (Log{"exit 0", "exit 0"}));
  EXPECT_EQ(center.posts().size(), 3u);
}

TEST_F(HardwareManagerTest, PowerToolsRunOneAtATimeInOrderAndAHungOneIsWaitedForOnlySoLong) {
  runner.hold = true;
  command(protocol::kOpenPowerSaving);
  command(protocol::kClosePowerSaving);
  command(protocol::kOpenPowerSaving);
  EXPECT_EQ(runner.commands(), (Log{kOn}));
  runner.finish(0);
  EXPECT_EQ(runner.commands(), (Log{kOn, kOff}));
  // The second hangs: the third starts once the patience is spent, not before.
  loop.advance(HardwareManager::kPowerToolPatience - std::chrono::microseconds(1));
  EXPECT_EQ(runner.requests.size(), 2u);
  loop.advance(std::chrono::microseconds(1));
  EXPECT_EQ(runner.commands().back(), kOn);
  command(protocol::kClosePowerSaving);
  runner.finish(1);  // ends late: the fourth still waits for the third
  EXPECT_EQ(runner.requests.size(), 3u);
  runner.finish(2);
  EXPECT_EQ(runner.commands().back(), kOff);
  runner.finish(3);
  loop.advance(HardwareManager::kPowerToolPatience * 2);
  EXPECT_EQ(runner.requests.size(), 4u);
}

}  // namespace
}  // namespace trellis
