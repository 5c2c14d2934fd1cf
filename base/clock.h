// The monotonic clock the collectors time their rates with. A clock is used from one thread at a
// time (its collector's).
#pragma once

#include <cstdint>

namespace trellis {

// The conversion from clock ticks to nanoseconds: ns = ticks * numerator / denominator.
struct Timebase {
  std::uint32_t numerator = 0;
  std::uint32_t denominator = 0;  // 0: unknown
};

// A monotonic clock that counts ticks from an arbitrary fixed start (boot, on Linux).
class MonotonicClock {
 public:
  virtual ~MonotonicClock() = default;
  virtual std::uint64_t absoluteTime() = 0;
  // Constant for the life of the process; a denominator of 0 when it cannot be read.
  virtual Timebase timebase() = 0;
};

}  // namespace trellis
