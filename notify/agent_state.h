// What the agent read on its last sampling cycle and whether it still samples: the snapshot that
// the agent's bus object and its metrics export serve, so that neither touches a sensor. Plain
// values; the hardware manager updates its copy on the main thread.
#pragma once

#include <cstdint>
#include <optional>

#include "model/value.h"

namespace trellis {

struct AgentState {
  // The readings as last posted: the CPU temperature (the collector's fallback when its reading
  // failed), the main disk's temperature (0 without a main disk) and the fan set's dictionary.
  float cpuTemperature = 0.0f;
  float diskTemperature = 0.0f;
  Dictionary fans;
  // False when the posted value stands in for a reading that failed (or, for the disk, when
  // there is no main disk): exporters leave such a reading out.
  bool cpuMeasured = false;
  bool diskMeasured = false;
  bool paused = false;
  // Sampling cycles run so far, and when the last one ran (microseconds since 1970, UTC).
  std::uint64_t cycles = 0;
  std::optional<std::int64_t> lastSampleMicros;
};

// Makes `to` equal to `from` member by member, the fan form kept in the storage `to` has (model/
// value.h): what holds a copy of the state refreshes it every cycle without allocating.
inline void assignKeepingStorage(AgentState& to, const AgentState& from) {
  to.cpuTemperature = from.cpuTemperature;
  to.diskTemperature = from.diskTemperature;
  assignKeepingStorage(to.fans, from.fans);
  to.cpuMeasured = from.cpuMeasured;
  to.diskMeasured = from.diskMeasured;
  to.paused = from.paused;
  to.cycles = from.cycles;
  to.lastSampleMicros = from.lastSampleMicros;
}

}  // namespace trellis
