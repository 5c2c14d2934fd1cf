// The memory purge over a PurgePlatform. The chain's result is shared-owned by the chain and the
// waiter; strategy 3's threads share only the arena, which is safe for concurrent use.
#include "tools/kw_hardware_tool.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "base/services.h"
#include "base/system_log.h"

namespace trellis {

namespace {

// Seconds since 2001; written when a purge passes the gate. Atomic only so that concurrent purges
// (which are not expected) are not a data race; the gate itself is not made exclusive.
std::atomic<double> g_lastPurgeTime{0.0};

__attribute__((format(printf, 1, 2))) void logLine(const char* format, ...) {
  char line[256];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  systemLog().write(kLogNotice, line);
}

int snapshot(const char* routine, PhysMemoryInfo* info, PurgePlatform& platform) {
  if (info == nullptr) return -1;
  *info = PhysMemoryInfo{};
  std::uint64_t pageSize = 0;
  if (int code = platform.hostPageSize(&pageSize); code != 0) {
    logLine("[%s] get page size fail: %d", routine, code);
    return -1;
  }
  HostPageCounts counts;
  if (int code = platform.hostPageCounts(&counts); code != 0) {
    logLine("[%s] get host statics fail: %d", routine, code);
    return -1;
  }
  info->free = static_cast<std::uint64_t>(counts.freePages) * pageSize;
  info->inactive = static_cast<std::uint64_t>(counts.inactivePages) * pageSize;
  return 0;
}

bool runChain(PurgePlatform& platform) {
  return KwHardwareTool::purgeRamByHugeMallocFree(platform) == 0 || KwHardwareTool::purgeRamByRandomFill(platform) == 0 ||
         KwHardwareTool::purgeRamByZoneTouch(platform) == 0 || KwHardwareTool::purgeRamByKernelCall(platform) == 0;
}

// Runs `operation` `count` times at once and returns when all have ended; an operation whose
// thread cannot be started runs on the calling thread instead.
void runConcurrently(unsigned count, const std::function<void()>& operation) {
  std::vector<std::thread> threads;
  threads.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    try {
      threads.emplace_back(operation);
    } catch (const std::system_error&) {
      operation();
    }
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace

// ---- Shared chain result ----

void PurgeChainResult::finish(bool succeeded) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    succeeded_ = succeeded;
  }
  finished_.notify_all();
}

bool PurgeChainResult::waitFor(std::chrono::nanoseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return finished_.wait_for(lock, limit, [this] { return done_; });
}

bool PurgeChainResult::succeeded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return succeeded_;
}

bool PurgePlatform::runInBackground(std::function<void()> job) {
  try {
    std::thread(std::move(job)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

// ---- Snapshots ----

int GetPhysMemoryInfo(PhysMemoryInfo* info, PurgePlatform& platform) { return snapshot("GetPhysMemoryInfo", info, platform); }

int GetPhysMemoryInfo2(PhysMemoryInfo* info, PurgePlatform& platform) {
  return snapshot("GetPhysMemoryInfo2", info, platform);
}

// ---- Purge ----

double KwHardwareTool::lastPurgeTime() { return g_lastPurgeTime.load(std::memory_order_relaxed); }

std::uint64_t KwHardwareTool::purgeRAM() { return purgeRAM(required(installedServices().purge, "the purge platform")); }

std::uint64_t KwHardwareTool::purgeRAM(PurgePlatform& platform) {
  const double now = platform.now();
  // Also closed while the clock reads earlier than the last purge (now - last is negative).
  if (kPurgeInterval > now - g_lastPurgeTime.load(std::memory_order_relaxed)) {
    platform.sleepSeconds(1);
    return 0;
  }
  g_lastPurgeTime.store(now, std::memory_order_relaxed);

  PhysMemoryInfo before;
  const std::uint64_t freeBefore = GetPhysMemoryInfo(&before, platform) == 0 ? before.free : 0;
  (void)purgeByLocal(platform);  // the measurements say what it achieved
  platform.sleepSeconds(1);
  PhysMemoryInfo after;
  if (GetPhysMemoryInfo(&after, platform) != 0 || after.free < freeBefore) return 0;
  return after.free - freeBefore;
}

bool KwHardwareTool::purgeByLocal() { return purgeByLocal(required(installedServices().purge, "the purge platform")); }

bool KwHardwareTool::purgeByLocal(PurgePlatform& platform) {
  auto result = std::make_shared<PurgeChainResult>();
  PurgePlatform* worker = &platform;
  if (!platform.runInBackground([result, worker] { result->finish(runChain(*worker)); })) return false;
  (void)platform.waitForChain(*result, kChainWait);  // the flag as it stands at the deadline
  return result->succeeded();
}

int KwHardwareTool::purgeRamByHugeMallocFree(PurgePlatform& platform) {
  PhysMemoryInfo info;
  const int ret = GetPhysMemoryInfo2(&info, platform);
  logLine("purgeRamByHugeMallocFree GetPhysMemoryInfo ret: %d", ret);
  if (ret != 0) {
    logLine("purgeRamByHugeMallocFree GetPhysMemoryInfo ret: %d,  %d  -1", -1, 1);
    return -1;
  }
  const std::uint64_t total = info.free + info.inactive;
  if (total == 0) return 0;
  logLine("purgeRamByHugeMallocFree GetPhysMemoryInfo totalFree: %llu", static_cast<unsigned long long>(total));
  // No block of `total` bytes is taken here: untouched, it would cost the system nothing (pages
  // are supplied on first write), and touching every page is what strategy 2 does.
  (void)std::rand();
  logLine("purgeRamByHugeMallocFree GetPhysMemoryInfo end");
  return 0;
}

int KwHardwareTool::purgeRamByRandomFill(PurgePlatform& platform) {
  PhysMemoryInfo info;
  const int ret = GetPhysMemoryInfo2(&info, platform);
  logLine("GetPhysMemoryInfo ret: %d", ret);
  if (ret != 0) {
    logLine("GetPhysMemoryInfo ret: %d,  %d  -1", -1, 1);
    return -1;
  }
  const std::uint64_t total = info.free + info.inactive;
  if (total == 0) return 0;
  void* block = platform.allocate(total);
  if (block == nullptr) return -1;
  logLine("GetPhysMemoryInfo totalFree: %llu", static_cast<unsigned long long>(total));
  auto* bytes = static_cast<unsigned char*>(block);
  for (std::uint64_t word = 0; word < total / 4; ++word) {
    const auto value = static_cast<std::uint32_t>(std::rand());
    std::memcpy(bytes + word * 4, &value, sizeof value);
  }
  platform.release(block);
  logLine("GetPhysMemoryInfo end");
  return 0;
}

int KwHardwareTool::purgeRamByZoneTouch(PurgePlatform& platform) {
  PhysMemoryInfo info;
  if (GetPhysMemoryInfo2(&info, platform) != 0) return -1;
  const std::uint64_t size = zoneTouchSize(info.free, info.inactive);
  if (size == 0) return 0;
  unsigned count = platform.processorCount();
  if (count == 0) count = 1;
  std::unique_ptr<MemoryArena> arena = platform.createArena(size);
  if (!arena) return -1;
  const std::uint64_t share = size / count;
  const std::uint64_t pages = share / kTouchPageSize;
  MemoryArena& zone = *arena;
  runConcurrently(count, [&platform, &zone, pages] {
    platform.raiseThreadPriority();
    void* block = zone.calloc(pages, kTouchPageSize);
    if (block == nullptr) return;
    // One write per page, so that every page must be supplied; volatile so that none is skipped.
    auto* bytes = static_cast<volatile std::uint8_t*>(block);
    for (std::uint64_t i = 0; i < pages; ++i) bytes[i * kTouchPageSize] = static_cast<std::uint8_t>(i);
  });
  arena.reset();  // every operation's block at once
  return 0;
}

int KwHardwareTool::purgeRamByKernelCall(PurgePlatform& platform) { return platform.kernelPurge() == 0 ? 0 : -1; }

std::uint64_t KwHardwareTool::zoneTouchSize(std::uint64_t free, std::uint64_t inactive) {
  // Compared in 128 bits: 2F and 4F do not fit 64 bits for every F.
  using Wide = unsigned __int128;
  const Wide f = free;
  const Wide i = inactive;
  if (i <= f) return free;
  if (i <= 2 * f) return free + (inactive >> 2);
  if (i < 4 * f) return free + (inactive >> 1);
  return free + inactive;
}

}  // namespace trellis
