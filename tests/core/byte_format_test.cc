#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "tools/kw_tools.h"

namespace trellis {
namespace {

using Row = std::pair<std::uint64_t, const char*>;

TEST(BytesToStringTest, BinaryStepsAtEveryThreshold) {
  const std::vector<Row> rows = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1 KB"},
      {1535, "1 KB"},
      {1048575, "1023 KB"},
      {1048576, "1.0 MB"},
      {1572864, "1.5 MB"},
      {1073741823, "1024.0 MB"},
      {1073741824, "1.0 GB"},
      {1099511627776ULL, "1024.0 GB"},
  };
  for (const auto& [bytes, text] : rows) {
    EXPECT_EQ(KwTools::bytesToString(bytes), text) << bytes;
    EXPECT_EQ(KwTools::bytesToString(bytes, 1024), text) << bytes;
  }
}

TEST(BytesToStringTest, DecimalStepsAtEveryThreshold) {
  const std::vector<Row> rows = {
      {999, "999 B"},         {1000, "1 KB"},           {999999, "999 KB"},
      {1000000, "1.0 MB"},    {999999999, "1000.0 MB"}, {1000000000, "1.0 GB"},
      {UINT64_MAX, "18446744073.7 GB"},
  };
  for (const auto& [bytes, text] : rows) EXPECT_EQ(KwTools::bytesToString(bytes, 1000), text) << bytes;
}

TEST(BytesToStringTest, RatioZeroAndLargeRatiosNeverMisformat) {
  for (std::uint64_t bytes : {0ULL, 1ULL, 4096ULL, 1ULL << 40}) EXPECT_EQ(KwTools::bytesToString(bytes, 0), "0 B");
  // A step of 65536 squares to 2^32: it must not wrap to a zero step.
  EXPECT_EQ(KwTools::bytesToString(65536ULL * 65536ULL, 65536), "1.0 MB");
  EXPECT_EQ(KwTools::bytesToString(2048) + "/s", "2 KB/s");
}

}  // namespace
}  // namespace trellis
