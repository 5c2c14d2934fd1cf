// `trellis metrics disk` output, JSON and the table for people, for records a test sets up (the
// memory command's output is checked on fixture trees in companion_test.cc).
#include "cli/storage_commands.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace trellis::cli {
namespace {

TEST(StorageCommandsTest, DiskReportAsJsonAndAsATable) {
  auto root = std::make_shared<DiskModel>();
  root->setName("/");
  root->setModel("Samsung SSD 980 PRO 1TB");
  root->setKind("ext4");
  root->setTotal(1'000'000'000'000);
  root->setFree(250'000'000'000);
  root->setIsMain(true);
  root->setIsWritable(true);
  root->setTemperature(38.5f);
  auto share = std::make_shared<DiskModel>();
  share->setName("/mnt/share \xff");  // mount points may hold any bytes
  share->setKind("nfs4");
  share->setIsNetwork(true);
  share->setIsRemovable(true);
  const std::vector<std::shared_ptr<DiskModel>> volumes = {root, nullptr, share};

  const nlohmann::json report = nlohmann::json::parse(diskReportJson(volumes, root.get(), {10, 20, 3, 4}));
  const nlohmann::json expected = {
      {"volumes",
       {{{"name", "/"}, {"model", "Samsung SSD 980 PRO 1TB"}, {"kind", "ext4"}, {"total", 1'000'000'000'000},
         {"free", 250'000'000'000}, {"isMain", true}, {"isNetwork", false}, {"isWritable", true},
         {"isRemovable", false}, {"temperature", 38.5}, {"totalString", "1000.0 GB"}, {"freeString", "250.0 GB"},
         {"useString", "750.0 GB"}, {"usePercentString", "75%"}},
        {{"name", "/mnt/share \xEF\xBF\xBD"}, {"model", ""}, {"kind", "nfs4"}, {"total", 0}, {"free", 0},
         {"isMain", false}, {"isNetwork", true}, {"isWritable", false}, {"isRemovable", true}, {"temperature", 0.0},
         {"totalString", "0 B"}, {"freeString", "0 B"}, {"useString", "0 B"}, {"usePercentString", "0%"}}}},
      {"mainDisk", "/"},
      {"bytesRead", 10},
      {"bytesWritten", 20},
      {"readBytesPerSecond", 3},
      {"writeBytesPerSecond", 4}};
  EXPECT_EQ(report, expected) << report.dump(1);
  EXPECT_EQ(nlohmann::json::parse(diskReportJson({}, nullptr, {}))["mainDisk"], nullptr);

  EXPECT_EQ(diskReportText(volumes, root.get(), {2'500'000, 0, 1'500'000, 0}),
            "VOLUME        KIND        SIZE        FREE        USED   USE    TEMP  FLAGS                           MODEL\n"
            "/             ext4   1000.0 GB    250.0 GB    750.0 GB   75%    38.5  main,writable                   "
            "Samsung SSD 980 PRO 1TB\n"
            "/mnt/share \xff  nfs4         0 B         0 B         0 B    0%     0.0  network,read-only,removable     \n"
            "main disk: /\nread 2.5 MB (1.5 MB/s), written 0 B (0 B/s)\n");
  EXPECT_EQ(diskReportText({}, nullptr, {}),
            "VOLUME  KIND        SIZE        FREE        USED   USE    TEMP  FLAGS                           MODEL\n"
            "(no volumes)\nmain disk: none\nread 0 B (0 B/s), written 0 B (0 B/s)\n");
}

}  // namespace
}  // namespace trellis::cli
