// The hardware manager's creation, sampling cycle, timer and commands, with fake collectors,
// the in-process centre, a manual loop and a recording process runner.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/hardware_manager.h"
#include "base/process_runner.h"
#include "notify/kw_cf_notification_manager.h"
#include "notify/protocol.h"
#include "platform/sim/in_process_center.h"
#include "support/fake_sources.h"
#include "support/manual_run_loop.h"
#include "support/service_setters.h"

namespace trellis {
namespace {

using std::chrono::seconds;
using Log = std::vector<std::string>;

// The collectors' own sources are never read: every fake overrides reloadInfo.
testing::FakeCpuSource g_cpuSource;
testing::FakeMemorySource g_memorySource;
testing::FakeNetworkSource g_networkSource;
testing::FakeClock g_clock;
testing::FakeDiskSource g_noDisks;

struct FakeCpu : CpuInfo {
  explicit FakeCpu(Log* log) : CpuInfo(g_cpuSource), log(log) {}
  void reloadInfo() override {
    log->push_back("cpu.reload");
    getCpuInfo()->setTemperature(next);
  }
  Log* log;
  float next = 42.5f;
};
struct FakeFan : FanInfo {
  explicit FakeFan(Log* log) : log(log) {}
  void reloadInfo() override { log->push_back("fan.reload"); }
  Log* log;
};
struct FakeDisk : DiskInfo {
  explicit FakeDisk(Log* log) : DiskInfo(g_noDisks), log(log) {}
  void reloadInfo() override { log->push_back("disk.reload"); }
  Log* log;
};
struct FakeNetwork : NetworkInfo {
  explicit FakeNetwork(Log* log) : NetworkInfo(g_networkSource, g_clock), log(log) {}
  void reloadInfo() override { log->push_back("network.reload"); }
  Log* log;
};
struct FakeMemory : MemoryInfo {
  explicit FakeMemory(Log* log) : MemoryInfo(g_memorySource), log(log) {}
  void reloadInfo() override { log->push_back("memory.reload"); }
  Log* log;
};

struct RecordingRunner : ProcessRunner {
  std::optional<std::string> run(const std::string& path, const std::vector<std::string>& args) override {
    std::string line = path;
    for (const auto& a : args) line += " " + a;
    runs.push_back(line);
    return std::string("ok\n");
  }
  // Holding: runs start but end only when the test calls `finish`.
  void start(const std::string& path, const std::vector<std::string>& args, Completion completion) override {
    if (!hold) return ProcessRunner::start(path, args, std::move(completion));
    run(path, args);
    held.push_back(std::move(completion));
  }
  void finish(std::size_t index) { held.at(index)(std::string()); }
  Log runs;
  bool hold = false;
  std::vector<Completion> held;
};

class HardwareManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::setService(&Services::processRunner, &runner);
    HardwareManager::Environment env;
    env.notifications = &notifications;
    env.runLoop = &loop;
    env.makeDisk = [this] { log.push_back("make.disk"); return disk = std::make_shared<FakeDisk>(&log); };
    env.makeCpu = [this] { log.push_back("make.cpu"); return cpu = std::make_shared<FakeCpu>(&log); };
    env.makeFan = [this] { log.push_back("make.fan"); return fan = std::make_shared<FakeFan>(&log); };
    env.makeNetwork = [this] { log.push_back("make.network"); return std::make_shared<FakeNetwork>(&log); };
    env.makeMemory = [this] { log.push_back("make.memory"); return std::make_shared<FakeMemory>(&log); };
    env.powerCommand = [](bool on) {
      return PowerCommand{"/usr/bin/pmset", {"-a", "lowpowermode", on ? "1" : "0"}};
    };
    env.exitProcess = [this](int status) { exits.push_back(status); };
    manager = HardwareManager::create(std::move(env));
  }
  void TearDown() override { testing::setService(&Services::processRunner, nullptr); }

  // The names posted so far, in order.
  std::vector<std::string> postedNames() const {
    std::vector<std::string> names;
    for (const auto& post : center.posts()) names.push_back(post.name);
    return names;
  }
  void command(std::string_view name, std::optional<Dictionary> info = std::nullopt) {
    center.deliver(name, std::nullopt, std::move(info));
    loop.runQueued();
  }

  testing::ManualRunLoop loop;
  sim::InProcessCenter center{loop};
  KwCFNotificationManager notifications{center, loop};
  RecordingRunner runner;
  Log log;
  std::vector<int> exits;
  std::shared_ptr<FakeDisk> disk;
  std::shared_ptr<FakeCpu> cpu;
  std::shared_ptr<FakeFan> fan;
  std::shared_ptr<HardwareManager> manager;
};

const std::vector<std::string> kOneCycle = {std::string(protocol::kCpuTemperature),
                                            std::string(protocol::kSSDTemperature),
                                            std::string(protocol::kFansSpeed)};

TEST_F(HardwareManagerTest, CreatesCollectorsInOrderAndRegistersTheFourCommands) {
  EXPECT_EQ(log, (Log{"make.disk", "make.cpu", "make.fan", "make.network", "make.memory"}));
  std::vector<std::string> names;
  for (const auto& [name, records] : notifications.observerDict()) names.push_back(name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"NSNotificationNameClosePowerSaving", "NSNotificationNameOpenPowerSaving",
                                             "NSNotificationNameToolPause", "NSNotificationNameToolStart"}));
  EXPECT_TRUE(center.posts().empty()) << "creating the manager takes no reading";
}

TEST_F(HardwareManagerTest, ACycleRefreshesThenPostsCpuSsdFansWithExactPayloads) {
  log.clear();
  auto mainDisk = std::make_shared<DiskModel>();
  mainDisk->setIsMain(true);
  mainDisk->setTemperature(37.25f);
  auto other = std::make_shared<DiskModel>();
  other->setTemperature(99.0f);
  disk->setList({other, mainDisk});

  manager->reloadAllInfo();
  EXPECT_EQ(log, (Log{"cpu.reload", "fan.reload", "disk.reload"}));
  ASSERT_EQ(postedNames(), kOneCycle);
  const auto& posts = center.posts();
  EXPECT_EQ(posts[0].userInfo, (Dictionary{{"cpu", 42.5f}}));
  EXPECT_EQ(posts[0].userInfo->at("cpu").kind(), Value::Kind::Float);
  EXPECT_EQ(posts[1].userInfo, (Dictionary{{"disk", 37.25f}}));
  EXPECT_EQ(posts[2].userInfo, (Dictionary{{"fan", Dictionary{{"count", std::int32_t{0}}}}}));
}

TEST_F(HardwareManagerTest, NoMainDiskPostsZeroAndFanSetCarriesItsList) {
  auto f0 = std::make_shared<Fan>();
  f0->setID("Left side");
  f0->setSpeed(2160);
  f0->setMinSpeed(1200);
  f0->setMaxSpeed(6156);
  auto f1 = std::make_shared<Fan>();
  f1->setSpeed(0);
  f1->setMinSpeed(-1);
  f1->setMaxSpeed(-1);
  fan->model()->setCount(2);
  fan->model()->setFans(std::vector<std::shared_ptr<Fan>>{f0, f1});

  manager->reloadAllInfo();
  const auto& posts = center.posts();
  ASSERT_EQ(posts.size(), 3u);
  EXPECT_EQ(posts[1].userInfo, (Dictionary{{"disk", 0.0f}}));
  Dictionary expectedFans{
      {"count", 2},
      {"fans", Array{Dictionary{{"ID", "Left side"}, {"speed", 2160}, {"maxSpeed", 6156}, {"minSpeed", 1200}},
                     Dictionary{{"speed", 0}, {"maxSpeed", -1}, {"minSpeed", -1}}}}};
  EXPECT_EQ(posts[2].userInfo, (Dictionary{{"fan", expectedFans}}));
}

TEST_F(HardwareManagerTest, TimerSamplesEveryTwoSecondsWithoutCatchUp) {
  loop.advance(std::chrono::milliseconds(1999));
  EXPECT_TRUE(center.posts().empty());
  loop.advance(std::chrono::milliseconds(1));
  EXPECT_EQ(center.posts().size(), 3u);
  loop.advance(seconds(4));
  EXPECT_EQ(center.posts().size(), 9u);

  // A cycle that takes 5 s is followed by the next due tick, not by the ticks it missed.
  loop.setActionDuration(seconds(5));
  loop.advance(seconds(2));  // t = 8: one slow cycle ending at 13
  EXPECT_EQ(center.posts().size(), 12u);
  loop.setActionDuration(seconds(0));
  loop.advance(seconds(1));  // t = 14: the next due tick
  EXPECT_EQ(center.posts().size(), 15u);
  for (std::size_t i = 0; i < center.posts().size(); ++i) {
    EXPECT_EQ(center.posts()[i].name, kOneCycle[i % 3]);
  }
}

TEST_F(HardwareManagerTest, FirstCyclePublishesTheReadingTheDiskCollectorGaveTheMainVolume) {
  // The volume is listed when the collector is made, so the cycle's refresh already reads it.
  testing::FakeDiskSource volumes;
  volumes.entries = {"/"};
  volumes.capacities["/"] = VolumeCapacity{100, 50};
  volumes.described["/"] = VolumeDescription{"/", "", "ext4", /*internal=*/true, true, /*removable=*/false, false};
  center.clearPosts();
  HardwareManager::Environment env;
  env.notifications = &notifications;
  env.runLoop = &loop;
  env.makeDisk = [&volumes] {
    return std::make_shared<DiskInfo>(volumes, [](double* t) { return *t = 36.5, 0; });
  };
  env.makeCpu = [this] { return std::make_shared<FakeCpu>(&log); };
  env.makeFan = [this] { return std::make_shared<FakeFan>(&log); };
  env.makeNetwork = [this] { return std::make_shared<FakeNetwork>(&log); };
  env.makeMemory = [this] { return std::make_shared<FakeMemory>(&log); };
  env.exitProcess = [](int) {};
  auto real = HardwareManager::create(std::move(env));
  real->reloadAllInfo();
  ASSERT_EQ(postedNames(), kOneCycle);
  EXPECT_EQ(center.posts()[1].userInfo, (Dictionary{{"disk", 36.5f}}));
}

TEST_F(HardwareManagerTest, NetworkAndMemoryAreNeverRefreshed) {
  manager->reloadAllInfo();
  loop.advance(seconds(10));
  for (const auto& entry : log) {
    EXPECT_NE(entry, "network.reload");
    EXPECT_NE(entry, "memory.reload");
  }
}

TEST_F(HardwareManagerTest, PauseStopsSamplingForGoodButPowerCommandsStillRun) {
  loop.advance(seconds(2));
  ASSERT_EQ(center.posts().size(), 3u);
  command(protocol::kToolPause, Dictionary{{"unexpected", true}});
  loop.advance(seconds(20));
  command(protocol::kToolPause);
  loop.advance(seconds(20));
  EXPECT_EQ(center.posts().size(), 3u);
  EXPECT_TRUE(manager->timer()->isValid()) << "pausing keeps the timer scheduled";

  command(protocol::kOpenPowerSaving);
  command(protocol::kClosePowerSaving, Dictionary{{"x", 1}});
  EXPECT_EQ(runner.runs, (Log{"/usr/bin/pmset -a lowpowermode 1", "/usr/bin/pmset -a lowpowermode 0"}));
  EXPECT_EQ(center.posts().size(), 3u);
}

TEST_F(HardwareManagerTest, StartEndsTheProcessWithStatusZeroPausedOrNot) {
  command(protocol::kToolStart);
  EXPECT_EQ(exits, (std::vector<int>{0}));
  command(protocol::kToolPause);
  command(protocol::kToolStart, Dictionary{{"k", "v"}});
  EXPECT_EQ(exits, (std::vector<int>{0, 0}));
}

TEST_F(HardwareManagerTest, CommandNamesDifferingInCaseDoNothing) {
  command("NSNotificationNameToolpause");
  command("nsnotificationnametoolstart");
  command("NSNotificationNameOpenPowersaving");
  loop.advance(seconds(2));
  EXPECT_EQ(center.posts().size(), 3u);
  EXPECT_TRUE(exits.empty());
  EXPECT_TRUE(runner.runs.empty());
}

TEST_F(HardwareManagerTest, PowerToolsRunOneAtATimeInOrderAndAHungOneIsWaitedForOnlySoLong) {
  runner.hold = true;
  command(protocol::kOpenPowerSaving);
  command(protocol::kClosePowerSaving);
  command(protocol::kOpenPowerSaving);
  EXPECT_EQ(runner.runs, (Log{"/usr/bin/pmset -a lowpowermode 1"}));
  runner.finish(0);
  EXPECT_EQ(runner.runs.size(), 2u);
  EXPECT_EQ(runner.runs.back(), "/usr/bin/pmset -a lowpowermode 0");
  // The second hangs: the third starts once the patience is spent, not before.
  loop.advance(HardwareManager::kPowerToolPatience - std::chrono::microseconds(1));
  EXPECT_EQ(runner.runs.size(), 2u);
  loop.advance(std::chrono::microseconds(1));
  EXPECT_EQ(runner.runs.size(), 3u);
  runner.finish(1);  // ends late: starts nothing more
  runner.finish(2);
  loop.advance(HardwareManager::kPowerToolPatience * 2);
  EXPECT_EQ(runner.runs.size(), 3u);
}

TEST_F(HardwareManagerTest, PowerSavingOnAndOffUseThePlatformCommandsWithExactArguments) {
  command(protocol::kOpenPowerSaving);
  command(protocol::kOpenPowerSaving);
  command(protocol::kClosePowerSaving);
  EXPECT_EQ(runner.runs, (Log{"/usr/bin/pmset -a lowpowermode 1", "/usr/bin/pmset -a lowpowermode 1",
                              "/usr/bin/pmset -a lowpowermode 0"}));
}

}  // namespace
}  // namespace trellis
