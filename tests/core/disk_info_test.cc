// Tests of the disk collector over a scripted `DiskSource` and temperature reader: the record's
// texts, which entries become records, records kept by name across passes and the temperature
// they get, the main-disk rule, and the driver sums with unreadable drivers dropped for good.
#include "metrics/disk_info.h"
#include "support/fake_sources.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace trellis {
namespace {

using testing::FakeDiskSource;


struct Reader {
  int result = 0;
  double value = 41.5;
  int calls = 0;
  DiskInfo::TemperatureReader function() {
    return [this](double* out) {
      ++calls;
      EXPECT_EQ(*out, 0.0) << "the caller presets the output";
      if (result == 0) *out = value;
      return result;
    };
  }
};

// For collectors whose volumes are listed once only: no reading is taken.
Reader unused;

std::vector<std::string> names(const DiskInfo& disk) {
  std::vector<std::string> list;
  for (const auto& record : disk.list()) list.push_back(record->name());
  return list;
}

TEST(DiskModelTest, TextsInDecimalStepsAndTruncatedShare) {
  struct Case {
    std::uint64_t total, free;
    const char* totalText;
    const char* freeText;
    const char* useText;
    const char* percent;
  };
  const Case cases[] = {
      {0, 0, "0 B", "0 B", "0 B", "0%"},
      {500'000'000'000, 125'000'000'000, "500.0 GB", "125.0 GB", "375.0 GB", "75%"},
      {3000, 2000, "3 KB", "2 KB", "1 KB", "33%"},  // 1000 bytes are 1 KB here, not 1000 B
      {1000, 571, "1 KB", "571 B", "429 B", "42%"},
      {1000, 2000, "1 KB", "2 KB", "0 B", "0%"},  // free above total: nothing in use
  };
  for (const Case& c : cases) {
    DiskModel model;
    model.setTotal(c.total);
    model.setFree(c.free);
    SCOPED_TRACE(std::to_string(c.total) + " / " + std::to_string(c.free));
    EXPECT_EQ(model.totalString(), c.totalText);
    EXPECT_EQ(model.freeString(), c.freeText);
    EXPECT_EQ(model.useString(), c.useText);
    EXPECT_EQ(model.usePercentString(), c.percent);
  }
}

TEST(DiskInfoTest, RecordsKeepTheirIdentityAndGetTheReadingFromTheirSecondPass) {
  FakeDiskSource source;
  Reader reader;
  source.entries = {".Spotlight", "MobileBackups", ".", "noCapacity", "undescribed"};
  source.capacities = {{".Spotlight", {1, 1}}, {"MobileBackups", {1, 1}}, {".", {1, 1}}, {"undescribed", {1, 1}}};
  source.add("/", {1000, 400});
  source.add("/media/usb", {64, 32}, /*internal=*/false, /*removable=*/true);

  DiskInfo disk(source, reader.function());
  EXPECT_EQ(names(disk), (std::vector<std::string>{"/", "/media/usb"}));
  EXPECT_EQ(reader.calls, 0) << "records made in this pass get no temperature";
  EXPECT_EQ(disk.list()[0]->temperature(), 0.0f);
  EXPECT_EQ(disk.list()[0]->model(), "Model /");
  EXPECT_EQ(disk.list()[0]->kind(), "apfs");
  EXPECT_EQ(disk.list()[0]->total(), 1000u);
  EXPECT_EQ(disk.list()[0]->free(), 400u);
  EXPECT_EQ(source.describeCalls.count(".Spotlight") + source.describeCalls.count("MobileBackups") +
                source.describeCalls.count("noCapacity"),
            0u);
  const auto root = disk.list()[0];
  const auto usb = disk.list()[1];

  source.capacities["/"] = {1000, 300};
  source.add("/Volumes/new", {10, 5});
  disk.reloadInfo();
  EXPECT_EQ(names(disk), (std::vector<std::string>{"/", "/media/usb", "/Volumes/new"}));
  EXPECT_EQ(disk.list()[0], root);
  EXPECT_EQ(disk.list()[1], usb);
  EXPECT_EQ(root->free(), 300u);
  EXPECT_EQ(root->temperature(), 41.5f);
  EXPECT_EQ(usb->temperature(), 41.5f) << "every known volume gets the same reading";
  EXPECT_EQ(disk.list()[2]->temperature(), 0.0f) << "a new volume waits for the next pass";
  EXPECT_EQ(reader.calls, 2);
  EXPECT_EQ(source.describeCalls["/"], 1) << "a known volume is described once";
  EXPECT_EQ(source.describeCalls["undescribed"], 2) << "a volume that could not be described is tried again";

  reader.value = 43.25;
  disk.reloadInfo();
  EXPECT_EQ(disk.list()[2]->temperature(), 43.25f);

  // A failing reader gives the collector's fallback; a gone volume's record goes.
  reader.result = -1;
  disk.setTemperature(12.5);
  source.entries = {"/"};
  EXPECT_EQ(disk.getAllDisks().size(), 1u);
  EXPECT_EQ(root->temperature(), 12.5f);

  source.entries = std::nullopt;
  disk.reloadInfo();
  EXPECT_TRUE(disk.list().empty());
  EXPECT_EQ(disk.getMainDisk(), nullptr);
}

TEST(DiskInfoTest, MainDiskIsTheFirstInternalFixedVolume) {
  struct Case {
    bool internal, removable, main;
  };
  for (const Case& c : {Case{true, false, true}, Case{true, true, false}, Case{false, false, false},
                        Case{false, true, false}}) {
    FakeDiskSource source;
    source.add("/v", {1, 1}, c.internal, c.removable);
    DiskInfo disk(source, unused.function());
    ASSERT_EQ(disk.list().size(), 1u);
    EXPECT_EQ(disk.list()[0]->isMain(), c.main) << c.internal << c.removable;
    EXPECT_EQ(disk.list()[0]->isRemovable(), c.removable);
    EXPECT_EQ(disk.getMainDisk() != nullptr, c.main);
  }

  FakeDiskSource source;
  source.add("/media/stick", {1, 1}, false, true);
  source.add("/", {1, 1});
  source.add("/home", {1, 1});
  DiskInfo disk(source, unused.function());
  EXPECT_EQ(disk.getMainDisk()->name(), "/");
}

TEST(DiskInfoTest, AVolumeNamedOtherThanItsEntryGetsAFreshRecordEveryPass) {
  FakeDiskSource source;
  source.add("/mnt/x", {1, 1});
  source.described["/mnt/x"].volumeName = "X";
  Reader reader;
  DiskInfo disk(source, reader.function());
  const auto first = disk.list().at(0);
  EXPECT_EQ(first->name(), "X");
  disk.reloadInfo();
  EXPECT_NE(disk.list().at(0), first);
  EXPECT_EQ(disk.list().at(0)->temperature(), 0.0f);
  EXPECT_EQ(reader.calls, 0);
}

TEST(DiskInfoTest, UnreadableDriversAreDroppedForGoodAndTheRestStillCounted) {
  FakeDiskSource source;
  source.matched = std::vector<DriverHandle>{1, 2, 3, 4, 5};
  source.counters = {{1, DriverCounters{100, 1000}},
                     {4, DriverCounters{20, std::nullopt}},
                     {5, DriverCounters{3, 30}}};
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  {
    DiskInfo disk(source, unused.function());
    const auto handler = [&](std::uint64_t r, std::uint64_t w) { calls.emplace_back(r, w); };
    disk.getReadAndWriteBytesWithHandler(handler);
    EXPECT_EQ(source.reads, (std::vector<DriverHandle>{1, 2, 3, 4, 5}));
    EXPECT_EQ(source.released, (std::vector<DriverHandle>{2, 3}));
    EXPECT_EQ(disk.drivers(), (std::vector<DriverHandle>{1, 4, 5}));

    source.counters[2] = DriverCounters{1, 1};  // back again, but dropped already
    source.counters[5] = DriverCounters{std::uint64_t{1} << 63, std::uint64_t{1} << 63};
    source.counters[1] = DriverCounters{std::uint64_t{1} << 63, std::uint64_t{1} << 63};
    disk.getReadAndWriteBytesWithHandler(handler);
    disk.getReadAndWriteBytesWithHandler(nullptr);
  }
  EXPECT_EQ(calls, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{123, 1030}, {20, 0}}))
      << "sums wrap modulo 2^64";
  EXPECT_EQ(source.released, (std::vector<DriverHandle>{2, 3, 1, 4, 5})) << "destruction gives back the rest";
}

TEST(DiskInfoTest, DriverListingThatFailsLeavesNoDriversAndZeroSums) {
  FakeDiskSource source;
  source.matched = std::nullopt;
  DiskInfo disk(source, unused.function());
  int calls = 0;
  disk.getReadAndWriteBytesWithHandler([&](std::uint64_t r, std::uint64_t w) {
    ++calls;
    EXPECT_EQ(r + w, 0u);
  });
  EXPECT_EQ(calls, 1);

  source.matched = std::vector<DriverHandle>{7};
  disk.getAllDrivers();
  source.matched = std::vector<DriverHandle>{8, 9};
  disk.getAllDrivers();
  EXPECT_EQ(source.released, (std::vector<DriverHandle>{7})) << "a new listing gives back the old handles";
  EXPECT_EQ(disk.drivers(), (std::vector<DriverHandle>{8, 9}));
  disk.releaseAllDrivers();
  EXPECT_TRUE(disk.drivers().empty());
}

}  // namespace
}  // namespace trellis
