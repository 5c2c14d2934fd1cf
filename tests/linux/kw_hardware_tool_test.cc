// The memory purge over a scripted platform (no real gigabytes): the rate gate, the measured gain,
// the chain order and every log line, the strategies' sizes and writes, the 15-second wait with a
// chain that outlives it, the settings threshold; and the Linux platform on a scratch root. The
// chain runs on threads the fake platform owns and joins.
#include "tools/kw_hardware_tool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <limits>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "base/system_log.h"
#include "platform/linux/system/purge.h"
#include "support/service_setters.h"
#include "tools/kw_tools.h"

namespace trellis {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

struct RecordingLog final : SystemLog {
  void write(int priority, std::string_view line) override {
    std::lock_guard<std::mutex> lock(mutex);
    lines.emplace_back(line);
    EXPECT_EQ(priority, kLogNotice);
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(lines, {});
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

// One scripted snapshot: the page size call, then the page counts call.
struct Snapshot {
  int pageCode = 0;
  int countCode = 0;
  std::uint64_t pageSize = 4096;
  std::uint32_t freePages = 0;
  std::uint32_t inactivePages = 0;
};

class FakePlatform final : public PurgePlatform {
 public:
  // Blocks handed out by allocate and the arenas (kept for inspection after release).
  struct Block {
    std::uint64_t count = 0;
    std::uint64_t size = 0;
    std::vector<unsigned char> bytes;  // empty when the request was refused
  };

  ~FakePlatform() override { joinChains(); }

  double now() override { return clock; }
  void sleepSeconds(unsigned seconds) override {
    std::lock_guard<std::mutex> lock(mutex);
    sleeps.push_back(seconds);
  }
  int hostPageSize(std::uint64_t* pageSize) override {
    std::lock_guard<std::mutex> lock(mutex);
    ++snapshotsTaken;
    const Snapshot s = script.empty() ? steady : script.front();
    if (s.pageCode != 0) {
      if (!script.empty()) script.pop_front();
      return s.pageCode;
    }
    *pageSize = s.pageSize;
    return 0;
  }
  int hostPageCounts(HostPageCounts* counts) override {
    std::lock_guard<std::mutex> lock(mutex);
    const Snapshot s = script.empty() ? steady : script.front();
    if (!script.empty()) script.pop_front();
    if (s.countCode != 0) return s.countCode;
    *counts = HostPageCounts{s.freePages, s.inactivePages};
    return 0;
  }
  void* allocate(std::uint64_t size) override {
    std::lock_guard<std::mutex> lock(mutex);
    Block& block = allocations.emplace_back(Block{1, size, {}});
    if (size > kLimit) return nullptr;
    block.bytes.assign(size + 8, 0xAB);  // 8 guard bytes past the end
    return block.bytes.data();
  }
  void release(void* block) override {
    std::lock_guard<std::mutex> lock(mutex);
    released.push_back(block);
  }
  std::unique_ptr<MemoryArena> createArena(std::uint64_t startSize) override {
    std::lock_guard<std::mutex> lock(mutex);
    arenaSizes.push_back(startSize);
    if (failArena) return nullptr;
    return std::make_unique<Arena>(*this);
  }
  unsigned processorCount() override { return processors; }
  void raiseThreadPriority() override {
    std::lock_guard<std::mutex> lock(mutex);
    raisedOn.push_back(std::this_thread::get_id());
  }
  int kernelPurge() override {
    ++kernelCalls;
    if (kernelGate.valid()) kernelGate.wait();
    return kernelCode;
  }
  bool runInBackground(std::function<void()> job) override {
    std::lock_guard<std::mutex> lock(mutex);
    chains.emplace_back(std::move(job));
    return true;
  }
  bool waitForChain(PurgeChainResult& chain, std::chrono::nanoseconds limit) override {
    waitLimits.push_back(limit);
    return chain.waitFor(shortenedWait.value_or(limit));
  }

  void joinChains() {
    for (std::thread& chain : chains) {
      if (chain.joinable()) chain.join();
    }
  }

  static constexpr std::uint64_t kLimit = 1 << 20;
  double clock = 0.0;
  Snapshot steady{0, 0, 4096, 100, 50};
  std::deque<Snapshot> script;
  unsigned processors = 2;
  bool failArena = false;
  std::uint64_t arenaBlockLimit = kLimit;
  int kernelCode = 0;
  std::shared_future<void> kernelGate;
  std::optional<std::chrono::nanoseconds> shortenedWait;

  std::mutex mutex;
  int snapshotsTaken = 0;
  std::atomic<int> kernelCalls{0};
  std::vector<unsigned> sleeps;
  std::deque<Block> allocations;  // a deque: blocks never move
  std::deque<Block> arenaBlocks;
  std::vector<void*> released;
  std::vector<std::uint64_t> arenaSizes;
  std::vector<std::thread::id> raisedOn;
  std::vector<std::chrono::nanoseconds> waitLimits;
  std::vector<std::thread> chains;

 private:
  struct Arena final : MemoryArena {
    explicit Arena(FakePlatform& owner) : owner(owner) {}
    void* calloc(std::uint64_t count, std::uint64_t size) override {
      std::lock_guard<std::mutex> lock(owner.mutex);
      Block& block = owner.arenaBlocks.emplace_back(Block{count, size, {}});
      if (count * size > owner.arenaBlockLimit) return nullptr;
      block.bytes.assign(count * size + 1, 0);
      return block.bytes.data();
    }
    FakePlatform& owner;
  };
};

class PurgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::setService(&Services::log, &log);
    // Well past whatever purge an earlier test left as the last one; whole seconds keep the
    // differences exact.
    fake.clock = std::floor(KwHardwareTool::lastPurgeTime()) + 1000.0;
  }
  void TearDown() override {
    fake.joinChains();
    testing::setService(&Services::log, nullptr);
  }

  FakePlatform fake;
  RecordingLog log;
};

TEST_F(PurgeTest, RateGate) {
  ASSERT_EQ(KwHardwareTool::purgeRAM(fake), 0u);  // the steady snapshot: no change
  const double first = fake.clock;
  EXPECT_EQ(KwHardwareTool::lastPurgeTime(), first);
  struct Step {
    double at;  // seconds after `first`
    bool proceeds;
  } steps[] = {{9.9, false}, {10.0, true}, {5.0, false} /* clock set back */, {19.9, false}, {20.0, true}};
  double last = first;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.at);
    fake.clock = first + step.at;
    fake.sleeps.clear();
    const int snapshotsBefore = fake.snapshotsTaken;
    log.take();
    EXPECT_EQ(KwHardwareTool::purgeRAM(fake), 0u);
    EXPECT_THAT(fake.sleeps, ElementsAre(1u));
    if (step.proceeds) last = fake.clock;
    EXPECT_EQ(KwHardwareTool::lastPurgeTime(), last);
    // Refused: no measurement and no log line. Passed: before, chain (strategy 1), after.
    EXPECT_EQ(fake.snapshotsTaken - snapshotsBefore, step.proceeds ? 3 : 0);
    EXPECT_EQ(log.take().size(), step.proceeds ? 3u : 0u);
  }
}

TEST_F(PurgeTest, GainIsMeasuredAndNeverWraps) {
  const Snapshot chain{0, 0, 4096, 1, 1};
  struct Row {
    const char* what;
    Snapshot before;
    Snapshot after;
    std::uint64_t gain;
    std::vector<std::string> extraLines;
  } rows[] = {
      {"free memory grew", {0, 0, 4096, 100, 9}, {0, 0, 4096, 300, 9}, 200 * 4096, {}},
      {"free memory shrank", {0, 0, 4096, 300, 9}, {0, 0, 4096, 100, 9}, 0, {}},
      {"the before-snapshot failed", {5, 0, 4096, 0, 0}, {0, 0, 4096, 50, 9}, 50 * 4096,
       {"[GetPhysMemoryInfo] get page size fail: 5"}},
      {"the after-snapshot failed", {0, 0, 4096, 1, 0}, {0, 6, 4096, 0, 0}, 0, {"[GetPhysMemoryInfo] get host statics fail: 6"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fake.clock += 100.0;
    fake.script = {row.before, chain, row.after};
    log.take();
    EXPECT_EQ(KwHardwareTool::purgeRAM(fake), row.gain);
    std::vector<std::string> lines = log.take();
    EXPECT_EQ(lines.size(), 3 + row.extraLines.size());
    for (const std::string& extra : row.extraLines) EXPECT_THAT(lines, ::testing::Contains(extra));
  }
}

TEST_F(PurgeTest, ChainOrderAndLogLines) {
  const Snapshot failed{0, 3};
  struct Row {
    const char* what;
    std::deque<Snapshot> script;
    int kernelCode;
    bool result;
    std::vector<std::string> lines;
    int kernelCalls;
  } rows[] = {
      {"strategy 1 succeeds", {{0, 0, 4096, 10, 5}}, 0, true,
       {"purgeRamByHugeMallocFree GetPhysMemoryInfo ret: 0", "purgeRamByHugeMallocFree GetPhysMemoryInfo totalFree: 61440",
        "purgeRamByHugeMallocFree GetPhysMemoryInfo end"},
       0},
      {"strategy 1 with nothing free", {{0, 0, 4096, 0, 0}}, 0, true, {"purgeRamByHugeMallocFree GetPhysMemoryInfo ret: 0"}, 0},
      {"strategy 2 after a failed measurement", {failed, {0, 0, 1, 1, 2}}, 0, true,
       {"[GetPhysMemoryInfo2] get host statics fail: 3", "purgeRamByHugeMallocFree GetPhysMemoryInfo ret: -1",
        "purgeRamByHugeMallocFree GetPhysMemoryInfo ret: -1,  1  -1", "GetPhysMemoryInfo ret: 0",
        "GetPhysMemoryInfo totalFree: 3", "GetPhysMemoryInfo end"},
       0},
      {"only the kernel call is left", {failed, failed, failed}, 0, true,
       {"[GetPhysMemoryInfo2] get host statics fail: 3", "purgeRamByHugeMallocFree GetPhysMemoryInfo ret: -1",
        "purgeRamByHugeMallocFree GetPhysMemoryInfo ret: -1,  1  -1", "[GetPhysMemoryInfo2] get host statics fail: 3",
        "GetPhysMemoryInfo ret: -1", "GetPhysMemoryInfo ret: -1,  1  -1", "[GetPhysMemoryInfo2] get host statics fail: 3"},
       1},
      {"all four fail", {{7}, {7}, {7}}, 1, false,
       {"[GetPhysMemoryInfo2] get page size fail: 7", "purgeRamByHugeMallocFree GetPhysMemoryInfo ret: -1",
        "purgeRamByHugeMallocFree GetPhysMemoryInfo ret: -1,  1  -1", "[GetPhysMemoryInfo2] get page size fail: 7",
        "GetPhysMemoryInfo ret: -1", "GetPhysMemoryInfo ret: -1,  1  -1", "[GetPhysMemoryInfo2] get page size fail: 7"},
       1},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.what);
    fake.script = row.script;
    fake.kernelCode = row.kernelCode;
    fake.kernelCalls = 0;
    EXPECT_EQ(KwHardwareTool::purgeByLocal(fake), row.result);
    EXPECT_EQ(log.take(), row.lines);
    EXPECT_EQ(fake.kernelCalls, row.kernelCalls);
    EXPECT_EQ(fake.waitLimits.back(), 15'000'000'000ns);
  }
  PhysMemoryInfo unused;
  EXPECT_EQ(GetPhysMemoryInfo(nullptr, fake), -1);
  EXPECT_EQ(GetPhysMemoryInfo2(nullptr, fake), -1);
  EXPECT_EQ(GetPhysMemoryInfo(&unused, fake), 0);
  EXPECT_TRUE(log.take().empty()) << "an absent record is refused without a line";
}

TEST_F(PurgeTest, RandomFillWritesWholeWordsOnly) {
  for (std::uint32_t total : {1u, 2u, 3u, 4u, 7u, 8u}) {
    SCOPED_TRACE(total);
    fake.allocations.clear();
    fake.released.clear();
    fake.script = {{0, 0, 1, total, 0}};
    EXPECT_EQ(KwHardwareTool::purgeRamByRandomFill(fake), 0);
    ASSERT_EQ(fake.allocations.size(), 1u);
    const FakePlatform::Block& block = fake.allocations[0];
    EXPECT_EQ(block.size, total);
    ASSERT_THAT(fake.released, ElementsAre(block.bytes.data()));
    const std::size_t written = total / 4 * 4;
    for (std::size_t i = written; i < block.bytes.size(); ++i) EXPECT_EQ(block.bytes[i], 0xAB) << "byte " << i;
    for (std::size_t word = 0; word < written; word += 4) {
      EXPECT_NE(std::vector<unsigned char>(block.bytes.begin() + word, block.bytes.begin() + word + 4),
                std::vector<unsigned char>(4, 0xAB));
    }
    EXPECT_THAT(log.take(), ElementsAre("GetPhysMemoryInfo ret: 0", "GetPhysMemoryInfo totalFree: " + std::to_string(total),
                                        "GetPhysMemoryInfo end"));
  }
  // A block that cannot be had: failure, and nothing logged after the measurement.
  fake.script = {{0, 0, 4096, 1000, 0}};
  EXPECT_EQ(KwHardwareTool::purgeRamByRandomFill(fake), -1);
  EXPECT_THAT(log.take(), ElementsAre("GetPhysMemoryInfo ret: 0"));
}

TEST_F(PurgeTest, ZoneTouchSizeRule) {
  constexpr std::uint64_t F = 1000;
  struct Row {
    std::uint64_t inactive;
    std::uint64_t size;
  } rows[] = {{0, F}, {F, F}, {F + 1, F + (F + 1) / 4}, {2 * F, F + 2 * F / 4}, {2 * F + 1, F + (2 * F + 1) / 2},
              {4 * F - 1, F + (4 * F - 1) / 2}, {4 * F, F + 4 * F}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.inactive);
    EXPECT_EQ(KwHardwareTool::zoneTouchSize(F, row.inactive), row.size);
    fake.arenaSizes.clear();
    fake.script = {{0, 0, 1, static_cast<std::uint32_t>(F), static_cast<std::uint32_t>(row.inactive)}};
    EXPECT_EQ(KwHardwareTool::purgeRamByZoneTouch(fake), 0);
    EXPECT_THAT(fake.arenaSizes, ElementsAre(row.size)) << "the zone is made with the size";
  }
  // Where 2F and 4F do not fit in 64 bits.
  constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
  EXPECT_EQ(KwHardwareTool::zoneTouchSize(kTop, ~std::uint64_t{0}), kTop + (~std::uint64_t{0} >> 2));
  EXPECT_EQ(KwHardwareTool::zoneTouchSize(0, 5), 5u);
  EXPECT_EQ(KwHardwareTool::zoneTouchSize(0, 0), 0u);
  EXPECT_TRUE(log.take().empty()) << "strategy 3 writes no line of its own";
}

TEST_F(PurgeTest, ZoneTouchWritesOneBytePerPageOnEveryProcessor) {
  struct Row {
    const char* what;
    unsigned processors;
    std::uint64_t size;  // free bytes (inactive 0)
    std::uint64_t pagesEach;
  } rows[] = {
      {"three pages each", 4, 4 * (3 * 4096 + 25), 3},
      {"a share under 4096 bytes", 4, 4 * 4095, 0},
      {"no processor count", 0, 2 * 4096, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fake.arenaBlocks.clear();
    fake.raisedOn.clear();
    fake.processors = row.processors;
    fake.script = {{0, 0, 1, static_cast<std::uint32_t>(row.size), 0}};
    EXPECT_EQ(KwHardwareTool::purgeRamByZoneTouch(fake), 0);
    const std::size_t operations = row.processors == 0 ? 1 : row.processors;
    ASSERT_EQ(fake.arenaBlocks.size(), operations);
    EXPECT_EQ(fake.raisedOn.size(), operations);
    EXPECT_EQ(std::count(fake.raisedOn.begin(), fake.raisedOn.end(), std::this_thread::get_id()), 0)
        << "each operation raises its own thread, not the caller's";
    for (const FakePlatform::Block& block : fake.arenaBlocks) {
      EXPECT_EQ(block.count, row.pagesEach);
      EXPECT_EQ(block.size, 4096u);
      for (std::size_t i = 0; i < block.bytes.size(); ++i) {
        const bool pageStart = i % 4096 == 0 && i / 4096 < row.pagesEach;
        ASSERT_EQ(block.bytes[i], pageStart ? static_cast<unsigned char>(i / 4096) : 0) << "byte " << i;
      }
    }
  }
  // A zone that cannot be made fails the strategy; a block that cannot be had skips its writes.
  fake.processors = 2;
  fake.failArena = true;
  fake.script = {{0, 0, 1, 8192, 0}};
  EXPECT_EQ(KwHardwareTool::purgeRamByZoneTouch(fake), -1);
  fake.failArena = false;
  fake.arenaBlockLimit = 0;
  fake.arenaBlocks.clear();
  fake.script = {{0, 0, 1, 2 * 3 * 4096, 0}};
  EXPECT_EQ(KwHardwareTool::purgeRamByZoneTouch(fake), 0);
  EXPECT_EQ(fake.arenaBlocks.size(), 2u);
  fake.script = {{0, 4}};
  EXPECT_EQ(KwHardwareTool::purgeRamByZoneTouch(fake), -1);
}

TEST_F(PurgeTest, TheWaitEndsAtTheDeadlineAndALateResultIsWrittenHarmlessly) {
  std::promise<void> release;
  fake.kernelGate = release.get_future().share();
  fake.shortenedWait = 50ms;  // stands in for the 15 s; the limit asked for is checked below
  fake.steady = Snapshot{0, 9};  // every measurement fails: the chain reaches the kernel call
  EXPECT_FALSE(KwHardwareTool::purgeByLocal(fake));
  EXPECT_THAT(fake.waitLimits, ElementsAre(15'000'000'000ns));
  for (int i = 0; i < 1000 && fake.kernelCalls < 1; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(fake.kernelCalls, 1) << "the chain is still running";

  // purgeRAM goes on past a chain still running: its pause and after-measurement still happen.
  fake.sleeps.clear();
  EXPECT_EQ(KwHardwareTool::purgeRAM(fake), 0u);
  EXPECT_THAT(fake.sleeps, ElementsAre(1u));

  // The chains end after their callers stopped waiting; their results go to shared flags.
  release.set_value();
  fake.joinChains();
  EXPECT_EQ(fake.kernelCalls, 2);
}

TEST(MemoryAutoFreeTest, ThresholdOfEachChoice) {
  constexpr std::uint64_t kDefault = 524'288'000;
  const std::pair<std::int64_t, std::uint64_t> rows[] = {
      {0, kDefault},
      {1, 1'073'741'824},
      {2, 2'147'483'648},
      {3, 3'221'225'472},
      {4, 4'294'967'296},
      {5, kDefault},
      {-1, kDefault},
      {std::numeric_limits<std::int64_t>::min(), kDefault},
      {std::numeric_limits<std::int64_t>::max(), kDefault},
  };
  for (const auto& [index, bytes] : rows) EXPECT_EQ(KwTools::memoryAutoFreeMinSizeWithIndex(index), bytes) << index;
}

TEST(LinuxPurgePlatformTest, MeminfoArenaAndKernelCallUnderARoot) {
  struct Row {
    const char* text;
    bool ok;
    std::uint64_t freeKiB, inactiveKiB;
  } rows[] = {
      {"MemTotal: 100 kB\nMemFree:   8 kB\nInactive:  12 kB\nInactive(anon): 3 kB\n", true, 8, 12},
      {"Inactive: 1 kB\nMemFree: 2 kB", true, 2, 1},
      {"MemFree: 8 kB\n", false, 0, 0},
      {"MemFree: x kB\nInactive: 1 kB\n", false, 0, 0},
      {"", false, 0, 0},
  };
  for (const Row& row : rows) {
    std::uint64_t freeKiB = 0, inactiveKiB = 0;
    EXPECT_EQ(lnx::parseMeminfo(row.text, &freeKiB, &inactiveKiB), row.ok) << row.text;
    if (row.ok) {
      EXPECT_EQ(freeKiB, row.freeKiB);
      EXPECT_EQ(inactiveKiB, row.inactiveKiB);
    }
  }

  std::string root = (std::filesystem::temp_directory_path() / "trellis-purge-XXXXXX").string();
  ASSERT_NE(::mkdtemp(root.data()), nullptr);
  lnx::LinuxPurgePlatform platform(root);
  HostPageCounts counts;
  EXPECT_EQ(platform.hostPageCounts(&counts), ENOENT);
  EXPECT_EQ(platform.kernelPurge(), ENOENT);
  std::filesystem::create_directories(root + "/proc/sys/vm");
  const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  std::ofstream(root + "/proc/meminfo") << "MemFree: " << page / 1024 * 10 << " kB\nInactive: " << page / 1024 * 3
                                        << " kB\n";
  std::ofstream(root + "/proc/sys/vm/drop_caches") << "";
  ASSERT_EQ(platform.hostPageCounts(&counts), 0);
  EXPECT_EQ(counts.freePages, 10u);
  EXPECT_EQ(counts.inactivePages, 3u);
  EXPECT_EQ(platform.kernelPurge(), 0);
  std::ifstream written(root + "/proc/sys/vm/drop_caches");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), "1");
  std::filesystem::remove_all(root);

  // The arena: zero-filled blocks one after another, refused past its size or on overflow.
  std::unique_ptr<MemoryArena> arena = platform.createArena(3 * 4096);
  ASSERT_NE(arena, nullptr);
  auto* a = static_cast<unsigned char*>(arena->calloc(2, 4096));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(std::count(a, a + 2 * 4096, 0), 2 * 4096);
  a[0] = 1;
  auto* b = static_cast<unsigned char*>(arena->calloc(1, 4096));
  EXPECT_EQ(b, a + 2 * 4096);
  EXPECT_EQ(arena->calloc(1, 1), nullptr);
  EXPECT_EQ(arena->calloc(std::uint64_t{1} << 40, std::uint64_t{1} << 40), nullptr);
  EXPECT_EQ(platform.createArena(0), nullptr);

  const double expected = static_cast<double>(std::time(nullptr)) - lnx::kSecondsFrom1970To2001;
  EXPECT_NEAR(platform.now(), expected, 2.0);
  EXPECT_GE(platform.processorCount(), 1u);
}

}  // namespace
}  // namespace trellis
