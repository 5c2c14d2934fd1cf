// The /proc/meminfo source on the files under tests/fixtures/meminfo/, every truncation and
// malformed lines.
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
  // MemTotal's text, its value in kB; 2^54 kB overflows bytes; the first complete line counts.
  const std::pair<const char*, std::optional<std::uint64_t>> rows[] = {
      {"5 kB\r\n", 5}, {"\t7\tkB", 7}, {"5 MB\n", std::nullopt}, {"5kB\n", std::nullopt}, {"-5 kB\n", std::nullopt},
      {"5 kB extra\n", std::nullopt}, {"18014398509481984 kB\n", std::nullopt},
      {"18014398509481983 kB\n", 18014398509481983ull}, {"1 kB\nMemTotal: 2 kB\n", 1}, {"x kB\nMemTotal: 2 kB\n", 2}};
  for (const auto& [text, kb] : rows) {
    EXPECT_EQ(lnx::parseMemInfo(std::string("MemTotal:") + (text[0] == '\t' ? "" : " ") + text).memTotal,
              kb ? std::optional(*kb * 1024) : std::nullopt) << text;
  }
  EXPECT_EQ(lnx::parseMemInfo("MemTotal : 5 kB\n").memTotal, std::nullopt);
}

}  // namespace
}  // namespace trellis
