// The agent's readings for Prometheus: the text exposition format (0.0.4) that every Prometheus
// scrapes, or OpenMetrics 1.0 when the scraper asks for it. Built from the last cycle's snapshot
// (notify/agent_state.h), never from the sensors. Pure; any thread.
//
//   trellis_cpu_temperature_celsius                 gauge  left out when the reading failed
//   trellis_disk_temperature_celsius                gauge  left out without a main disk or a reading
//   trellis_fans                                    gauge  the number of fans
//   trellis_fan_speed_rpm{fan,id}                   gauge  per fan: current, minimum, maximum speed
//   trellis_fan_min_speed_rpm{fan,id}, trellis_fan_max_speed_rpm{fan,id}
//   trellis_sampling_paused                         gauge  1 once a pause came
//   trellis_last_sample_timestamp_seconds           gauge  left out before the first cycle
//   trellis_sensors_info{transport,cpu_source,disk_source}  info
//   trellis_build_info{version}                     info
// With the collectors: trellis_load_average{minutes}, trellis_cpu_usage_ratio{mode},
// trellis_memory_total_bytes, trellis_memory_free_bytes, trellis_volume_size_bytes{volume},
// trellis_volume_free_bytes{volume}, trellis_network_receive_bytes_per_second,
// trellis_network_transmit_bytes_per_second.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "notify/agent_state.h"

namespace trellis {

enum class ExpositionFormat { kPrometheusText, kOpenMetrics };

// What the agent says of itself beside the readings.
struct ExpositionInfo {
  std::string version;
  std::string transport;   // the SMC transport: "hwmon", "applesmc", "sim", "none"
  std::string cpuSource;   // where the CPU temperature comes from, for people; may be empty
  std::string diskSource;  // the same for the main disk
};

// The collectors' records, for --metrics-collectors.
struct CollectorReadings {
  std::optional<std::array<double, 3>> loadAverage;
  // Overall shares of the processors' time, 0 to 100.
  std::int32_t userPercent = 0, systemPercent = 0, idlePercent = 0;
  std::uint64_t memoryTotal = 0, memoryFree = 0;
  struct Volume {
    std::string name;
    std::uint64_t total = 0, free = 0;
  };
  std::vector<Volume> volumes;
  std::uint64_t networkReceivePerSecond = 0, networkTransmitPerSecond = 0;
};

// The exposition of `state`, `info` and, when given, `collectors`, in `format`.
std::string renderExposition(const AgentState& state, const ExpositionInfo& info, const CollectorReadings* collectors,
                             ExpositionFormat format);

// The Content-Type of `format`.
std::string_view expositionContentType(ExpositionFormat format);

// The format to answer an HTTP Accept header with: OpenMetrics when it names
// application/openmetrics-text, else the text format.
ExpositionFormat expositionFormatFor(std::string_view accept);

}  // namespace trellis
