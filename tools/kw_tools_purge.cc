// The purge settings helper of KwTools. Pure; any thread.
#include "tools/kw_tools.h"

namespace trellis {

std::uint64_t KwTools::memoryAutoFreeMinSizeWithIndex(std::int64_t index) {
  // Indexes 1 to 4, tested as one unsigned comparison: 0 and negative indexes wrap past 4.
  if (static_cast<std::uint64_t>(index) - 1 < 4) return static_cast<std::uint64_t>(index) << 30;
  return 500ull << 20;
}

}  // namespace trellis
