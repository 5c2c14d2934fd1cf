// The memory purge's platform on Linux: /proc/meminfo for the page counts (MemFree as free,
// Inactive as inactive), the heap, private anonymous mmap arenas, setpriority on the calling
// thread, and "1" written to /proc/sys/vm/drop_caches as the kernel's cache purge (which needs
// root, and fails with EACCES otherwise). Files are read under a root folder (default "/") so
// tests can use fixture trees. Safe from any number of threads at once.
#pragma once

#include <string>
#include <string_view>

#include "tools/kw_hardware_tool.h"

namespace trellis::lnx {

// Seconds between 1970-01-01 and 2001-01-01, both 00:00:00 UTC.
inline constexpr double kSecondsFrom1970To2001 = 978'307'200.0;

// The "MemFree" and "Inactive" lines of /proc/meminfo text, in KiB; false when either is missing
// or not a number.
bool parseMeminfo(std::string_view text, std::uint64_t* freeKiB, std::uint64_t* inactiveKiB);

class LinuxPurgePlatform final : public PurgePlatform {
 public:
  explicit LinuxPurgePlatform(std::string root = "/");

  double now() override;
  void sleepSeconds(unsigned seconds) override;
  // sysconf(_SC_PAGESIZE); the errno (or EINVAL) when it fails.
  int hostPageSize(std::uint64_t* pageSize) override;
  // ROOT/proc/meminfo in pages of the page size (saturated at 2^32 - 1): the errno when it cannot
  // be read, EINVAL when the two lines are missing.
  int hostPageCounts(HostPageCounts* counts) override;
  void* allocate(std::uint64_t size) override;
  void release(void* block) override;
  // An anonymous private mapping of `startSize` bytes (reserved, not committed: pages are
  // supplied on first write), handed out front to back; released whole with munmap.
  std::unique_ptr<MemoryArena> createArena(std::uint64_t startSize) override;
  // The online processors.
  unsigned processorCount() override;
  // setpriority(PRIO_PROCESS, <this thread>, -20): the calling thread only. Without the right to
  // raise priority (CAP_SYS_NICE, RLIMIT_NICE) the thread keeps its priority.
  void raiseThreadPriority() override;
  // Writes "1" to ROOT/proc/sys/vm/drop_caches: 0, or the errno.
  int kernelPurge() override;

 private:
  std::string root_;  // ends with '/'
};

}  // namespace trellis::lnx
