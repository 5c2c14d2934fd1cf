// The companion's storage commands: `trellis metrics memory` and `trellis metrics disk`, the
// memory and disk collectors' records as the agent would see them, for people or as JSON.
// Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/services.h"
#include "metrics/disk_info.h"
#include "metrics/memory_info.h"

namespace trellis::cli {

// {"total", "free", "totalString", "freeString", "useString", "usePercentString"} as one JSON
// line (keys sorted).
std::string memoryRecordJson(const MemoryModel& model);
// The memory record for people: total, free and used, three lines.
std::string memoryRecordText(const MemoryModel& model);

// The drivers' byte counters: the sums at the end of a window and the rates over it.
struct DiskThroughput {
  std::uint64_t bytesRead = 0;
  std::uint64_t bytesWritten = 0;
  std::uint64_t readBytesPerSecond = 0;
  std::uint64_t writeBytesPerSecond = 0;
};

// One JSON line (keys sorted): {"volumes": [each record's properties by name, flags as JSON
// booleans, plus "totalString", "freeString", "useString", "usePercentString"], "mainDisk": the
// main record's name or null, "bytesRead", "bytesWritten", "readBytesPerSecond",
// "writeBytesPerSecond"}.
std::string diskReportJson(const std::vector<std::shared_ptr<DiskModel>>& volumes, const DiskModel* mainDisk,
                           const DiskThroughput& throughput);
// The same for people: a table of the volumes, the main disk, and the throughput.
std::string diskReportText(const std::vector<std::shared_ptr<DiskModel>>& volumes, const DiskModel* mainDisk,
                           const DiskThroughput& throughput);

// `trellis metrics memory`: one reading of the memory source of `services`, which reads /proc
// under `root`. Returns the exit status: 0, or 1 (with a message on standard error naming
// `root`) when the memory size cannot be read.
int metricsMemory(const Services& services, const std::string& root, bool json);

// `trellis metrics disk`: lists the volumes and drivers of the disk source of `services`, samples
// the drivers, waits `window`, refreshes the volumes (which gives the listed ones the disk
// temperature read through the process's SMC transport) and samples again. Returns 0.
int metricsDisk(const Services& services, bool json, std::chrono::milliseconds window = std::chrono::seconds(1));

}  // namespace trellis::cli
