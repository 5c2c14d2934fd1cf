// Tests of the memory collector: the record's texts, the vm_stat "File-backed pages" reader, the
// collector over a scripted source (cached total, failures), and the /proc/meminfo source on the
// committed files under tests/fixtures/meminfo/ (normal, truncated, an old kernel's, damaged)
// and on every truncation of a normal file.
#include "metrics/memory_info.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <optional>
#include <string>

#include "platform/linux/metrics/memory_source.h"
#include "support/fake_sources.h"

namespace trellis {
namespace {

using testing::FakeMemorySource;
using testing::kGiB;


MemoryModel record(std::uint64_t total, std::uint64_t free) {
  MemoryModel model;
  model.setTotal(total);
  model.setFree(free);
  return model;
}

TEST(MemoryModelTest, TextsInStepsOf1024AndTruncatedShare) {
  struct Case {
    std::uint64_t total, free;
    const char* totalText;
    const char* freeText;
    const char* useText;
    const char* percent;
  };
  const Case cases[] = {
      {0, 0, "0 B", "0 B", "0 B", "0%"},
      {8 * kGiB, 2 * kGiB, "8.0 GB", "2.0 GB", "6.0 GB", "75%"},
      {3 * kGiB, 2 * kGiB, "3.0 GB", "2.0 GB", "1.0 GB", "33%"},
      {1000, 571, "1000 B", "571 B", "429 B", "42%"},  // 42.9 truncates
      {1024, 0, "1 KB", "0 B", "1 KB", "100%"},
      // Free above total counts nothing in use, not the wrapped difference.
      {2 * kGiB, 3 * kGiB, "2.0 GB", "3.0 GB", "0 B", "0%"},
      {0, 5, "0 B", "5 B", "0 B", "0%"},
  };
  for (const Case& c : cases) {
    const MemoryModel model = record(c.total, c.free);
    SCOPED_TRACE(std::to_string(c.total) + " / " + std::to_string(c.free));
    EXPECT_EQ(model.totalString(), c.totalText);
    EXPECT_EQ(model.freeString(), c.freeText);
    EXPECT_EQ(model.useString(), c.useText);
    EXPECT_EQ(model.usePercentString(), c.percent);
  }
}

TEST(VmStatTest, FileBackedPagesLinesAddUp) {
  EXPECT_EQ(vmStatFileBackedPages("Pages free:                               12345.\n"
                                  "File-backed pages:                     123456.\n"
                                  "Pages stored in compressor:              777.\n"),
            123456u);
  EXPECT_EQ(vmStatFileBackedPages("File-backed pages: 100.\nFile-backed pages (extra): 23."), 123u);
  EXPECT_EQ(vmStatFileBackedPages("Pages free: 5.\n"), 0u);
  EXPECT_EQ(vmStatFileBackedPages(""), 0u);
  EXPECT_EQ(vmStatFileBackedPages("File-backed pages: 1 2 3."), 123u) << "spaces are removed";
  EXPECT_EQ(vmStatFileBackedPages("File-backed pages: none."), 0u);
  EXPECT_EQ(vmStatFileBackedPages("File-backed pages: -40.\nFile-backed pages: +2."), 2u);
  EXPECT_EQ(vmStatFileBackedPages("File-backed pages"), 0u) << "no colon: the line itself has no digits";
  EXPECT_EQ(vmStatFileBackedPages("File-backed pages: 99999999999999999999.\nFile-backed pages: 1."),
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1);
}


class MemoryInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { MemoryInfo::resetProcessCachesForTesting(); }
  void TearDown() override { MemoryInfo::resetProcessCachesForTesting(); }
  FakeMemorySource source;
};

TEST_F(MemoryInfoTest, ReloadFillsTheSameRecordAndCachesTheTotal) {
  MemoryInfo memory(source);
  const std::shared_ptr<MemoryModel> first = memory.getMemoryInfo();
  EXPECT_EQ(first->total(), 0u) << "making the collector measures nothing";
  EXPECT_EQ(source.totalCalls + source.countCalls, 0);

  memory.reloadInfo();
  EXPECT_EQ(memory.getMemoryInfo(), first);
  EXPECT_EQ(first->total(), 16 * kGiB);
  EXPECT_EQ(first->free(), 1500u * 4096);

  source.total = 1;  // the cache is process-wide and never asked again
  source.counts = PageCounts{10, std::nullopt};
  MemoryInfo other(source);
  other.reloadInfo();
  EXPECT_EQ(other.getMemoryInfo()->total(), 16 * kGiB);
  EXPECT_EQ(other.getMemoryInfo()->free(), 10u * 4096) << "unknown file-backed pages: the free pages alone";
  EXPECT_EQ(source.totalCalls, 1);
}

TEST_F(MemoryInfoTest, FailuresGiveZeroAndAFailedTotalIsAskedAgain) {
  MemoryInfo memory(source);
  source.total = std::nullopt;
  EXPECT_EQ(memory.getTotalMemory(), 0u);
  source.total = 8 * kGiB;
  EXPECT_EQ(memory.getTotalMemory(), 8 * kGiB);

  source.page = std::nullopt;
  EXPECT_EQ(memory.getFreeMemory(), 0u);
  EXPECT_EQ(source.countCalls, 0) << "no page size: the counts are not read";
  source.page = 0;
  EXPECT_EQ(memory.getFreeMemory(), 0u);
  source.page = 4096;
  source.counts = std::nullopt;
  EXPECT_EQ(memory.getFreeMemory(), 0u);
  source.counts = PageCounts{std::numeric_limits<std::uint64_t>::max() / 2, 1000};
  EXPECT_EQ(memory.getFreeMemory(), std::numeric_limits<std::uint64_t>::max()) << "saturates, never wraps";
}

// --- /proc/meminfo -----------------------------------------------------------------------------

std::string fixtureRoot(const std::string& name) { return std::string(TRELLIS_TEST_FIXTURES) + "/meminfo/" + name; }

TEST(ProcMemorySourceTest, CommittedFilesGiveTheDocumentedFallbacks) {
  struct Case {
    const char* name;
    std::optional<std::uint64_t> total;
    std::optional<PageCounts> counts;  // in 4 KiB pages
  };
  const Case cases[] = {
      // 8123456 kB free, (2000000 + 2200000) kB file-backed.
      {"normal", 16303552ull * 1024, PageCounts{2030864, 1050000}},
      // Cut inside "Active(file):    2000": that line and everything after it are absent.
      {"truncated", 16303552ull * 1024, PageCounts{2030864, std::nullopt}},
      // No Active(file) / Inactive(file) lines: free memory is MemFree alone.
      {"old-kernel", 1035108ull * 1024, PageCounts{51200, std::nullopt}},
      // MemTotal is not a number, MemFree is missing: no total, no free memory.
      {"damaged", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    lnx::ProcMemorySource source(fixtureRoot(c.name), 4096);
    EXPECT_EQ(source.physicalMemory(), c.total);
    EXPECT_EQ(source.pageCounts(), c.counts);
  }

  lnx::ProcMemorySource missing(fixtureRoot("does-not-exist"), 4096);
  EXPECT_EQ(missing.physicalMemory(), std::nullopt);
  EXPECT_EQ(missing.pageCounts(), std::nullopt);
  EXPECT_EQ(missing.pageSize(), 4096u);
}

TEST(ProcMemorySourceTest, EveryTruncationKeepsOnlyCompleteLines) {
  std::ifstream in(fixtureRoot("normal") + "/proc/meminfo", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  const lnx::MemInfo whole = lnx::parseMemInfo(text);
  ASSERT_EQ(whole.memTotal, 16303552ull * 1024);
  ASSERT_EQ(whole.inactiveFile, 2200000ull * 1024);
  for (std::size_t length = 0; length <= text.size(); ++length) {
    const std::string_view cut(text.data(), length);
    const lnx::MemInfo part = lnx::parseMemInfo(cut);
    // A figure is either its whole value or absent; absent exactly when its line is not complete
    // up to the unit.
    const auto check = [&](const char* name, const std::optional<std::uint64_t>& full,
                           const std::optional<std::uint64_t>& got) {
      const std::size_t unit = text.find(" kB", text.find(name));
      const bool complete = length >= unit + 3;
      EXPECT_EQ(got, complete ? full : std::nullopt) << name << " at length " << length;
    };
    check("MemTotal:", whole.memTotal, part.memTotal);
    check("MemFree:", whole.memFree, part.memFree);
    check("Active(file):", whole.activeFile, part.activeFile);
    check("Inactive(file):", whole.inactiveFile, part.inactiveFile);
  }
}

TEST(ProcMemorySourceTest, MalformedLinesLeaveTheirFigureAbsent) {
  using lnx::parseMemInfo;
  EXPECT_EQ(parseMemInfo("MemTotal: 5 kB\r\n").memTotal, 5u * 1024);
  EXPECT_EQ(parseMemInfo("MemTotal:\t7\tkB").memTotal, 7u * 1024);
  EXPECT_EQ(parseMemInfo("MemTotal: 5 MB\n").memTotal, std::nullopt);
  EXPECT_EQ(parseMemInfo("MemTotal: 5kB\n").memTotal, std::nullopt);
  EXPECT_EQ(parseMemInfo("MemTotal: -5 kB\n").memTotal, std::nullopt);
  EXPECT_EQ(parseMemInfo("MemTotal: 5 kB extra\n").memTotal, std::nullopt);
  EXPECT_EQ(parseMemInfo("MemTotal : 5 kB\n").memTotal, std::nullopt);
  EXPECT_EQ(parseMemInfo("MemTotal: 18014398509481984 kB\n").memTotal, std::nullopt) << "2^54 kB overflows bytes";
  EXPECT_EQ(parseMemInfo("MemTotal: 18014398509481983 kB\n").memTotal, 18014398509481983ull * 1024);
  EXPECT_EQ(parseMemInfo("MemTotal: 1 kB\nMemTotal: 2 kB\n").memTotal, 1024u) << "the first line counts";
  EXPECT_EQ(parseMemInfo("MemTotal: x kB\nMemTotal: 2 kB\n").memTotal, 2048u) << "the first complete line";
}

TEST(ProcMemorySourceTest, ThisMachineAgreesWithItsOwnMeminfo) {
  MemoryInfo::resetProcessCachesForTesting();
  lnx::ProcMemorySource source;
  MemoryInfo memory(source);
  memory.reloadInfo();
  std::ifstream in("/proc/meminfo");
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(memory.getMemoryInfo()->total(), lnx::parseMemInfo(text).memTotal);
  EXPECT_GT(memory.getMemoryInfo()->free(), 0u);
  EXPECT_LE(memory.getMemoryInfo()->free(), memory.getMemoryInfo()->total());
  MemoryInfo::resetProcessCachesForTesting();
}

}  // namespace
}  // namespace trellis
