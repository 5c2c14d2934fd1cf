// The companion's metrics commands: the collectors' records as the agent would see them.
// Main thread only.
#pragma once

#include <chrono>
#include <string>

#include "base/services.h"
#include "metrics/cpu_info.h"

namespace trellis::cli {

// The CPU record for people, several lines.
std::string cpuRecordText(const CpuModel& model);
// The CPU record's dictionary form by property name as one JSON line.
std::string cpuRecordJson(const CpuModel& model);

// `trellis metrics cpu` over the CPU source of `services`: two samples `interval` apart (so the
// shares are of that interval), or one when `sinceBoot`. The temperature comes through the
// process's SMC transport. Returns the exit status.
int metricsCpu(const Services& services, bool json, bool sinceBoot,
               std::chrono::milliseconds interval = std::chrono::seconds(2));

}  // namespace trellis::cli
