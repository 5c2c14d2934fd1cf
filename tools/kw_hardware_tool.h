// The memory purge: strategies that make the system hand real pages to this process and take
// them back, a rate gate, and measurements of free memory before and after. Everything it needs
// from the machine goes through a PurgePlatform. `purgeRAM` and `purgeByLocal` block the calling
// thread; the strategy chain runs on a background worker and strategy 3 on one thread per
// processor. Purges are expected from one thread at a time (`lastPurgeTime` is process-wide).
//
// Lines written to the system log (notice priority), exactly:
//   "[GetPhysMemoryInfo] get page size fail: %d"      "[GetPhysMemoryInfo] get host statics fail: %d"
//   "[GetPhysMemoryInfo2] get page size fail: %d"     "[GetPhysMemoryInfo2] get host statics fail: %d"
//   "purgeRamByHugeMallocFree GetPhysMemoryInfo ret: %d"
//   "purgeRamByHugeMallocFree GetPhysMemoryInfo ret: -1,  1  -1"
//   "purgeRamByHugeMallocFree GetPhysMemoryInfo totalFree: %llu"
//   "purgeRamByHugeMallocFree GetPhysMemoryInfo end"
//   "GetPhysMemoryInfo ret: %d"   "GetPhysMemoryInfo ret: -1,  1  -1"
//   "GetPhysMemoryInfo totalFree: %llu"   "GetPhysMemoryInfo end"
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace trellis {

// A memory snapshot in bytes: free pages and inactive pages times the page size.
struct PhysMemoryInfo {
  std::uint64_t free = 0;
  std::uint64_t inactive = 0;
};

// The host's page counts, as the host statistics give them.
struct HostPageCounts {
  std::uint32_t freePages = 0;
  std::uint32_t inactivePages = 0;
};

// A private allocation area: destroying it releases every block taken from it at once.
class MemoryArena {
 public:
  virtual ~MemoryArena() = default;
  // A zero-filled block of `count` elements of `size` bytes, or nullptr when it does not fit.
  // Safe from several threads at once.
  virtual void* calloc(std::uint64_t count, std::uint64_t size) = 0;
};

// The strategy chain's result, shared by the chain and the caller waiting for it: a chain that
// ends after the caller stopped waiting still writes to it safely (the last owner frees it).
class PurgeChainResult {
 public:
  // Records the chain's outcome and wakes the waiter. Called once, by the chain.
  void finish(bool succeeded);
  // Waits until the chain finished or `limit` passed; true when it finished.
  bool waitFor(std::chrono::nanoseconds limit);
  // True once the chain finished with a strategy's success.
  bool succeeded() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  bool succeeded_ = false;
};

// What the purge touches. Implementations are used from the caller's thread, the chain's worker
// and strategy 3's threads at once.
class PurgePlatform {
 public:
  virtual ~PurgePlatform() = default;

  // The current time as seconds since 2001-01-01 00:00:00 UTC.
  virtual double now() = 0;
  virtual void sleepSeconds(unsigned seconds) = 0;
  // The page size in bytes; 0, or a non-zero code on failure.
  virtual int hostPageSize(std::uint64_t* pageSize) = 0;
  // The free and inactive page counts; 0, or a non-zero code on failure.
  virtual int hostPageCounts(HostPageCounts* counts) = 0;
  // A block of `size` bytes from the process heap (not zeroed), or nullptr; and its release.
  virtual void* allocate(std::uint64_t size) = 0;
  virtual void release(void* block) = 0;
  // A private arena able to hold `startSize` bytes, or nullptr.
  virtual std::unique_ptr<MemoryArena> createArena(std::uint64_t startSize) = 0;
  // The number of logical processors (0 is taken as 1).
  virtual unsigned processorCount() = 0;
  // Raises the calling thread's scheduling priority as far as it may go; other threads keep theirs.
  virtual void raiseThreadPriority() = 0;
  // Asks the kernel to purge its file-system cache: 0 on success.
  virtual int kernelPurge() = 0;

  // Starts `job` on a background worker (default: a detached thread); false when none could be
  // started. The job may outlive the purge that started it: the platform must outlive the job.
  virtual bool runInBackground(std::function<void()> job);
  // Waits for the chain (default: chain.waitFor(limit)); true when it finished.
  virtual bool waitForChain(PurgeChainResult& chain, std::chrono::nanoseconds limit) { return chain.waitFor(limit); }
};


// Snapshot routines: 0 and `info` filled, or -1 (and a log line naming the routine when a host
// call failed). `info` is zero-filled first; a null `info` gives -1 and no line. The two differ
// only in the name their lines carry: the first serves purgeRAM, the second the strategies.
int GetPhysMemoryInfo(PhysMemoryInfo* info, PurgePlatform& platform);
int GetPhysMemoryInfo2(PhysMemoryInfo* info, PurgePlatform& platform);

class KwHardwareTool {
 public:
  KwHardwareTool() = delete;

  // A purge within this many seconds of the last one that passed the gate is refused.
  static constexpr double kPurgeInterval = 10.0;
  // How long purgeByLocal waits for the chain.
  static constexpr std::chrono::seconds kChainWait{15};
  static constexpr std::uint64_t kTouchPageSize = 4096;

  // Bytes by which free memory grew over a purge. Within kPurgeInterval of the last purge that
  // passed the gate (or earlier than it, by a clock set back) it sleeps 1 s and returns 0 without
  // measuring. Otherwise it records now as the last purge time, measures, runs purgeByLocal,
  // sleeps 1 s and measures again: 0 when the second measurement fails or shows less free memory,
  // all free memory when only the first failed. Blocks for up to kChainWait + 1 s and more.
  static std::uint64_t purgeRAM();
  static std::uint64_t purgeRAM(PurgePlatform& platform);

  // Runs the chain (strategies 1 to 4 in order until one returns 0) on a background worker and
  // waits up to kChainWait: true when a strategy succeeded within the wait. A chain still running
  // at the deadline goes on; its result is written to the shared result and read by nobody.
  static bool purgeByLocal();
  static bool purgeByLocal(PurgePlatform& platform);

  // The strategies: 0 on success, -1 on failure.
  // 1: measures free + inactive and draws one random value; succeeds whenever the measurement does.
  static int purgeRamByHugeMallocFree(PurgePlatform& platform);
  // 2: fills one heap block of free + inactive bytes with random 32-bit words, then frees it.
  static int purgeRamByRandomFill(PurgePlatform& platform);
  // 3: one operation per processor, each raising its thread's priority and writing one byte per
  // 4096-byte page of its share of zoneTouchSize bytes, taken from one private arena.
  static int purgeRamByZoneTouch(PurgePlatform& platform);
  // 4: the kernel's cache purge.
  static int purgeRamByKernelCall(PurgePlatform& platform);

  // Strategy 3's size from free F and inactive I bytes: F when I <= F, F + I/4 when I <= 2F,
  // F + I/2 when I < 4F, F + I from 4F on (divisions are shifts; the comparisons cannot overflow).
  static std::uint64_t zoneTouchSize(std::uint64_t free, std::uint64_t inactive);

  // Seconds since 2001 of the last purge that passed the gate; 0 before the first.
  static double lastPurgeTime();
};

}  // namespace trellis
