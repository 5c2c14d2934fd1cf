// One fake per metric source and a settable clock, shared by every suite that needs them: each
// answers what the test set and counts or records what it was asked. Test thread only.
#pragma once

#include <array>
#include <deque>
#include <map>

#include "base/clock.h"
#include "metrics/cpu_source.h"
#include "metrics/disk_source.h"
#include "metrics/memory_source.h"
#include "metrics/network_source.h"

namespace trellis::testing {

inline constexpr std::uint64_t kGiB = 1024ull * 1024 * 1024;

using Ticks = std::optional<std::vector<ProcessorTicks>>;

// Tick samples are handed out in order; once they run out the reading fails.
struct FakeCpuSource : CpuSource {
  std::optional<std::string> brandAnswer = "Test CPU";
  std::optional<std::int32_t> countAnswer = 2;
  std::optional<TaskAndThreadCount> tasksAnswer = TaskAndThreadCount{120, 480};
  std::optional<std::array<double, 3>> loadAnswer = std::array<double, 3>{1.5, 1.25, 0.75};
  std::deque<Ticks> ticks;
  int brandCalls = 0;
  int countCalls = 0;

  std::optional<std::string> brand() override {
    ++brandCalls;
    return brandAnswer;
  }
  std::optional<std::int32_t> processorCount() override {
    ++countCalls;
    return countAnswer;
  }
  std::optional<TaskAndThreadCount> taskAndThreadCount() override { return tasksAnswer; }
  std::optional<std::array<double, 3>> loadAverages() override { return loadAnswer; }
  Ticks processorTicks() override {
    if (ticks.empty()) return std::nullopt;
    Ticks next = ticks.front();
    ticks.pop_front();
    return next;
  }
};

struct FakeMemorySource : MemorySource {
  std::optional<std::uint64_t> total = 16 * kGiB;
  std::optional<std::uint64_t> page = 4096;
  std::optional<PageCounts> counts = PageCounts{1000, 500};
  int totalCalls = 0;
  int countCalls = 0;

  std::optional<std::uint64_t> physicalMemory() override {
    ++totalCalls;
    return total;
  }
  std::optional<std::uint64_t> pageSize() override { return page; }
  std::optional<PageCounts> pageCounts() override {
    ++countCalls;
    return counts;
  }
};

struct FakeNetworkSource : NetworkSource {
  std::optional<NetworkService> service;
  std::optional<ByteCounters> counters = ByteCounters{};
  std::optional<NetworkService> primaryService() override { return service; }
  std::optional<ByteCounters> byteCounters() override { return counters; }
};

struct FakeClock : MonotonicClock {
  std::uint64_t ticks = 0;
  Timebase base{1, 1};
  int timebaseReads = 0;
  std::uint64_t absoluteTime() override { return ticks; }
  Timebase timebase() override {
    ++timebaseReads;
    return base;
  }
};

// Volumes without a capacity or a description cannot be asked or described; drivers without
// counters cannot be read.
struct FakeDiskSource : DiskSource {
  std::optional<std::vector<std::string>> entries = std::vector<std::string>{};
  std::map<std::string, VolumeCapacity> capacities;
  std::map<std::string, VolumeDescription> described;
  std::map<std::string, int> describeCalls;
  std::optional<std::vector<DriverHandle>> matched = std::vector<DriverHandle>{};
  std::map<DriverHandle, std::optional<DriverCounters>> counters;
  std::vector<DriverHandle> reads;
  std::vector<DriverHandle> released;
  bool unchanged = false;  // what `volumesMayHaveChanged` denies
  int capacityCalls = 0;

  std::optional<std::vector<std::string>> volumeNames() override { return entries; }
  bool volumesMayHaveChanged() override { return !unchanged; }
  std::optional<VolumeCapacity> capacity(const std::string& entry) override {
    ++capacityCalls;
    auto it = capacities.find(entry);
    return it == capacities.end() ? std::nullopt : std::optional(it->second);
  }
  std::optional<VolumeDescription> describe(const std::string& entry) override {
    ++describeCalls[entry];
    auto it = described.find(entry);
    return it == described.end() ? std::nullopt : std::optional(it->second);
  }
  std::optional<std::vector<DriverHandle>> matchDrivers() override { return matched; }
  std::optional<DriverCounters> driverCounters(DriverHandle driver) override {
    reads.push_back(driver);
    auto it = counters.find(driver);
    return it == counters.end() ? std::nullopt : it->second;
  }
  void releaseDriver(DriverHandle driver) override { released.push_back(driver); }

  // A volume listed under `name` whose description gives it that name.
  void add(const std::string& name, VolumeCapacity capacity, bool internal = true, bool removable = false) {
    entries->push_back(name);
    capacities[name] = capacity;
    described[name] = VolumeDescription{name, "Model " + name, "apfs", internal, true, removable, false};
  }
};

}  // namespace trellis::testing
