// The disk collector over a scripted source and temperature reader (the record's texts are in
// memory_info_test.cc): which entries become records, records kept by name across passes and the reading they get, the main
// disk, and the driver sums with unreadable drivers dropped for good.
#include "metrics/disk_info.h"

#include <gtest/gtest.h>

#include "support/fake_sources.h"

namespace trellis {
namespace {

using Handles = std::vector<DriverHandle>;

// Each record as "name model kind free/total temperature", plus "main" or "removable".
std::vector<std::string> records(DiskInfo& disk) {
  std::vector<std::string> out;
  for (const auto& r : disk.list()) {
    char temperature[16];
    std::snprintf(temperature, sizeof temperature, "%g", r->temperature());
    out.push_back(r->name() + " " + r->model() + " " + r->kind() + " " + std::to_string(r->free()) + "/" +
                  std::to_string(r->total()) + " " + temperature + (r->isMain() ? " main" : "") +
                  (r->isRemovable() ? " removable" : ""));
  }
  return out;
}

TEST(DiskInfoTest, RecordsAreKeptByNameAndGetTheReadingFromTheirSecondPass) {
  testing::FakeDiskSource source;
  source.entries = {".Spotlight", "MobileBackups", "noCapacity", "undescribed"};
  source.capacities = {{".Spotlight", {1, 1}}, {"MobileBackups", {1, 1}}, {"undescribed", {1, 1}}};
  source.add("/", {1000, 400});
  source.add("/media/usb", {64, 32}, /*internal=*/false, /*removable=*/true);
  source.add("/mnt/x", {8, 4});
  source.described["/mnt/x"].volumeName = "X";  // named other than its entry: a new record every pass
  int result = 0;
  double reading = 41.5;
  DiskInfo disk(source, [&](double* out) {
    EXPECT_EQ(*out, 0.0) << "the caller presets the output";
    if (result == 0) *out = reading;
    return result;
  });
  ASSERT_EQ(records(disk), (std::vector<std::string>{"/ Model / apfs 400/1000 0 main", "/media/usb Model /media/usb apfs 32/64 0 removable",
                                                      "X Model /mnt/x apfs 4/8 0 main"}));
  EXPECT_EQ(source.describeCalls.count(".Spotlight") + source.describeCalls.count("MobileBackups"), 0u);
  const auto root = disk.list()[0];

  source.capacities["/"] = {1000, 300};
  source.add("/Volumes/new", {10, 5}, true, true);
  disk.reloadInfo();
  EXPECT_EQ(records(disk), (std::vector<std::string>{"/ Model / apfs 300/1000 41.5 main", "/media/usb Model /media/usb apfs 32/64 41.5 removable",
                                                      "X Model /mnt/x apfs 4/8 0 main", "/Volumes/new Model /Volumes/new apfs 5/10 0 removable"}));
  EXPECT_EQ(source.describeCalls["/"], 1) << "a known volume is described once";
  EXPECT_EQ(source.describeCalls["undescribed"], 2) << "a volume that could not be described is tried again";
  EXPECT_EQ(disk.getMainDisk(), root) << "the first internal fixed volume";

  // A failing reader gives the collector's own value; a gone volume's record goes.
  reading = 43.25;
  disk.reloadInfo();
  EXPECT_EQ(disk.list()[3]->temperature(), 43.25f);
  result = -1;
  disk.setTemperature(12.5);
  source.entries = {"/Volumes/new", "/"};
  EXPECT_EQ(disk.getAllDisks().size(), 2u);
  EXPECT_EQ(records(disk), (std::vector<std::string>{"/Volumes/new Model /Volumes/new apfs 5/10 12.5 removable",
                                                      "/ Model / apfs 300/1000 12.5 main"}));
  source.entries = std::nullopt;
  disk.reloadInfo();
  EXPECT_TRUE(disk.list().empty());
  EXPECT_EQ(disk.getMainDisk(), nullptr);
}

TEST(DiskInfoTest, UnchangedEntriesLeaveTheCapacitiesUntilAskedFor) {
  testing::FakeDiskSource source;
  source.add("/", {1000, 400});
  source.add("/media/usb", {64, 32}, /*internal=*/false, /*removable=*/true);
  int readings = 0;
  DiskInfo disk(source, [&](double* out) {
    ++readings;
    *out = 41.5;
    return 0;
  });
  source.unchanged = true;
  source.capacities["/"] = {1000, 300};
  const int calls = source.capacityCalls;
  disk.reloadInfo();
  EXPECT_EQ(source.capacityCalls, calls) << "the cycle reads no capacity";
  EXPECT_EQ(disk.mainDiskTemperature(), 41.5f);
  EXPECT_TRUE(disk.temperatureMeasured());
  EXPECT_EQ(readings, 2) << "one reading per record";
  EXPECT_EQ(records(disk), (std::vector<std::string>{"/ Model / apfs 300/1000 41.5 main",
                                                      "/media/usb Model /media/usb apfs 32/64 41.5 removable"}));
  EXPECT_EQ(disk.getMainDisk()->free(), 300u);
  EXPECT_EQ(source.capacityCalls, calls + 2) << "read once when asked for";

  // A capacity that cannot be asked any more leaves its volume out, as a whole pass does; the
  // pass after that is a whole one again.
  source.capacities.erase("/media/usb");
  disk.reloadInfo();
  EXPECT_EQ(records(disk), std::vector<std::string>{"/ Model / apfs 300/1000 41.5 main"});
  source.capacities["/media/usb"] = {64, 16};
  disk.reloadInfo();
  EXPECT_EQ(records(disk), (std::vector<std::string>{"/ Model / apfs 300/1000 41.5 main",
                                                      "/media/usb Model /media/usb apfs 16/64 0 removable"}));
}

TEST(DiskInfoTest, UnreadableDriversAreDroppedForGoodAndTheRestSummedModulo2To64) {
  testing::FakeDiskSource source;
  source.matched = Handles{1, 2, 3, 4, 5};
  source.counters = {{1, DriverCounters{100, 1000}}, {4, DriverCounters{20, std::nullopt}}, {5, DriverCounters{3, 30}}};
  std::vector<std::pair<std::uint64_t, std::uint64_t>> sums;
  {
    DiskInfo disk(source, [](double*) { return 0; });
    const auto handler = [&](std::uint64_t r, std::uint64_t w) { sums.emplace_back(r, w); };
    disk.getReadAndWriteBytesWithHandler(handler);
    EXPECT_EQ(source.reads, (Handles{1, 2, 3, 4, 5}));
    EXPECT_EQ(source.released, (Handles{2, 3}));
    EXPECT_EQ(disk.drivers(), (Handles{1, 4, 5}));

    source.counters[2] = DriverCounters{1, 1};  // back again, but dropped already
    source.counters[1] = source.counters[5] = DriverCounters{std::uint64_t{1} << 63, std::uint64_t{1} << 63};
    disk.getReadAndWriteBytesWithHandler(handler);
    disk.getReadAndWriteBytesWithHandler(nullptr);

    // A listing that fails keeps the drivers; a new one gives back the old handles.
    source.matched = std::nullopt;
    disk.getAllDrivers();
    EXPECT_EQ(disk.drivers(), (Handles{1, 4, 5}));
    source.matched = Handles{7, 0};
    disk.getAllDrivers();
    EXPECT_EQ(source.released, (Handles{2, 3, 1, 4, 5}));
  }
  EXPECT_EQ(sums, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{123, 1030}, {20, 0}}));
  EXPECT_EQ(source.released, (Handles{2, 3, 1, 4, 5, 7})) << "destruction gives back the rest, never handle 0";
}

}  // namespace
}  // namespace trellis
