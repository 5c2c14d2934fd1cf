// Tests of the CPU collector over a scripted `CpuSource` and temperature reader: the usage shares
// of first and later samples (worked out by hand below each case), wrapped counters, processor
// count changes, the clamping getters, the temperature fallbacks and the process-wide caches. The
// last group runs the collector over the Linux source on a /proc tree the test rewrites.
#include "metrics/cpu_info.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/proc_cpu_source.h"

namespace trellis {
namespace {

using Triple = CpuInfo::UsageTriple;

// Answers from fields the test sets; tick samples are handed out in order, and once the queue is
// empty the tick reading fails. Counts every call.
struct FakeCpuSource : CpuSource {
  std::optional<std::string> brandAnswer = "Test CPU";
  std::optional<std::int32_t> countAnswer = 2;
  std::optional<TaskAndThreadCount> tasksAnswer = TaskAndThreadCount{120, 480};
  std::optional<std::array<double, 3>> loadAnswer = std::array<double, 3>{1.5, 1.25, 0.75};
  std::deque<std::optional<std::vector<ProcessorTicks>>> ticks;

  int brandCalls = 0;
  int countCalls = 0;
  int tickCalls = 0;

  std::optional<std::string> brand() override {
    ++brandCalls;
    return brandAnswer;
  }
  std::optional<std::int32_t> processorCount() override {
    ++countCalls;
    return countAnswer;
  }
  std::optional<TaskAndThreadCount> taskAndThreadCount() override { return tasksAnswer; }
  std::optional<std::array<double, 3>> loadAverages() override { return loadAnswer; }
  std::optional<std::vector<ProcessorTicks>> processorTicks() override {
    ++tickCalls;
    if (ticks.empty()) return std::nullopt;
    auto next = ticks.front();
    ticks.pop_front();
    return next;
  }
};

ProcessorTicks T(std::uint32_t user, std::uint32_t system, std::uint32_t idle, std::uint32_t nice) {
  return {user, system, idle, nice};
}

// A reader that reports `result` and writes `value` (when set), recording what it was handed.
struct FakeReader {
  int result = 0;
  std::optional<double> value;
  std::vector<double> presets;

  CpuInfo::TemperatureReader fn() {
    return [this](double* out) {
      presets.push_back(*out);
      if (value) *out = *value;
      return result;
    };
  }
};

std::vector<std::vector<std::int32_t>> perProcessor(const CpuModel& model) {
  std::vector<std::vector<std::int32_t>> out;
  if (!model.cpusUsageArr()) return out;
  for (const auto& usage : *model.cpusUsageArr()) out.push_back({usage->user(), usage->system(), usage->idle()});
  return out;
}

std::vector<std::int32_t> overall(const CpuModel& model) {
  return {model.userUsagePercent(), model.systemUsagePercent(), model.idlePercent()};
}

class CpuInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { CpuInfo::resetProcessCachesForTesting(); }
  void TearDown() override { CpuInfo::resetProcessCachesForTesting(); }

  FakeCpuSource source;
  FakeReader reader{0, 45.0, {}};
  std::unique_ptr<CpuInfo> makeCpu() { return std::make_unique<CpuInfo>(source, reader.fn()); }
};

// --- Usage shares -------------------------------------------------------------------------------

TEST_F(CpuInfoTest, FirstSampleGivesSharesSinceBootWithNiceAsUserAndTickWeightedOverall) {
  // cpu0: u = 60 + 20 = 80, s = 40, d = 280, t = 400 -> 20, 10, 70.
  // cpu1: u = 100, s = 100, d = 0, t = 200 -> 50, 50, 0.
  // overall: 180, 140, 280 of 600 -> 30, 23.3 -> 23, 46.7 -> 47 (the mean of the processors'
  // shares would be 35, 30, 35).
  source.ticks.push_back(std::vector{T(60, 40, 280, 20), T(100, 100, 0, 0)});
  auto cpu = makeCpu();
  cpu->reloadInfo();
  const auto model = cpu->getCpuInfo();
  EXPECT_EQ(perProcessor(*model), (std::vector<std::vector<std::int32_t>>{{20, 10, 70}, {50, 50, 0}}));
  EXPECT_EQ(overall(*model), (std::vector<std::int32_t>{30, 23, 47}));
  ASSERT_TRUE(cpu->cpuTicks().has_value());
  EXPECT_EQ(*cpu->cpuTicks(), (std::vector{T(60, 40, 280, 20), T(100, 100, 0, 0)}));
}

TEST_F(CpuInfoTest, LaterSampleGivesSharesOfTheIntervalWithoutNice) {
  source.ticks.push_back(std::vector{T(60, 40, 280, 20), T(100, 100, 0, 0)});
  // cpu0: du = 10, ds = 10, dd = 80 (50 nice ticks left out) -> 10, 10, 80; with nice counted it
  // would be 40, 7, 53. cpu1: 30, 10, 60 of 100. overall: 40, 20, 140 of 200 -> 20, 10, 70.
  source.ticks.push_back(std::vector{T(70, 50, 360, 70), T(130, 110, 60, 0)});
  auto cpu = makeCpu();
  cpu->reloadInfo();
  cpu->reloadInfo();
  const auto model = cpu->getCpuInfo();
  EXPECT_EQ(perProcessor(*model), (std::vector<std::vector<std::int32_t>>{{10, 10, 80}, {30, 10, 60}}));
  EXPECT_EQ(overall(*model), (std::vector<std::int32_t>{20, 10, 70}));
}

TEST_F(CpuInfoTest, WrappedCountersGiveTheDifferenceModulo2To32) {
  // user 0xFFFFFFF0 -> 0x10 is 32 ticks, idle 0xFFFFFFC0 -> 0x40 is 128, system 100 -> 132 is 32:
  // 32, 32, 128 of 192 -> 16.7 -> 17, 17, 66.7 -> 67.
  source.ticks.push_back(std::vector{T(0xFFFFFFF0u, 100, 0xFFFFFFC0u, 0xFFFFFFFFu)});
  source.ticks.push_back(std::vector{T(0x10u, 132, 0x40u, 5)});
  auto cpu = makeCpu();
  cpu->reloadInfo();
  cpu->reloadInfo();
  const auto model = cpu->getCpuInfo();
  EXPECT_EQ(perProcessor(*model), (std::vector<std::vector<std::int32_t>>{{17, 17, 67}}));
  EXPECT_EQ(overall(*model), (std::vector<std::int32_t>{17, 17, 67}));
}

TEST_F(CpuInfoTest, UnchangedTicksGiveZeroSharesForThatProcessorAndOverall) {
  source.ticks.push_back(std::vector{T(10, 10, 80, 0), T(20, 20, 60, 0)});
  // cpu0 unchanged; cpu1 gains 5, 5, 10 -> 25, 25, 50, which is also the overall share.
  source.ticks.push_back(std::vector{T(10, 10, 80, 9), T(25, 25, 70, 0)});
  // Nothing changed anywhere (nice alone moving does not count).
  source.ticks.push_back(std::vector{T(10, 10, 80, 12), T(25, 25, 70, 0)});
  auto cpu = makeCpu();
  cpu->reloadInfo();
  cpu->reloadInfo();
  EXPECT_EQ(perProcessor(*cpu->getCpuInfo()), (std::vector<std::vector<std::int32_t>>{{0, 0, 0}, {25, 25, 50}}));
  EXPECT_EQ(overall(*cpu->getCpuInfo()), (std::vector<std::int32_t>{25, 25, 50}));
  cpu->reloadInfo();
  EXPECT_EQ(perProcessor(*cpu->getCpuInfo()), (std::vector<std::vector<std::int32_t>>{{0, 0, 0}, {0, 0, 0}}));
  EXPECT_EQ(overall(*cpu->getCpuInfo()), (std::vector<std::int32_t>{0, 0, 0}));
}

TEST_F(CpuInfoTest, AProcessorWithNoTicksSinceBootGivesZeros) {
  source.ticks.push_back(std::vector{T(0, 0, 0, 0), T(1, 1, 2, 0)});
  auto cpu = makeCpu();
  cpu->reloadInfo();
  EXPECT_EQ(perProcessor(*cpu->getCpuInfo()), (std::vector<std::vector<std::int32_t>>{{0, 0, 0}, {25, 25, 50}}));
}

TEST_F(CpuInfoTest, PercentagesRoundHalvesAwayFromZero) {
  // Eighths are exact in single precision: 1/8 = 12.5 -> 13 (not 12), 3/8 = 37.5 -> 38, 4/8 = 50;
  // 5/8 = 62.5 -> 63, 2/8 = 25, 1/8 -> 13, so the shares add up to 101.
  source.ticks.push_back(std::vector{T(1, 3, 4, 0), T(5, 2, 1, 0)});
  auto cpu = makeCpu();
  auto usage = cpu->getCpuUsage();
  ASSERT_TRUE(usage.has_value());
  EXPECT_EQ(usage->perProcessor, (std::vector<Triple>{{13.0f, 38.0f, 50.0f}, {63.0f, 25.0f, 13.0f}}));
  // Overall 6, 5, 5 of 16: 37.5 -> 38, 31.25 -> 31, 31.25 -> 31.
  EXPECT_EQ(usage->overall, (Triple{38.0f, 31.0f, 31.0f}));
}

TEST_F(CpuInfoTest, ProcessorCountChangeRestartsTheBaselineAtTheNewSize) {
  source.ticks.push_back(std::vector{T(10, 10, 80, 0), T(20, 20, 60, 0)});
  // A third processor comes online: the sample is taken as a first one (since boot, nice as
  // user): cpu0 30+10, 10, 60 -> 40, 10, 50; cpu1 20, 20, 60; cpu2 5, 5, 10 -> 25, 25, 50.
  source.ticks.push_back(std::vector{T(30, 10, 50, 10), T(20, 20, 60, 0), T(5, 5, 10, 0)});
  // Then intervals against the three-processor snapshot again: 10, 10, 20; none; 1, 1, 2.
  source.ticks.push_back(std::vector{T(40, 20, 70, 10), T(20, 20, 60, 0), T(6, 6, 12, 0)});
  // And back to two: since boot once more, no read past the smaller list.
  source.ticks.push_back(std::vector{T(50, 50, 100, 0), T(1, 1, 2, 0)});
  auto cpu = makeCpu();
  cpu->reloadInfo();
  cpu->reloadInfo();
  EXPECT_EQ(perProcessor(*cpu->getCpuInfo()),
            (std::vector<std::vector<std::int32_t>>{{40, 10, 50}, {20, 20, 60}, {25, 25, 50}}));
  EXPECT_EQ(cpu->cpuTicks()->size(), 3u);
  cpu->reloadInfo();
  EXPECT_EQ(perProcessor(*cpu->getCpuInfo()),
            (std::vector<std::vector<std::int32_t>>{{25, 25, 50}, {0, 0, 0}, {25, 25, 50}}));
  cpu->reloadInfo();
  EXPECT_EQ(perProcessor(*cpu->getCpuInfo()), (std::vector<std::vector<std::int32_t>>{{25, 25, 50}, {25, 25, 50}}));
  EXPECT_EQ(cpu->cpuTicks()->size(), 2u);
}

TEST_F(CpuInfoTest, FailedTickReadingLeavesZerosNoListAndTheSnapshotAsItWas) {
  source.ticks.push_back(std::vector{T(10, 10, 80, 0)});
  source.ticks.push_back(std::nullopt);
  source.ticks.push_back(std::vector{T(20, 20, 80, 0)});  // 10, 10, 0 since the first sample
  auto cpu = makeCpu();
  cpu->reloadInfo();
  cpu->reloadInfo();
  auto model = cpu->getCpuInfo();
  EXPECT_EQ(overall(*model), (std::vector<std::int32_t>{0, 0, 0}));
  EXPECT_FALSE(model->cpusUsageArr().has_value());
  EXPECT_EQ(*cpu->cpuTicks(), (std::vector{T(10, 10, 80, 0)}));
  cpu->reloadInfo();
  EXPECT_EQ(overall(*cpu->getCpuInfo()), (std::vector<std::int32_t>{50, 50, 0}));
}

TEST_F(CpuInfoTest, EmptyProcessorListGivesNoPerProcessorList) {
  source.ticks.push_back(std::vector<ProcessorTicks>{});
  auto cpu = makeCpu();
  cpu->reloadInfo();
  EXPECT_FALSE(cpu->getCpuInfo()->cpusUsageArr().has_value());
  EXPECT_EQ(overall(*cpu->getCpuInfo()), (std::vector<std::int32_t>{0, 0, 0}));
}

// --- The record --------------------------------------------------------------------------------

TEST_F(CpuInfoTest, RecordCarriesCountsLoadAndBrandAndIsReplacedEachTime) {
  source.ticks.push_back(std::vector{T(1, 1, 2, 0), T(1, 1, 2, 0)});
  auto cpu = makeCpu();
  auto before = cpu->getCpuInfo();
  EXPECT_EQ(before->cpuCount(), 0);
  EXPECT_FALSE(before->brand().has_value());
  cpu->reloadInfo();
  auto first = cpu->getCpuInfo();
  EXPECT_NE(first, before);
  EXPECT_EQ(first->cpuCount(), 2);
  EXPECT_EQ(first->taskCount(), 120);
  EXPECT_EQ(first->threadCount(), 480);
  EXPECT_EQ(first->loadAverage(), (std::vector<double>{1.5, 1.25, 0.75}));
  EXPECT_EQ(first->brand(), "Test CPU");
  EXPECT_FLOAT_EQ(first->temperature(), 45.0f);

  // Nothing carries over: failures in the next cycle show in the new record only.
  source.tasksAnswer.reset();
  source.loadAnswer.reset();
  reader.value = 61.5;
  cpu->reloadInfo();
  auto second = cpu->getCpuInfo();
  EXPECT_EQ(second->taskCount(), 0);
  EXPECT_EQ(second->threadCount(), 0);
  EXPECT_FALSE(second->loadAverage().has_value());
  EXPECT_FALSE(second->cpusUsageArr().has_value());
  EXPECT_FLOAT_EQ(second->temperature(), 61.5f);
  // An earlier holder keeps the earlier values.
  EXPECT_EQ(first->taskCount(), 120);
  ASSERT_TRUE(first->cpusUsageArr().has_value());
  EXPECT_EQ(first->cpusUsageArr()->size(), 2u);
}

TEST(CpuRecordTest, GettersClampToZeroToHundredWhileSettersStoreUnchanged) {
  CpuUsage usage;
  usage.setUser(130);
  usage.setSystem(-5);
  usage.setIdle(42);
  EXPECT_EQ(usage.user(), 100);
  EXPECT_EQ(usage.system(), 0);
  EXPECT_EQ(usage.idle(), 42);
  usage.setUser(100);
  usage.setSystem(0);
  EXPECT_EQ(usage.user(), 100);
  EXPECT_EQ(usage.system(), 0);

  CpuModel model;
  model.setUserUsagePercent(130);
  model.setSystemUsagePercent(-5);
  model.setIdlePercent(101);
  EXPECT_EQ(model.userUsagePercent(), 100);
  EXPECT_EQ(model.systemUsagePercent(), 0);
  EXPECT_EQ(model.idlePercent(), 100);
  // The counts are not percentages: no clamping.
  model.setCpuCount(256);
  model.setThreadCount(-1);
  EXPECT_EQ(model.cpuCount(), 256);
  EXPECT_EQ(model.threadCount(), -1);
}

// --- Temperature --------------------------------------------------------------------------------

TEST_F(CpuInfoTest, TemperatureBelowTwentyReadsAsThirtyEightAndFailureGivesTheCollectorsOwn) {
  struct Case {
    int result;
    std::optional<double> value;
    float expected;
  };
  const Case cases[] = {
      {0, 15.0, 38.0f},           // implausibly low
      {0, 19.999, 38.0f},         //
      {0, 20.0, 20.0f},           // exactly 20.0 stays
      {0, 55.0, 55.0f},           //
      {0, std::nullopt, 38.0f},   // success without writing: the preset 0.0, then the rule
      {-1, 55.0, 0.0f},           // failure: the collector's own temperature, whatever was written
      {-1, std::nullopt, 0.0f},   //
  };
  for (const Case& c : cases) {
    reader.result = c.result;
    reader.value = c.value;
    reader.presets.clear();
    auto cpu = makeCpu();
    cpu->reloadInfo();
    EXPECT_FLOAT_EQ(cpu->getCpuInfo()->temperature(), c.expected) << c.result << " " << c.value.value_or(-1);
    EXPECT_EQ(reader.presets, (std::vector<double>{0.0}));
  }

  // The fallback is taken as stored, without the low-value rule.
  reader.result = -1;
  auto cpu = makeCpu();
  cpu->setTemperature(12.5);
  cpu->reloadInfo();
  EXPECT_FLOAT_EQ(cpu->getCpuInfo()->temperature(), 12.5f);
}

// --- Process-wide caches -----------------------------------------------------------------------

TEST_F(CpuInfoTest, BrandAndCountAreQueriedUntilKnownThenSharedByEveryCollector) {
  source.brandAnswer.reset();
  source.countAnswer.reset();
  auto cpu = makeCpu();
  cpu->reloadInfo();
  EXPECT_EQ(cpu->getCpuInfo()->brand(), "");
  EXPECT_EQ(cpu->getCpuInfo()->cpuCount(), 0);

  // An empty brand and a count of 0 or less are no better than a failure: still unknown.
  source.brandAnswer = "";
  source.countAnswer = 0;
  cpu->reloadInfo();
  EXPECT_EQ(cpu->getCpuInfo()->brand(), "");
  EXPECT_EQ(cpu->getCpuInfo()->cpuCount(), 0);
  EXPECT_EQ(source.brandCalls, 2);
  EXPECT_EQ(source.countCalls, 2);
  source.countAnswer = -1;
  cpu->reloadInfo();
  EXPECT_EQ(cpu->getCpuInfo()->cpuCount(), 0);
  EXPECT_EQ(source.countCalls, 3);

  source.brandAnswer = "Brand A";
  source.countAnswer = 8;
  cpu->reloadInfo();
  source.brandAnswer = "Brand B";
  source.countAnswer = 16;
  cpu->reloadInfo();
  EXPECT_EQ(cpu->getCpuInfo()->brand(), "Brand A");
  EXPECT_EQ(cpu->getCpuInfo()->cpuCount(), 8);
  EXPECT_EQ(source.brandCalls, 4);
  EXPECT_EQ(source.countCalls, 4);

  // A second collector, even over another source, uses the process's values.
  FakeCpuSource other;
  other.brandAnswer = "Other";
  other.countAnswer = 3;
  CpuInfo second(other, reader.fn());
  second.reloadInfo();
  EXPECT_EQ(second.getCpuInfo()->brand(), "Brand A");
  EXPECT_EQ(second.getCpuInfo()->cpuCount(), 8);
  EXPECT_EQ(other.brandCalls, 0);
  EXPECT_EQ(other.countCalls, 0);
}

// --- Over the Linux source ---------------------------------------------------------------------

class CpuInfoOverProcTest : public CpuInfoTest {
 protected:
  void SetUp() override {
    CpuInfoTest::SetUp();
    std::string pattern = (std::filesystem::temp_directory_path() / "trellis-cpu-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    std::filesystem::create_directories(root / "proc" / "1");
    write("proc/loadavg", "0.25 0.50 1.00 3/321 77\n");
    write("proc/cpuinfo", "processor\t: 0\nmodel name\t: Fixture CPU @ 1.00GHz\n");
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    CpuInfoTest::TearDown();
  }
  void write(const std::string& relative, const std::string& text) {
    std::ofstream(root / relative, std::ios::trunc) << text;
  }

  std::filesystem::path root;
};

TEST_F(CpuInfoOverProcTest, SixtyFourBitTicksWrapAsThirtyTwoBitCountersAcrossSamples) {
  linux::ProcCpuSource proc(root.string());
  CpuInfo cpu(proc, reader.fn());
  // user 2^32 - 6 plus nice 6 since boot; system 10 + irq 5 + softirq 5; idle 50 + iowait 10.
  write("proc/stat", "cpu  0 0 0 0\ncpu0 4294967290 6 10 50 10 5 5 0 0 0\n");
  cpu.reloadInfo();
  auto first = cpu.getCpuInfo();
  EXPECT_EQ(first->cpuCount(), 1);
  EXPECT_EQ(first->taskCount(), 1);
  EXPECT_EQ(first->threadCount(), 321);
  EXPECT_EQ(first->brand(), "Fixture CPU @ 1.00GHz");
  EXPECT_EQ(first->loadAverage(), (std::vector<double>{0.25, 0.5, 1.0}));
  // Since boot in single precision: u = 4294967290 + 6 dwarfs s = 20 and d = 60.
  EXPECT_EQ(perProcessor(*first), (std::vector<std::vector<std::int32_t>>{{100, 0, 0}}));

  // The kernel's 64-bit user count passes 2^32: 16 user ticks; system 20, idle 44 (iowait 4).
  write("proc/stat", "cpu  0 0 0 0\ncpu0 4294967306 100 20 90 14 7 13 0 0 0\n");
  cpu.reloadInfo();
  // 16, 20, 44 of 80 -> 20, 25, 55.
  EXPECT_EQ(perProcessor(*cpu.getCpuInfo()), (std::vector<std::vector<std::int32_t>>{{20, 25, 55}}));
  EXPECT_EQ(overall(*cpu.getCpuInfo()), (std::vector<std::int32_t>{20, 25, 55}));

  // A damaged file fails the reading: zeros, no list, and the next good file is measured against
  // the last good one.
  write("proc/stat", "cpu  0 0 0 0\ncpu0 4294967306 100 2");
  cpu.reloadInfo();
  EXPECT_FALSE(cpu.getCpuInfo()->cpusUsageArr().has_value());
  write("proc/stat", "cpu  0 0 0 0\ncpu0 4294967316 100 20 90 14 7 13 0 0 0\n");
  cpu.reloadInfo();
  EXPECT_EQ(perProcessor(*cpu.getCpuInfo()), (std::vector<std::vector<std::int32_t>>{{100, 0, 0}}));
}

}  // namespace
}  // namespace trellis
