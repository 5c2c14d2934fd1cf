// The CPU collector over a scripted source and temperature reader: usage shares of first and later
// samples (worked out by hand beside each case), the record each reading makes, the clamping
// getters, the temperature rules and the process-wide brand and count. Test thread only.
#include "metrics/cpu_info.h"

#include <gtest/gtest.h>

#include "support/fake_sources.h"

namespace trellis {
namespace {

using Shares = std::vector<std::vector<std::int32_t>>;
using testing::Ticks;

ProcessorTicks T(std::uint32_t user, std::uint32_t system, std::uint32_t idle, std::uint32_t nice) {
  return {user, system, idle, nice};
}

// Each processor's shares, then the overall ones.
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
  // A reader that returns `result`, writing `value` when there is one.
  static CpuInfo::TemperatureReader reader(int result = 0, std::optional<double> value = 45.0) {
    return [result, value](double* out) {
      EXPECT_EQ(*out, 0.0) << "the collector presets 0.0";
      if (value) *out = *value;
      return result;
    };
  }

  testing::FakeCpuSource source;
};

TEST_F(CpuInfoTest, UsageSharesOfEachSample) {
  // clang-format off
  const Ticks two = std::vector{T(60, 40, 280, 20), T(100, 100, 0, 0)};
  const Ticks ten = std::vector{T(10, 10, 80, 0), T(20, 20, 60, 0)};
  const Ticks three = std::vector{T(30, 10, 50, 10), T(20, 20, 60, 0), T(5, 5, 10, 0)};
  const Ticks threeLater = std::vector{T(40, 20, 70, 10), T(20, 20, 60, 0), T(6, 6, 12, 0)};
  const std::tuple<const char*, std::vector<Ticks>, Shares> rows[] = {
      // Since boot, nice as user; overall weighted by ticks. cpu0: 80, 40, 280 of 400; cpu1: 100, 100,
      // 0 of 200; overall 180, 140, 280 of 600: 23.3 and 46.7 round (the mean of shares: 35, 30, 35).
      {"first sample", {two}, {{20, 10, 70}, {50, 50, 0}, {30, 23, 47}}},
      // The interval, nice left out. cpu0: 10, 10, 80 (with nice 40, 7, 53); cpu1: 30, 10, 60.
      {"later sample", {two, std::vector{T(70, 50, 360, 70), T(130, 110, 60, 0)}}, {{10, 10, 80}, {30, 10, 60}, {20, 10, 70}}},
      // Modulo 2^32: user 0xFFFFFFF0 -> 0x10 is 32 ticks, idle 128, system 32: 16.7, 16.7, 66.7.
      {"wrapped counters", {std::vector{T(0xFFFFFFF0u, 100, 0xFFFFFFC0u, 0xFFFFFFFFu)}, std::vector{T(0x10u, 132, 0x40u, 5)}},
       {{17, 17, 67}, {17, 17, 67}}},
      // cpu0 unchanged but nice: all zero; cpu1 gains 5, 5, 10, which is also the overall share.
      {"unchanged ticks", {ten, std::vector{T(10, 10, 80, 9), T(25, 25, 70, 0)}}, {{0, 0, 0}, {25, 25, 50}, {25, 25, 50}}},
      // A third processor: since boot again (cpu0 40, 10, 50 with nice; overall 65, 35, 120 of 220);
      // then an interval against it; back to two: since boot once more.
      {"a processor comes online", {ten, three}, {{40, 10, 50}, {20, 20, 60}, {25, 25, 50}, {30, 16, 55}}},
      {"then an interval", {ten, three, threeLater}, {{25, 25, 50}, {0, 0, 0}, {25, 25, 50}, {25, 25, 50}}},
      {"back to two", {ten, three, threeLater, std::vector{T(50, 50, 100, 0), T(1, 1, 2, 0)}},
       {{25, 25, 50}, {25, 25, 50}, {25, 25, 50}}},
      // A failed reading: zeros and no list; the next is measured against the last good one.
      {"failed reading", {std::vector{T(10, 10, 80, 0)}, std::nullopt}, {{0, 0, 0}}},
      {"after a failed reading", {std::vector{T(10, 10, 80, 0)}, std::nullopt, std::vector{T(20, 20, 80, 0)}},
       {{50, 50, 0}, {50, 50, 0}}},
  };
  // clang-format on
  for (const auto& [name, samples, expected] : rows) {
    source.ticks.assign(samples.begin(), samples.end());
    CpuInfo cpu(source, reader());
    Shares last;  // made after every reading: a record filled again must not keep the list before
    for (std::size_t i = 0; i < samples.size(); ++i) {
      cpu.reloadInfo();
      last = shares(*cpu.getCpuInfo());
    }
    EXPECT_EQ(last, expected) << name;
  }
  // Eighths are exact in single precision, and halves round away from zero: 1/8 is 13, 3/8 is 38.
  source.ticks.push_back(std::vector{T(1, 3, 4, 0), T(5, 2, 1, 0)});
  CpuInfo cpu(source, reader());
  using Triple = CpuInfo::UsageTriple;
  const auto usage = cpu.getCpuUsage();
  ASSERT_TRUE(usage.has_value());
  EXPECT_EQ(usage->perProcessor, (std::vector<Triple>{{13.0f, 38.0f, 50.0f}, {63.0f, 25.0f, 13.0f}}));
  EXPECT_EQ(usage->overall, (Triple{38.0f, 31.0f, 31.0f}));  // 6, 5, 5 of 16
}

TEST_F(CpuInfoTest, EachReadingMakesANewRecordOfCountsLoadBrandAndTemperature) {
  source.ticks = {std::vector{T(1, 1, 2, 0), T(1, 1, 2, 0)}};
  CpuInfo cpu(source, reader());
  cpu.reloadInfo();
  const auto first = cpu.getCpuInfo();
  EXPECT_EQ((std::vector{first->cpuCount(), first->taskCount(), first->threadCount()}), (std::vector{2, 120, 480}));
  EXPECT_EQ(first->loadAverage(), (std::vector<double>{1.5, 1.25, 0.75}));
  EXPECT_EQ(first->brand(), "Test CPU");
  EXPECT_EQ(first->temperature(), 45.0f);

  // Nothing carries over: failures show in the new record only.
  source.tasksAnswer.reset();
  source.loadAnswer.reset();
  cpu.reloadInfo();
  const auto second = cpu.getCpuInfo();
  EXPECT_EQ(second->taskCount() + second->threadCount(), 0);
  EXPECT_FALSE(second->loadAverage().has_value());
  EXPECT_EQ(first->taskCount(), 120) << "an earlier holder keeps the earlier values";

  // The getters clamp to 0..100; the setters store what they are given; counts are not clamped.
  CpuUsage usage;
  usage.setUser(130);
  usage.setSystem(-5);
  usage.setIdle(101);
  CpuModel model;
  model.setUserUsagePercent(130);
  model.setSystemUsagePercent(-5);
  model.setIdlePercent(101);
  model.setCpusUsageArr(std::vector{std::make_shared<CpuUsage>(usage)});
  EXPECT_EQ(shares(model), (Shares{{100, 0, 100}, {100, 0, 100}}));
  model.setThreadCount(-1);
  EXPECT_EQ(model.threadCount(), -1);
}

TEST_F(CpuInfoTest, TemperatureBelowTwentyReadsAsThirtyEightAndAFailedReadingAsTheCollectorsOwn) {
  // The reader's result and the value it writes (none: the preset 0.0 stays), what is shown; the
  // collector's own value, 12.5, is taken as it is.
  const std::tuple<int, std::optional<double>, float> rows[] = {
      {0, 19.999, 38.0f}, {0, 20.0, 20.0f}, {0, 55.0, 55.0f}, {0, std::nullopt, 38.0f}, {-1, 55.0, 12.5f}};
  for (const auto& [result, value, expected] : rows) {
    CpuInfo cpu(source, reader(result, value));
    cpu.setTemperature(12.5);
    cpu.reloadInfo();
    EXPECT_EQ(cpu.getCpuInfo()->temperature(), expected) << result << " " << value.value_or(-1);
  }
}

TEST_F(CpuInfoTest, BrandAndCountAreAskedForUntilKnownThenSharedByEveryCollector) {
  CpuInfo cpu(source, reader());
  // A failure, an empty brand or a count of 0 or less leaves them unknown, and asked again.
  const std::pair<std::optional<std::string>, std::optional<std::int32_t>> unknown[] = {
      {std::nullopt, std::nullopt}, {"", 0}, {"", -1}};
  for (const auto& [brand, count] : unknown) {
    source.brandAnswer = brand;
    source.countAnswer = count;
    cpu.reloadInfo();
    EXPECT_EQ(cpu.getCpuInfo()->brand(), "");
    EXPECT_EQ(cpu.getCpuInfo()->cpuCount(), 0);
  }
  source.brandAnswer = "Brand A";
  source.countAnswer = 8;
  cpu.reloadInfo();
  source.brandAnswer = "Brand B";
  source.countAnswer = 16;
  cpu.reloadInfo();
  EXPECT_EQ(cpu.getCpuInfo()->brand(), "Brand A");
  EXPECT_EQ(cpu.getCpuInfo()->cpuCount(), 8);
  EXPECT_EQ(source.brandCalls + source.countCalls, 8);

  testing::FakeCpuSource other;
  CpuInfo second(other, reader());
  second.reloadInfo();
  EXPECT_EQ(second.getCpuInfo()->brand(), "Brand A");
  EXPECT_EQ(second.getCpuInfo()->cpuCount(), 8);
  EXPECT_EQ(other.brandCalls + other.countCalls, 0);
}

}  // namespace
}  // namespace trellis
