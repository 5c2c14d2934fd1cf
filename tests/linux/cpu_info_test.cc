// The CPU collector over a scripted `CpuSource` and temperature reader: the usage shares of first
// and later samples (worked out by hand beside each case), wrapped counters, processor count
// changes, the clamping getters, the temperature fallbacks and the process-wide caches; then the
// collector over the Linux source on a /proc tree the test rewrites. Test thread only.
#include "metrics/cpu_info.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/metrics/cpu_source.h"
#include "support/fake_sources.h"
#include "support/temp_tree.h"

namespace trellis {
namespace {

using testing::FakeCpuSource;
using testing::Ticks;

using Shares = std::vector<std::vector<std::int32_t>>;


ProcessorTicks T(std::uint32_t user, std::uint32_t system, std::uint32_t idle, std::uint32_t nice) {
  return {user, system, idle, nice};
}

// Each processor's shares, then the overall ones last.
Shares shares(const CpuModel& model) {
  Shares out;
  for (const auto& usage : model.cpusUsageArr().value_or(std::vector<std::shared_ptr<CpuUsage>>{})) {
    out.push_back({usage->user(), usage->system(), usage->idle()});
  }
  out.push_back({model.userUsagePercent(), model.systemUsagePercent(), model.idlePercent()});
  return out;
}

class CpuInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { CpuInfo::resetProcessCachesForTesting(); }
  void TearDown() override { CpuInfo::resetProcessCachesForTesting(); }
  // A reader that returns `result` and writes `value` when set, recording what it was handed.
  CpuInfo::TemperatureReader reader(int result = 0, std::optional<double> value = 45.0) {
    return [this, result, value](double* out) {
      presets.push_back(*out);
      if (value) *out = *value;
      return result;
    };
  }

  FakeCpuSource source;
  std::vector<double> presets;
};

TEST_F(CpuInfoTest, UsageSharesOfEachSample) {
  // clang-format off
  const Ticks twoProcessors = std::vector{T(60, 40, 280, 20), T(100, 100, 0, 0)};
  const Ticks ten = std::vector{T(10, 10, 80, 0), T(20, 20, 60, 0)};
  const Ticks three = std::vector{T(30, 10, 50, 10), T(20, 20, 60, 0), T(5, 5, 10, 0)};
  const std::tuple<const char*, std::vector<Ticks>, Shares> rows[] = {
      // Since boot, nice as user; overall weighted by ticks. cpu0: 80, 40, 280 of 400; cpu1: 100, 100,
      // 0 of 200; overall 180, 140, 280 of 600: 23.3 and 46.7 round (the mean of shares: 35, 30, 35).
      {"first sample", {twoProcessors}, {{20, 10, 70}, {50, 50, 0}, {30, 23, 47}}},
      // The interval, nice left out. cpu0: 10, 10, 80 (with nice 40, 7, 53); cpu1: 30, 10, 60.
      {"later sample", {twoProcessors, std::vector{T(70, 50, 360, 70), T(130, 110, 60, 0)}},
       {{10, 10, 80}, {30, 10, 60}, {20, 10, 70}}},
      // Modulo 2^32: user 0xFFFFFFF0 -> 0x10 is 32 ticks, idle 128, system 32: 16.7, 16.7, 66.7.
      {"wrapped counters", {std::vector{T(0xFFFFFFF0u, 100, 0xFFFFFFC0u, 0xFFFFFFFFu)}, std::vector{T(0x10u, 132, 0x40u, 5)}},
       {{17, 17, 67}, {17, 17, 67}}},
      // cpu0 unchanged; cpu1 gains 5, 5, 10, which is also the overall share.
      {"unchanged ticks", {ten, std::vector{T(10, 10, 80, 9), T(25, 25, 70, 0)}}, {{0, 0, 0}, {25, 25, 50}, {25, 25, 50}}},
      {"nothing changed but nice", {ten, std::vector{T(10, 10, 80, 9), T(25, 25, 70, 0)}, std::vector{T(10, 10, 80, 12), T(25, 25, 70, 0)}},
       {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}},
      {"no ticks since boot", {std::vector{T(0, 0, 0, 0), T(1, 1, 2, 0)}}, {{0, 0, 0}, {25, 25, 50}, {25, 25, 50}}},
      // A third processor: since boot again (cpu0 40, 10, 50 with nice; overall 65, 35, 120 of 220);
      // then intervals against it; back to two: since boot once more, no read past the smaller list.
      {"a processor comes online", {ten, three}, {{40, 10, 50}, {20, 20, 60}, {25, 25, 50}, {30, 16, 55}}},
      {"then an interval", {ten, three, std::vector{T(40, 20, 70, 10), T(20, 20, 60, 0), T(6, 6, 12, 0)}},
       {{25, 25, 50}, {0, 0, 0}, {25, 25, 50}, {25, 25, 50}}},
      {"back to two", {ten, three, std::vector{T(40, 20, 70, 10), T(20, 20, 60, 0), T(6, 6, 12, 0)}, std::vector{T(50, 50, 100, 0), T(1, 1, 2, 0)}},
       {{25, 25, 50}, {25, 25, 50}, {25, 25, 50}}},
      // A failed reading: zeros and no list; the next is measured against the last good one.
      {"failed reading", {std::vector{T(10, 10, 80, 0)}, std::nullopt}, {{0, 0, 0}}},
      {"after a failed reading", {std::vector{T(10, 10, 80, 0)}, std::nullopt, std::vector{T(20, 20, 80, 0)}},
       {{50, 50, 0}, {50, 50, 0}}},
      {"no processors", {std::vector<ProcessorTicks>{}}, {{0, 0, 0}}},
  };
  // clang-format on
  for (const auto& [name, samples, expected] : rows) {
    source.ticks.assign(samples.begin(), samples.end());
    CpuInfo cpu(source, reader());
    for (std::size_t i = 0; i < samples.size(); ++i) cpu.reloadInfo();
    EXPECT_EQ(shares(*cpu.getCpuInfo()), expected) << name;
    Ticks lastGood;
    for (const Ticks& sample : samples) lastGood = sample ? sample : lastGood;
    EXPECT_EQ(cpu.cpuTicks(), lastGood) << name;
  }
}

TEST_F(CpuInfoTest, PercentagesRoundHalvesAwayFromZero) {
  // Eighths are exact in single precision: 1/8 is 12.5 -> 13 (not 12), 3/8 -> 38, 5/8 -> 63; the
  // shares may add up to 101. Overall 6, 5, 5 of 16: 37.5 -> 38, 31.25 -> 31.
  source.ticks.push_back(std::vector{T(1, 3, 4, 0), T(5, 2, 1, 0)});
  CpuInfo cpu(source, reader());
  auto usage = cpu.getCpuUsage();
  ASSERT_TRUE(usage.has_value());
  using Triple = CpuInfo::UsageTriple;
  EXPECT_EQ(usage->perProcessor, (std::vector<Triple>{{13.0f, 38.0f, 50.0f}, {63.0f, 25.0f, 13.0f}}));
  EXPECT_EQ(usage->overall, (Triple{38.0f, 31.0f, 31.0f}));
}

TEST_F(CpuInfoTest, RecordCarriesCountsLoadAndBrandAndIsReplacedEachTime) {
  source.ticks.push_back(std::vector{T(1, 1, 2, 0), T(1, 1, 2, 0)});
  double temperature = 45.0;
  CpuInfo cpu(source, [&](double* out) {
    *out = temperature;
    return 0;
  });
  auto before = cpu.getCpuInfo();
  EXPECT_EQ(before->cpuCount(), 0);
  EXPECT_FALSE(before->brand().has_value());
  cpu.reloadInfo();
  auto first = cpu.getCpuInfo();
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
  temperature = 61.5;
  cpu.reloadInfo();
  auto second = cpu.getCpuInfo();
  EXPECT_EQ(second->taskCount() + second->threadCount(), 0);
  EXPECT_FALSE(second->loadAverage().has_value());
  EXPECT_FALSE(second->cpusUsageArr().has_value());
  EXPECT_FLOAT_EQ(second->temperature(), 61.5f);
  EXPECT_EQ(first->taskCount(), 120) << "an earlier holder keeps the earlier values";
  EXPECT_EQ(shares(*first).size(), 3u);
}

TEST(CpuRecordTest, GettersClampToZeroToHundredWhileSettersStoreUnchanged) {
  CpuUsage usage;
  usage.setUser(130);
  usage.setSystem(-5);
  usage.setIdle(42);
  EXPECT_EQ(std::vector({usage.user(), usage.system(), usage.idle()}), (std::vector{100, 0, 42}));
  CpuModel model;
  model.setUserUsagePercent(130);
  model.setSystemUsagePercent(-5);
  model.setIdlePercent(101);
  EXPECT_EQ(shares(model), (Shares{{100, 0, 100}}));
  model.setUserUsagePercent(100);
  model.setSystemUsagePercent(0);
  EXPECT_EQ(shares(model), (Shares{{100, 0, 100}}));
  // The counts are not percentages: no clamping.
  model.setCpuCount(256);
  model.setThreadCount(-1);
  EXPECT_EQ(model.cpuCount(), 256);
  EXPECT_EQ(model.threadCount(), -1);
}

TEST_F(CpuInfoTest, TemperatureBelowTwentyReadsAsThirtyEightAndFailureGivesTheCollectorsOwn) {
  // The reader's result and the value it writes (none: it leaves the preset 0.0), what is shown.
  const std::tuple<int, std::optional<double>, float> rows[] = {
      {0, 15.0, 38.0f},         {0, 19.999, 38.0f}, {0, 20.0, 20.0f},         {0, 55.0, 55.0f},
      {0, std::nullopt, 38.0f}, {-1, 55.0, 0.0f},   {-1, std::nullopt, 0.0f},
  };
  for (const auto& [result, value, expected] : rows) {
    presets.clear();
    CpuInfo cpu(source, reader(result, value));
    cpu.reloadInfo();
    EXPECT_FLOAT_EQ(cpu.getCpuInfo()->temperature(), expected) << result << " " << value.value_or(-1);
    EXPECT_EQ(presets, (std::vector<double>{0.0}));
  }
  // The collector's own is taken as stored, without the low-value rule.
  CpuInfo cpu(source, reader(-1));
  cpu.setTemperature(12.5);
  cpu.reloadInfo();
  EXPECT_FLOAT_EQ(cpu.getCpuInfo()->temperature(), 12.5f);
}

TEST_F(CpuInfoTest, BrandAndCountAreQueriedUntilKnownThenSharedByEveryCollector) {
  CpuInfo cpu(source, reader());
  // A failure, an empty brand or a count of 0 or less leaves them unknown, and asked again.
  const std::tuple<std::optional<std::string>, std::optional<std::int32_t>> unknown[] = {
      {std::nullopt, std::nullopt}, {"", 0}, {"", -1}};
  for (const auto& [brand, count] : unknown) {
    source.brandAnswer = brand;
    source.countAnswer = count;
    cpu.reloadInfo();
    EXPECT_EQ(cpu.getCpuInfo()->brand(), "");
    EXPECT_EQ(cpu.getCpuInfo()->cpuCount(), 0);
  }
  EXPECT_EQ(source.brandCalls + source.countCalls, 6);
  source.brandAnswer = "Brand A";
  source.countAnswer = 8;
  cpu.reloadInfo();
  source.brandAnswer = "Brand B";
  source.countAnswer = 16;
  cpu.reloadInfo();
  EXPECT_EQ(cpu.getCpuInfo()->brand(), "Brand A");
  EXPECT_EQ(cpu.getCpuInfo()->cpuCount(), 8);
  EXPECT_EQ(source.brandCalls + source.countCalls, 8);

  // A second collector, even over another source, uses the process's values.
  FakeCpuSource other;
  CpuInfo second(other, reader());
  second.reloadInfo();
  EXPECT_EQ(second.getCpuInfo()->brand(), "Brand A");
  EXPECT_EQ(second.getCpuInfo()->cpuCount(), 8);
  EXPECT_EQ(other.brandCalls + other.countCalls, 0);
}

TEST_F(CpuInfoTest, OverProcSixtyFourBitTicksWrapAsThirtyTwoBitCountersAcrossSamples) {
  testing::TempTree tree;
  tree.write("proc/1/.keep", "");
  tree.write("proc/loadavg", "0.25 0.50 1.00 3/321 77\n");
  tree.write("proc/cpuinfo", "processor\t: 0\nmodel name\t: Fixture CPU @ 1.00GHz\n");
  lnx::ProcCpuSource proc(tree.root());
  CpuInfo cpu(proc, reader());
  // User 2^32 - 6 plus nice 6 since boot dwarfs system 10 + irq 5 + softirq 5 and idle 50 + iowait
  // 10 in single precision.
  tree.write("proc/stat", "cpu  0 0 0 0\ncpu0 4294967290 6 10 50 10 5 5 0 0 0\n");
  cpu.reloadInfo();
  auto first = cpu.getCpuInfo();
  EXPECT_EQ(first->cpuCount(), 1);
  EXPECT_EQ(first->taskCount(), 1);
  EXPECT_EQ(first->threadCount(), 321);
  EXPECT_EQ(first->brand(), "Fixture CPU @ 1.00GHz");
  EXPECT_EQ(first->loadAverage(), (std::vector<double>{0.25, 0.5, 1.0}));
  EXPECT_EQ(shares(*first), (Shares{{100, 0, 0}, {100, 0, 0}}));
  // The kernel's 64-bit user count passes 2^32: 16 user ticks; system 20, idle 44 (iowait 4).
  tree.write("proc/stat", "cpu  0 0 0 0\ncpu0 4294967306 100 20 90 14 7 13 0 0 0\n");
  cpu.reloadInfo();
  EXPECT_EQ(shares(*cpu.getCpuInfo()), (Shares{{20, 25, 55}, {20, 25, 55}}));
  // A damaged file fails the reading; the next good one is measured against the last good one.
  tree.write("proc/stat", "cpu  0 0 0 0\ncpu0 4294967306 100 2");
  cpu.reloadInfo();
  EXPECT_EQ(shares(*cpu.getCpuInfo()), (Shares{{0, 0, 0}}));
  tree.write("proc/stat", "cpu  0 0 0 0\ncpu0 4294967316 100 20 90 14 7 13 0 0 0\n");
  cpu.reloadInfo();
  EXPECT_EQ(shares(*cpu.getCpuInfo()), (Shares{{100, 0, 0}, {100, 0, 0}}));
}

}  // namespace
}  // namespace trellis
