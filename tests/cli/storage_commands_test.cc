// Tests of the companion's memory and disk output: the exact JSON of each command and the
// readable table, and the memory command on fixture roots (exit status and what it prints).
#include "cli/storage_commands.h"
#include "cli/companion.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace trellis::cli {
namespace {

int metricsMemory(const std::string& root, bool json) {
  std::vector<std::string> words = {"trellis", "metrics", "memory", "--root", root};
  if (json) words.push_back("--json");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  return runCompanion(static_cast<int>(argv.size()), argv.data());
}

TEST(StorageCommandsTest, MemoryJsonHoldsTheRecordAndItsTexts) {
  MemoryModel model;
  model.setTotal(8ull << 30);
  model.setFree(2ull << 30);
  EXPECT_EQ(memoryRecordJson(model),
            R"({"free":2147483648,"freeString":"2.0 GB","total":8589934592,"totalString":"8.0 GB",)"
            R"("usePercentString":"75%","useString":"6.0 GB"})");
  EXPECT_EQ(memoryRecordText(model), "total  8.0 GB\nfree   2.0 GB (free and file cache)\nused   6.0 GB (75%)\n");
}

std::vector<std::shared_ptr<DiskModel>> twoVolumes() {
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
  return {root, nullptr, share};
}

TEST(StorageCommandsTest, DiskJsonHasVolumesMainDiskAndCounters) {
  const auto volumes = twoVolumes();
  const nlohmann::json report = nlohmann::json::parse(diskReportJson(volumes, volumes[0].get(), {10, 20, 3, 4}));
  const nlohmann::json expectedRoot = {
      {"name", "/"}, {"model", "Samsung SSD 980 PRO 1TB"}, {"kind", "ext4"}, {"total", 1'000'000'000'000},
      {"free", 250'000'000'000}, {"isMain", true}, {"isNetwork", false}, {"isWritable", true},
      {"isRemovable", false}, {"temperature", 38.5}, {"totalString", "1000.0 GB"}, {"freeString", "250.0 GB"},
      {"useString", "750.0 GB"}, {"usePercentString", "75%"}};
  ASSERT_EQ(report["volumes"].size(), 2u) << "null records are left out";
  EXPECT_EQ(report["volumes"][0], expectedRoot);
  EXPECT_EQ(report["volumes"][1]["name"], "/mnt/share \xEF\xBF\xBD");
  EXPECT_EQ(report["volumes"][1]["isNetwork"], true);
  EXPECT_EQ(report["volumes"][1]["usePercentString"], "0%");
  EXPECT_EQ(report["mainDisk"], "/");
  EXPECT_EQ(report["bytesRead"], 10);
  EXPECT_EQ(report["bytesWritten"], 20);
  EXPECT_EQ(report["readBytesPerSecond"], 3);
  EXPECT_EQ(report["writeBytesPerSecond"], 4);
  EXPECT_EQ(report.size(), 6u);

  EXPECT_EQ(nlohmann::json::parse(diskReportJson({}, nullptr, {}))["mainDisk"], nullptr);
}

TEST(StorageCommandsTest, DiskTableForPeople) {
  const auto volumes = twoVolumes();
  const std::string text = diskReportText(volumes, volumes[0].get(), {2'500'000, 0, 1500, 0});
  EXPECT_NE(text.find("VOLUME"), std::string::npos);
  EXPECT_NE(text.find("/             ext4   1000.0 GB    250.0 GB    750.0 GB   75%    38.5  main,writable"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("network,read-only"), std::string::npos) << text;
  EXPECT_NE(text.find("main disk: /\nread 2.5 MB (1 KB/s), written 0 B (0 B/s)\n"), std::string::npos) << text;
  EXPECT_NE(diskReportText({}, nullptr, {}).find("(no volumes)\nmain disk: none\n"), std::string::npos);
}

TEST(StorageCommandsTest, MemoryCommandFailsWithoutAMemorySize) {
  MemoryInfo::resetProcessCachesForTesting();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(metricsMemory(std::string(TRELLIS_TEST_FIXTURES) + "/meminfo/damaged", true), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot read the memory size"), std::string::npos);

  testing::internal::CaptureStdout();
  EXPECT_EQ(metricsMemory(std::string(TRELLIS_TEST_FIXTURES) + "/meminfo/normal", true), 0);
  const nlohmann::json json = nlohmann::json::parse(testing::internal::GetCapturedStdout());
  EXPECT_EQ(json["total"], 16303552ull * 1024);
  MemoryInfo::resetProcessCachesForTesting();
}

}  // namespace
}  // namespace trellis::cli
