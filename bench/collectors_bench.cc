// The memory and disk collectors' `reloadInfo` against this machine's /proc, /sys and file
// systems (the disk temperature reader is a constant, so the figure is the collector's own work),
// the disk collector's driver sums, and the first listing, which also describes every volume.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "metrics/disk_info.h"
#include "metrics/memory_info.h"
#include "platform/linux/metrics/disk_source.h"
#include "platform/linux/metrics/memory_source.h"

namespace trellis {
namespace {

int constantReading(double* value) {
  *value = 40.0;
  return 0;
}

void BM_MemoryReloadInfo(benchmark::State& state) {
  lnx::ProcMemorySource source;
  MemoryInfo memory(source);
  for (auto _ : state) {
    memory.reloadInfo();
    benchmark::DoNotOptimize(memory.getMemoryInfo()->free());
  }
}
BENCHMARK(BM_MemoryReloadInfo)->Unit(benchmark::kMicrosecond);

void BM_DiskReloadInfo(benchmark::State& state) {
  lnx::LinuxDiskSource source;
  DiskInfo disk(source, constantReading);
  for (auto _ : state) {
    disk.reloadInfo();
    benchmark::DoNotOptimize(disk.getMainDisk());
  }
  state.counters["volumes"] = static_cast<double>(disk.list().size());
}
BENCHMARK(BM_DiskReloadInfo)->Unit(benchmark::kMicrosecond);

void BM_DiskFirstListing(benchmark::State& state) {
  lnx::LinuxDiskSource source;
  for (auto _ : state) {
    DiskInfo disk(source, constantReading);
    benchmark::DoNotOptimize(disk.list().data());
  }
}
BENCHMARK(BM_DiskFirstListing)->Unit(benchmark::kMicrosecond);

void BM_DiskReadAndWriteBytes(benchmark::State& state) {
  lnx::LinuxDiskSource source;
  DiskInfo disk(source, constantReading);
  std::uint64_t sum = 0;
  for (auto _ : state) {
    disk.getReadAndWriteBytesWithHandler([&sum](std::uint64_t r, std::uint64_t w) { sum += r + w; });
  }
  benchmark::DoNotOptimize(sum);
  state.counters["drivers"] = static_cast<double>(disk.drivers().size());
}
BENCHMARK(BM_DiskReadAndWriteBytes)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace trellis
