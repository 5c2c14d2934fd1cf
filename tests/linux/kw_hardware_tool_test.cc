// The memory purge over a scripted platform whose chain threads it joins, and the Linux platform
// on a temporary root.
#include "tools/kw_hardware_tool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "platform/linux/system/purge.h"
#include "support/recording_log.h"
#include "support/service_setters.h"
#include "support/temp_tree.h"
#include "tools/kw_tools.h"

namespace trellis {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

// One scripted snapshot: the page size call's code, the page counts call's code, and the answers.
struct Snapshot {
  int pageCode = 0, countCode = 0;
  std::uint64_t pageSize = 4096;
  std::uint32_t freePages = 0, inactivePages = 0;
};

class FakePlatform final : public PurgePlatform {
 public:
  // A block handed out by allocate or an arena, kept after release; no bytes when refused.
  struct Block {
    std::uint64_t count, size;
    std::vector<unsigned char> bytes;
  };
  ~FakePlatform() override { joinChains(); }

  double now() override { return clock; }
  void sleepSeconds(unsigned seconds) override { sleeps.push_back(seconds); }
  int hostPageSize(std::uint64_t* pageSize) override {
    std::lock_guard<std::mutex> lock(mutex);
    ++snapshotsTaken;
    const Snapshot s = next(false);
    if (s.pageCode == 0) *pageSize = s.pageSize;
    return s.pageCode;
  }
  int hostPageCounts(HostPageCounts* counts) override {
    std::lock_guard<std::mutex> lock(mutex);
    const Snapshot s = next(true);
    if (s.countCode == 0) *counts = HostPageCounts{s.freePages, s.inactivePages};
    return s.countCode;
  }
  void* allocate(std::uint64_t size) override {
    Block& block = allocations.emplace_back(Block{1, size, {}});
    if (size > blockLimit) return nullptr;
    block.bytes.assign(size + 8, 0xAB);  // 8 guard bytes past the end
    return block.bytes.data();
  }
  void release(void* block) override { released.push_back(block); }
  std::unique_ptr<MemoryArena> createArena(std::uint64_t startSize) override {
    arenaSizes.push_back(startSize);
    return failArena ? nullptr : std::make_unique<Arena>(*this);
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

  double clock = 0.0;
  Snapshot steady{0, 0, 4096, 100, 50};  // answers once the script is used up
  std::deque<Snapshot> script;
  unsigned processors = 2;
  bool failArena = false;
  std::uint64_t blockLimit = 1 << 20;
  int kernelCode = 0;
  std::shared_future<void> kernelGate;
  std::optional<std::chrono::nanoseconds> shortenedWait;

  std::mutex mutex;
  int snapshotsTaken = 0;
  std::atomic<int> kernelCalls{0};
  std::vector<unsigned> sleeps;
  std::deque<Block> allocations, arenaBlocks;  // deques: blocks never move
  std::vector<void*> released;
  std::vector<std::uint64_t> arenaSizes;
  std::vector<std::thread::id> raisedOn;
  std::vector<std::chrono::nanoseconds> waitLimits;
  std::vector<std::thread> chains;

 private:
  // The snapshot under way; a failed page size call ends it, as does the page counts call.
  Snapshot next(bool counts) {
    const Snapshot s = script.empty() ? steady : script.front();
    if (!script.empty() && (counts || s.pageCode != 0)) script.pop_front();
    return s;
  }
  struct Arena final : MemoryArena {
    explicit Arena(FakePlatform& owner) : owner(owner) {}
    void* calloc(std::uint64_t count, std::uint64_t size) override {
      std::lock_guard<std::mutex> lock(owner.mutex);
      Block& block = owner.arenaBlocks.emplace_back(Block{count, size, {}});
      if (count * size > owner.blockLimit) return nullptr;
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
    // Past the last purge an earlier test left; whole seconds keep the differences exact.
    fake.clock = std::floor(KwHardwareTool::lastPurgeTime()) + 1000.0;
  }
  void TearDown() override {
    fake.joinChains();
    testing::setService(&Services::log, nullptr);
  }
  // The lines written since the last look, every one at notice priority.
  std::vector<std::string> lines() {
    EXPECT_THAT(log.priorities(), ::testing::Each(kLogNotice));
    return log.take();
  }

  FakePlatform fake;
  testing::RecordingLog log;
};

TEST_F(PurgeTest, RateGateAndTheGainMeasuredWithoutWrapping) {
  ASSERT_EQ(KwHardwareTool::purgeRAM(fake), 0u);  // the steady snapshot: no change
  const double first = fake.clock;
  double last = first;
  // {seconds after the first, passes}; 5.0: the clock set back.
  for (const auto& [at, passes] : {std::pair{9.9, false}, {10.0, true}, {5.0, false}, {19.9, false}, {20.0, true}}) {
    fake.clock = first + at;
    fake.sleeps.clear();
    const int snapshotsBefore = fake.snapshotsTaken;
    lines();
    EXPECT_EQ(KwHardwareTool::purgeRAM(fake), 0u);
    EXPECT_THAT(fake.sleeps, ElementsAre(1u));
    if (passes) last = fake.clock;
    EXPECT_EQ(KwHardwareTool::lastPurgeTime(), last) << at;
    // Refused: no measurement and no log line. Passed: before, chain (strategy 1), after.
    EXPECT_EQ(fake.snapshotsTaken - snapshotsBefore, passes ? 3 : 0) << at;
    EXPECT_EQ(lines().size(), passes ? 3u : 0u) << at;
  }

  const Snapshot chain{0, 0, 4096, 1, 1};
  struct Row {
    Snapshot before, after;
    std::uint64_t gain;
    const char* extraLine;
  } rows[] = {
      {{0, 0, 4096, 100, 9}, {0, 0, 4096, 300, 9}, 200 * 4096, nullptr},  // free memory grew
      {{0, 0, 4096, 300, 9}, {0, 0, 4096, 100, 9}, 0, nullptr},           // shrank
      {{5, 0, 4096, 0, 0}, {0, 0, 4096, 50, 9}, 50 * 4096, "[GetPhysMemoryInfo] get page size fail: 5"},
      {{0, 0, 4096, 1, 0}, {0, 6, 4096, 0, 0}, 0, "[GetPhysMemoryInfo] get host statics fail: 6"},
  };
  for (const Row& row : rows) {
    fake.clock += 100.0;
    fake.script = {row.before, chain, row.after};
    EXPECT_EQ(KwHardwareTool::purgeRAM(fake), row.gain);
    const std::vector<std::string> written = lines();
    EXPECT_EQ(written.size(), row.extraLine ? 4u : 3u);
    if (row.extraLine) {
      EXPECT_THAT(written, ::testing::Contains(row.extraLine));
    }
  }
}

TEST_F(PurgeTest, ChainOrderAndLogLines) {
  const Snapshot failed{0, 3};
  const std::string failedMeasurement = "[GetPhysMemoryInfo2] get host statics fail: 3";
  const std::vector<std::string> strategy1Failed = {failedMeasurement, "purgeRamByHugeMallocFree GetPhysMemoryInfo ret: -1",
                                                    "purgeRamByHugeMallocFree GetPhysMemoryInfo ret: -1,  1  -1"};
  const auto concat = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  struct Row {
    std::deque<Snapshot> script;
    int kernelCode;
    bool result;
    std::vector<std::string> lines;
    int kernelCalls;
  } rows[] = {
      {{{0, 0, 4096, 10, 5}}, 0, true,
       {"purgeRamByHugeMallocFree GetPhysMemoryInfo ret: 0", "purgeRamByHugeMallocFree GetPhysMemoryInfo totalFree: 61440",
        "purgeRamByHugeMallocFree GetPhysMemoryInfo end"}, 0},
      {{{0, 0, 4096, 0, 0}}, 0, true, {"purgeRamByHugeMallocFree GetPhysMemoryInfo ret: 0"}, 0},  // nothing free
      {{failed, {0, 0, 1, 1, 2}}, 0, true,
       concat(strategy1Failed, {"GetPhysMemoryInfo ret: 0", "GetPhysMemoryInfo totalFree: 3", "GetPhysMemoryInfo end"}), 0},
      {{failed, failed, failed}, 0, true,
       concat(strategy1Failed, {failedMeasurement, "GetPhysMemoryInfo ret: -1", "GetPhysMemoryInfo ret: -1,  1  -1",
                                failedMeasurement}), 1},
      {{{7}, {7}, {7}}, 1, false,
       {"[GetPhysMemoryInfo2] get page size fail: 7", "purgeRamByHugeMallocFree GetPhysMemoryInfo ret: -1",
        "purgeRamByHugeMallocFree GetPhysMemoryInfo ret: -1,  1  -1", "[GetPhysMemoryInfo2] get page size fail: 7",
        "GetPhysMemoryInfo ret: -1", "GetPhysMemoryInfo ret: -1,  1  -1", "[GetPhysMemoryInfo2] get page size fail: 7"}, 1},
  };
  for (Row& row : rows) {
    fake.script = row.script;
    fake.kernelCode = row.kernelCode;
    fake.kernelCalls = 0;
    EXPECT_EQ(KwHardwareTool::purgeByLocal(fake), row.result);
    EXPECT_EQ(lines(), row.lines);
    EXPECT_EQ(fake.kernelCalls, row.kernelCalls);
  }
  PhysMemoryInfo unused;
  EXPECT_EQ(GetPhysMemoryInfo(nullptr, fake), -1);
  EXPECT_EQ(GetPhysMemoryInfo2(nullptr, fake), -1);
  EXPECT_EQ(GetPhysMemoryInfo(&unused, fake), 0);
  EXPECT_TRUE(lines().empty()) << "an absent record is refused without a line";
}

TEST_F(PurgeTest, RandomFillWritesWholeWordsOnly) {
  for (std::uint32_t total : {1u, 2u, 3u, 4u, 7u, 8u}) {
    fake.allocations.clear();
    fake.released.clear();
    fake.script = {{0, 0, 1, total, 0}};
    EXPECT_EQ(KwHardwareTool::purgeRamByRandomFill(fake), 0);
    ASSERT_EQ(fake.allocations.size(), 1u);
    const std::vector<unsigned char>& bytes = fake.allocations[0].bytes;
    EXPECT_EQ(fake.allocations[0].size, total);
    EXPECT_THAT(fake.released, ElementsAre(bytes.data()));
    const std::size_t written = total / 4 * 4;
    EXPECT_EQ(std::vector(bytes.begin() + written, bytes.end()), std::vector<unsigned char>(total + 8 - written, 0xAB));
    for (std::size_t word = 0; word < written; word += 4) {
      EXPECT_NE(std::vector(bytes.begin() + word, bytes.begin() + word + 4), std::vector<unsigned char>(4, 0xAB)) << total;
    }
    EXPECT_THAT(lines(), ElementsAre("GetPhysMemoryInfo ret: 0", "GetPhysMemoryInfo totalFree: " + std::to_string(total),
                                        "GetPhysMemoryInfo end"));
  }
  // A block that cannot be had: failure, and nothing logged after the measurement.
  fake.script = {{0, 0, 4096, 1000, 0}};
  EXPECT_EQ(KwHardwareTool::purgeRamByRandomFill(fake), -1);
  EXPECT_THAT(lines(), ElementsAre("GetPhysMemoryInfo ret: 0"));
}

TEST_F(PurgeTest, ZoneTouchSizesItsZoneAndWritesOneBytePerPageOnEveryProcessor) {
  constexpr std::uint64_t F = 1000;
  // {inactive, size}: F when I <= F, F + I/4 when I <= 2F, F + I/2 when I < 4F, F + I from 4F on.
  for (const auto& [inactive, size] : {std::pair{0ull, F}, {F, F}, {F + 1, F + (F + 1) / 4}, {2 * F, F + 2 * F / 4},
                                       {2 * F + 1, F + (2 * F + 1) / 2}, {4 * F - 1, F + (4 * F - 1) / 2}, {4 * F, 5 * F}}) {
    EXPECT_EQ(KwHardwareTool::zoneTouchSize(F, inactive), size) << inactive;
    fake.arenaSizes.clear();
    fake.script = {{0, 0, 1, static_cast<std::uint32_t>(F), static_cast<std::uint32_t>(inactive)}};
    EXPECT_EQ(KwHardwareTool::purgeRamByZoneTouch(fake), 0);
    EXPECT_THAT(fake.arenaSizes, ElementsAre(size)) << "the zone is made with the size";
  }
  // Where 2F and 4F do not fit in 64 bits.
  constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
  EXPECT_EQ(KwHardwareTool::zoneTouchSize(kTop, ~std::uint64_t{0}), kTop + (~std::uint64_t{0} >> 2));
  EXPECT_TRUE(lines().empty()) << "strategy 3 writes no line of its own";

  // {processors, free bytes, pages each}: three pages each, a share under 4096 bytes, no count.
  for (const auto& [processors, size, pagesEach] : {std::tuple{4u, 4 * (3 * 4096 + 25), 3}, {4u, 4 * 4095, 0},
                                                    {0u, 2 * 4096, 2}}) {
    fake.arenaBlocks.clear();
    fake.raisedOn.clear();
    fake.processors = processors;
    fake.script = {{0, 0, 1, static_cast<std::uint32_t>(size), 0}};
    EXPECT_EQ(KwHardwareTool::purgeRamByZoneTouch(fake), 0);
    const std::size_t operations = std::max(processors, 1u);
    ASSERT_EQ(fake.arenaBlocks.size(), operations);
    EXPECT_EQ(fake.raisedOn.size(), operations);
    EXPECT_THAT(fake.raisedOn, ::testing::Not(::testing::Contains(std::this_thread::get_id())))
        << "each operation raises its own thread, not the caller's";
    for (const FakePlatform::Block& block : fake.arenaBlocks) {
      EXPECT_EQ(std::pair(block.count, block.size), std::pair(std::uint64_t(pagesEach), std::uint64_t{4096}));
      std::vector<unsigned char> expected(block.bytes.size(), 0);
      for (int page = 0; page < pagesEach; ++page) expected[page * 4096] = static_cast<unsigned char>(page);
      EXPECT_EQ(block.bytes, expected);
    }
  }
  // A zone that cannot be made, or a failed measurement, fails the strategy; a block that cannot
  // be had skips its writes.
  fake.processors = 2;
  fake.failArena = true;
  fake.script = {{0, 0, 1, 8192, 0}};
  EXPECT_EQ(KwHardwareTool::purgeRamByZoneTouch(fake), -1);
  fake.failArena = false;
  fake.blockLimit = 0;
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
  for (const auto& [index, bytes] : {std::pair<std::int64_t, std::uint64_t>{0, kDefault}, {1, 1'073'741'824},
                                     {2, 2'147'483'648}, {3, 3'221'225'472}, {4, 4'294'967'296}, {5, kDefault},
                                     {-1, kDefault}, {std::numeric_limits<std::int64_t>::min(), kDefault},
                                     {std::numeric_limits<std::int64_t>::max(), kDefault}}) {
    EXPECT_EQ(KwTools::memoryAutoFreeMinSizeWithIndex(index), bytes) << index;
  }
}

TEST(LinuxPurgePlatformTest, MeminfoArenaAndKernelCallUnderARoot) {
  for (const auto& [text, expected] : {std::pair{"MemTotal: 100 kB\nMemFree:   8 kB\nInactive:  12 kB\nInactive(anon): 3 kB\n", "8 12"},
                                      {"Inactive: 1 kB\nMemFree: 2 kB", "2 1"}, {"MemFree: 8 kB\n", "refused"},
                                      {"MemFree: x kB\nInactive: 1 kB\n", "refused"}, {"", "refused"}}) {
    std::uint64_t free = 0, inactive = 0;
    const bool read = lnx::parseMeminfo(text, &free, &inactive);
    EXPECT_EQ(read ? std::to_string(free) + " " + std::to_string(inactive) : "refused", expected) << text;
  }

  testing::TempTree root;
  lnx::LinuxPurgePlatform platform(root.root());
  HostPageCounts counts;
  EXPECT_EQ(platform.hostPageCounts(&counts), ENOENT);
  EXPECT_EQ(platform.kernelPurge(), ENOENT);
  const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  root.write("proc/meminfo", "MemFree: " + std::to_string(page / 1024 * 10) + " kB\nInactive: " +
                                 std::to_string(page / 1024 * 3) + " kB\n");
  root.write("proc/sys/vm/drop_caches", "");
  ASSERT_EQ(platform.hostPageCounts(&counts), 0);
  EXPECT_EQ(std::pair(counts.freePages, counts.inactivePages), std::pair(10u, 3u));
  EXPECT_EQ(platform.kernelPurge(), 0);
  EXPECT_EQ(root.read("proc/sys/vm/drop_caches"), "1");

  // The arena: zero-filled blocks one after another, refused past its size or on overflow.
  std::unique_ptr<MemoryArena> arena = platform.createArena(3 * 4096);
  ASSERT_NE(arena, nullptr);
  auto* a = static_cast<unsigned char*>(arena->calloc(2, 4096));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(std::count(a, a + 2 * 4096, 0), 2 * 4096);
  EXPECT_EQ(arena->calloc(1, 4096), a + 2 * 4096);
  EXPECT_EQ(arena->calloc(1, 1), nullptr);
  EXPECT_EQ(arena->calloc(std::uint64_t{1} << 40, std::uint64_t{1} << 40), nullptr);
  EXPECT_EQ(platform.createArena(0), nullptr);
  EXPECT_NEAR(platform.now(), static_cast<double>(std::time(nullptr)) - lnx::kSecondsFrom1970To2001, 2.0);
  EXPECT_GE(platform.processorCount(), 1u);
}

}  // namespace
}  // namespace trellis
