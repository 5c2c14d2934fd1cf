// The /proc/meminfo memory source: the committed files under tests/fixtures/meminfo/ (normal,
// truncated, an old kernel's, damaged), every truncation of a normal file and malformed lines. This
// machine's own file is the companion integration test's (storage_metrics_agree_with_this_machine).
#include "platform/linux/metrics/memory_source.h"

#include <gtest/gtest.h>

#include <fstream>


namespace trellis {
namespace {

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

}  // namespace
}  // namespace trellis
