// Where the memory collector gets its platform readings: the physical memory size, the page size,
// and the free and file-backed page counts. The platform's implementation lives in the platform
// folder; tests give the collector a fake. A source is used from one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace trellis {

// The kernel's page counts, taken together at one instant.
struct PageCounts {
  std::uint64_t freePages = 0;  // pages nobody uses
  // Pages that hold cached file contents the system can drop at once; nothing when the platform
  // cannot say (free memory is then the free pages alone).
  std::optional<std::uint64_t> fileBackedPages;

  friend bool operator==(const PageCounts&, const PageCounts&) = default;
};

class MemorySource {
 public:
  virtual ~MemorySource() = default;

  // The installed physical memory in bytes, or nothing when it cannot be read. Never 0 when
  // present.
  virtual std::optional<std::uint64_t> physicalMemory() = 0;
  // The page size in bytes that the page counts are in, or nothing. Never 0 when present.
  virtual std::optional<std::uint64_t> pageSize() = 0;
  // The free and file-backed page counts, or nothing when the free count cannot be read.
  virtual std::optional<PageCounts> pageCounts() = 0;
};

// The number of file-backed pages in the text `vm_stat` prints: for every line that contains
// "File-backed pages", the part after the line's last ":", with every space removed, read as a
// leading decimal number ("123456." gives 123456; text without leading digits gives 0; a leading
// "+" is allowed, while a "-" makes the line count 0, as no page count is negative). A number
// beyond the signed 64-bit range counts as its largest value, and the total stops at the largest
// unsigned 64-bit value. Every such line adds to the count; 0 when no line matches. Pure; any
// thread.
std::uint64_t vmStatFileBackedPages(std::string_view vmStatText);

}  // namespace trellis
