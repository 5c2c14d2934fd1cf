// The memory collector over a scripted source: the byte-size texts, the memory and disk records'
// texts, the process-wide total, free memory from the page counts, and the vm_stat "File-backed
// pages" reader. Test thread only.
#include "metrics/memory_info.h"

#include <gtest/gtest.h>

#include <limits>

#include "metrics/disk_info.h"

#include "support/fake_sources.h"
#include "tools/kw_tools.h"

namespace trellis {
namespace {

using testing::kGiB;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(BytesToStringTest, WholeBytesAndKilobytesThenOneDecimalAtEachStepOfTheRatio) {
  const std::tuple<std::uint64_t, std::uint32_t, const char*> rows[] = {
      {0, 1024, "0 B"},          {1023, 1024, "1023 B"},       {1024, 1024, "1 KB"},
      {1535, 1024, "1 KB"},      {1048575, 1024, "1023 KB"},   {1048576, 1024, "1.0 MB"},
      {1572864, 1024, "1.5 MB"}, {1073741823, 1024, "1024.0 MB"}, {1073741824, 1024, "1.0 GB"},
      {1099511627776, 1024, "1024.0 GB"},
      {999, 1000, "999 B"},      {1000, 1000, "1 KB"},         {999999, 1000, "999 KB"},
      {1000000, 1000, "1.0 MB"}, {999999999, 1000, "1000.0 MB"}, {1000000000, 1000, "1.0 GB"},
      {UINT64_MAX, 1000, "18446744073.7 GB"},
      {4096, 0, "0 B"},  // no ratio, no steps
      {65536ull * 65536, 65536, "1.0 MB"},  // a step that squares to 2^32 does not wrap to zero
  };
  for (const auto& [bytes, ratio, text] : rows) EXPECT_EQ(KwTools::bytesToString(bytes, ratio), text) << bytes;
  EXPECT_EQ(KwTools::bytesToString(1023), "1023 B") << "1024 by default";
}

TEST(ModelTextsTest, MemoryInStepsOf1024DiskInStepsOf1000AndATruncatedShareOfWhatIsInUse) {
  // Total, free, then the texts of a memory record and of a disk record.
  const std::tuple<std::uint64_t, std::uint64_t, const char*, const char*> rows[] = {
      {0, 0, "0 B 0 B 0 B 0%", "0 B 0 B 0 B 0%"},
      {8 * kGiB, 2 * kGiB, "8.0 GB 2.0 GB 6.0 GB 75%", "8.6 GB 2.1 GB 6.4 GB 75%"},
      {1000, 571, "1000 B 571 B 429 B 42%", "1 KB 571 B 429 B 42%"},   // 42.9 truncates
      {2 * kGiB, 3 * kGiB, "2.0 GB 3.0 GB 0 B 0%", "2.1 GB 3.2 GB 0 B 0%"},  // free above total: nothing in use
  };
  const auto texts = [](auto model, std::uint64_t total, std::uint64_t free) {
    model.setTotal(total);
    model.setFree(free);
    return model.totalString() + " " + model.freeString() + " " + model.useString() + " " + model.usePercentString();
  };
  for (const auto& [total, free, memory, disk] : rows) {
    EXPECT_EQ(texts(MemoryModel(), total, free), memory);
    EXPECT_EQ(texts(DiskModel(), total, free), disk);
  }
}

TEST(MemoryInfoTest, TheTotalIsAskedForOncePerProcessAndFreeMemoryComesFromThePageCounts) {
  MemoryInfo::resetProcessCachesForTesting();
  testing::FakeMemorySource source;
  MemoryInfo memory(source);
  const std::shared_ptr<MemoryModel> record = memory.getMemoryInfo();
  EXPECT_EQ(record->total(), 0u) << "making the collector measures nothing";
  EXPECT_EQ(source.totalCalls + source.countCalls, 0);
  memory.reloadInfo();
  EXPECT_EQ(record->total(), 16 * kGiB);
  EXPECT_EQ(record->free(), 1500u * 4096) << "free and file-backed pages";

  source.total = 1;  // not asked again, also by another collector
  source.counts = PageCounts{10, std::nullopt};
  MemoryInfo other(source);
  other.reloadInfo();
  EXPECT_EQ(other.getMemoryInfo()->total(), 16 * kGiB);
  EXPECT_EQ(other.getMemoryInfo()->free(), 10u * 4096);

  // A failed total is asked for again; failed counts give 0; a sum past 2^64 saturates.
  MemoryInfo::resetProcessCachesForTesting();
  source.total = std::nullopt;
  EXPECT_EQ(memory.getTotalMemory(), 0u);
  source.total = 8 * kGiB;
  EXPECT_EQ(memory.getTotalMemory(), 8 * kGiB);
  const std::tuple<std::optional<std::uint64_t>, std::optional<PageCounts>, std::uint64_t> free[] = {
      {std::nullopt, PageCounts{1, 1}, 0}, {0, PageCounts{1, 1}, 0}, {4096, std::nullopt, 0},
      {4096, PageCounts{kMax / 2, 1000}, kMax}, {1, PageCounts{kMax, 1}, kMax}};
  for (const auto& [page, counts, expected] : free) {
    source.page = page;
    source.counts = counts;
    EXPECT_EQ(memory.getFreeMemory(), expected);
  }
  MemoryInfo::resetProcessCachesForTesting();
}

TEST(VmStatTest, FileBackedPagesLinesAddUp) {
  const std::pair<const char*, std::uint64_t> rows[] = {
      {"Pages free: 12345.\nFile-backed pages:     123456.\nPages stored in compressor: 777.\n", 123456},
      {"File-backed pages: 100.\nFile-backed pages (extra): 23.", 123},
      {"Pages free: 5.\n", 0},
      {"File-backed pages: 1 2 3.", 123},  // spaces are removed
      {"File-backed pages: none.", 0},
      {"File-backed pages: -40.\nFile-backed pages: +2.", 2},
      {"File-backed pages", 0},
      {"File-backed pages: 99999999999999999999.\nFile-backed pages: 1.", (kMax >> 1) + 1},
      {"File-backed pages: 9223372036854775807.\nFile-backed pages: 9223372036854775807.\nFile-backed pages: 9.", kMax},
  };
  for (const auto& [text, pages] : rows) EXPECT_EQ(vmStatFileBackedPages(text), pages) << text;
}

}  // namespace
}  // namespace trellis
