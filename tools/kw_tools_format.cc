// The byte-size formatter behind every size and throughput text of the records. Pure; any thread.
#include <cstdio>

#include "tools/kw_tools.h"

namespace trellis {

std::string KwTools::bytesToString(std::uint64_t bytes, std::uint32_t ratio) {
  if (bytes == 0 || ratio == 0) return "0 B";
  // The steps are computed in 64 bits: for the ratios in use (1000, 1024) this is the same as
  // 32-bit products, and a larger ratio no longer wraps into a zero step.
  const std::uint64_t r = ratio;
  const std::uint64_t r2 = r * r;
  const std::uint64_t r3 = r2 * r;
  char text[64];
  if (bytes < r) {
    std::snprintf(text, sizeof text, "%d B", static_cast<std::int32_t>(bytes));
  } else if (bytes < r2) {
    std::snprintf(text, sizeof text, "%d KB", static_cast<std::int32_t>(bytes / r));
  } else if (bytes < r3) {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / static_cast<double>(r2));
  } else {
    std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / static_cast<double>(r3));
  }
  return text;
}

std::string KwTools::bytesToString(std::uint64_t bytes) { return bytesToString(bytes, 1024); }

}  // namespace trellis
