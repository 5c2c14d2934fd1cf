// Where the CPU collector gets its five platform readings: the processor brand, the logical
// processor count, the task and thread counts, the load averages and the per-processor tick
// counters. The platform's implementation lives in the platform folder; tests give the collector
// a fake. A source is used from one thread at a time (the collector's main thread).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace trellis {

// One processor's cumulative tick counters since boot, in the order the kernel keeps them. Each
// is a wrapping unsigned 32-bit counter: the difference of two readings taken modulo 2^32 is the
// number of ticks in between, even when the counter wrapped.
struct ProcessorTicks {
  std::uint32_t user = 0;
  std::uint32_t system = 0;
  std::uint32_t idle = 0;
  std::uint32_t nice = 0;

  friend bool operator==(const ProcessorTicks&, const ProcessorTicks&) = default;
};

struct TaskAndThreadCount {
  std::int32_t tasks = 0;    // processes
  std::int32_t threads = 0;  // threads of all processes

  friend bool operator==(const TaskAndThreadCount&, const TaskAndThreadCount&) = default;
};

class CpuSource {
 public:
  virtual ~CpuSource() = default;

  // The processor brand text, or nothing when it cannot be read. An empty text is a valid answer.
  virtual std::optional<std::string> brand() = 0;
  // The number of logical processors, or nothing (never 0 or negative when present).
  virtual std::optional<std::int32_t> processorCount() = 0;
  // The numbers of processes and threads in the system, or nothing when either is unknown.
  virtual std::optional<TaskAndThreadCount> taskAndThreadCount() = 0;
  // The 1-, 5- and 15-minute load averages, in that order, or nothing.
  virtual std::optional<std::array<double, 3>> loadAverages() = 0;
  // One entry per processor in the kernel's processor order, or nothing when the counters cannot
  // be read. The list's length may change between calls (processors taken on- or offline).
  virtual std::optional<std::vector<ProcessorTicks>> processorTicks() = 0;
  // The same into `ticks`, whose buffer a source may reuse; false, with `ticks` in an unspecified
  // state, when the counters cannot be read.
  virtual bool readProcessorTicks(std::vector<ProcessorTicks>& ticks) {
    std::optional<std::vector<ProcessorTicks>> read = processorTicks();
    if (!read) return false;
    ticks = std::move(*read);
    return true;
  }
};


}  // namespace trellis
