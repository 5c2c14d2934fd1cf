// The memory readings on Linux, from /proc/meminfo under a filesystem root ("/" normally, a
// fixture tree in tests): the platform's `MemorySource`, and the file's parser as a plain function
// on text (for tests and the fuzzer). A source holds only its root and page size, so it may be
// used from any thread; the parser keeps no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "metrics/memory_source.h"

namespace trellis::lnx {

// The four /proc/meminfo figures the collector uses, in bytes. A figure is present only when its
// line is complete: the name, a colon, blanks, a decimal number, blanks and the unit "kB" (an
// optional line end after it). A line cut short (a truncated file ends "MemFree:    2280"), a
// number that is not decimal or whose byte count does not fit in 64 bits, or a missing line all
// leave the figure absent. When a name appears twice, the first complete line counts.
struct MemInfo {
  std::optional<std::uint64_t> memTotal;      // "MemTotal"
  std::optional<std::uint64_t> memFree;       // "MemFree"
  std::optional<std::uint64_t> activeFile;    // "Active(file)"
  std::optional<std::uint64_t> inactiveFile;  // "Inactive(file)"

  friend bool operator==(const MemInfo&, const MemInfo&) = default;
};

MemInfo parseMemInfo(std::string_view text);

// What each reading comes from (proc/meminfo under the root, read once per call):
//   physicalMemory   MemTotal: the memory the kernel manages, which is what the machine has
//                    less the firmware's and the kernel image's reservations. Nothing when absent.
//   pageSize         the page size given at construction, else sysconf(_SC_PAGESIZE).
//   pageCounts       free pages: MemFree / page size; nothing when MemFree is absent.
//                    file-backed pages: (Active(file) + Inactive(file)) / page size, where a
//                    figure that is absent adds nothing; unknown (so free memory is MemFree
//                    alone) only when both are absent, as on kernels before 2.6.28. Each byte
//                    count is divided by the page size rounding down.
class ProcMemorySource final : public MemorySource {
 public:
  // `pageSize` 0: the system's.
  explicit ProcMemorySource(std::string root = "/", std::uint64_t pageSize = 0);

  std::optional<std::uint64_t> physicalMemory() override;
  std::optional<std::uint64_t> pageSize() override;
  std::optional<PageCounts> pageCounts() override;

 private:
  std::optional<MemInfo> read() const;

  std::string path_;
  std::uint64_t pageSize_;
};

}  // namespace trellis::lnx
