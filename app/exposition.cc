#include "app/exposition.h"

#include <cmath>
#include <cstdio>

#include "notify/protocol.h"

namespace trellis {
namespace {

// One metric family being written: its header once, then its samples.
class Writer {
 public:
  explicit Writer(ExpositionFormat format) : openMetrics_(format == ExpositionFormat::kOpenMetrics) {}

  void family(std::string_view name, std::string_view type, std::string_view help) {
    // OpenMetrics names an info family without its _info suffix, and types it info.
    std::string_view familyName = name;
    if (openMetrics_ && type == "info" && familyName.ends_with("_info")) familyName.remove_suffix(5);
    text_ += "# HELP ";
    text_ += familyName;
    text_ += ' ';
    text_ += help;
    text_ += "\n# TYPE ";
    text_ += familyName;
    text_ += ' ';
    text_ += openMetrics_ || type != "info" ? type : "gauge";
    text_ += '\n';
  }

  // A sample: `labels` as name/value pairs.
  void sample(std::string_view name, const std::vector<std::pair<std::string_view, std::string_view>>& labels,
              double value) {
    text_ += name;
    if (!labels.empty()) {
      text_ += '{';
      bool first = true;
      for (const auto& [label, text] : labels) {
        if (!first) text_ += ',';
        first = false;
        text_ += label;
        text_ += "=\"";
        escape(text);
        text_ += '"';
      }
      text_ += '}';
    }
    text_ += ' ';
    char number[40];
    // Integers as integers; everything else with the digits a double needs.
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
      std::snprintf(number, sizeof number, "%.0f", value);
    } else {
      std::snprintf(number, sizeof number, "%.17g", value);
    }
    text_ += number;
    text_ += '\n';
  }
  void sample(std::string_view name, double value) { sample(name, {}, value); }

  std::string finish() {
    if (openMetrics_) text_ += "# EOF\n";
    return std::move(text_);
  }

 private:
  // Label values: backslash, double quote and line feed escaped, as both formats ask.
  void escape(std::string_view value) {
    for (char c : value) {
      if (c == '\\') {
        text_ += "\\\\";
      } else if (c == '"') {
        text_ += "\\\"";
      } else if (c == '\n') {
        text_ += "\\n";
      } else {
        text_ += c;
      }
    }
  }

  bool openMetrics_;
  std::string text_;
};

std::int64_t integerAt(const Value& dictionary, std::string_view key) {
  const Value* value = dictionary.find(key);
  return value != nullptr ? value->toInt64().value_or(0) : 0;
}

void writeFans(Writer& out, const Dictionary& fans) {
  auto count = fans.find(protocol::kFanCountKey);
  out.family("trellis_fans", "gauge", "The number of fans.");
  out.sample("trellis_fans", count != fans.end() ? count->second.toInt64().value_or(0) : 0);
  auto list = fans.find(protocol::kFanListKey);
  if (list == fans.end() || list->second.array() == nullptr || list->second.array()->empty()) return;
  struct Speed {
    const char* name;
    const char* key;
    const char* help;
  };
  constexpr Speed kSpeeds[] = {{"trellis_fan_speed_rpm", "speed", "A fan's speed at the last sample."},
                               {"trellis_fan_min_speed_rpm", "minSpeed", "A fan's lowest speed."},
                               {"trellis_fan_max_speed_rpm", "maxSpeed", "A fan's highest speed."}};
  for (const Speed& speed : kSpeeds) {
    out.family(speed.name, "gauge", speed.help);
    int index = 0;
    for (const Value& fan : *list->second.array()) {
      const std::string number = std::to_string(index++);
      const Value* id = fan.find("ID");
      const std::string idText = id != nullptr && id->string() != nullptr ? *id->string() : std::string();
      out.sample(speed.name, {{"fan", number}, {"id", idText}}, static_cast<double>(integerAt(fan, speed.key)));
    }
  }
}

void writeCollectors(Writer& out, const CollectorReadings& records) {
  if (records.loadAverage) {
    out.family("trellis_load_average", "gauge", "The load average over 1, 5 and 15 minutes.");
    const char* minutes[] = {"1", "5", "15"};
    for (int i = 0; i < 3; ++i) out.sample("trellis_load_average", {{"minutes", minutes[i]}}, (*records.loadAverage)[i]);
  }
  out.family("trellis_cpu_usage_ratio", "gauge", "The processors' share of time per mode over the last interval.");
  out.sample("trellis_cpu_usage_ratio", {{"mode", "user"}}, records.userPercent / 100.0);
  out.sample("trellis_cpu_usage_ratio", {{"mode", "system"}}, records.systemPercent / 100.0);
  out.sample("trellis_cpu_usage_ratio", {{"mode", "idle"}}, records.idlePercent / 100.0);
  out.family("trellis_memory_total_bytes", "gauge", "Installed physical memory.");
  out.sample("trellis_memory_total_bytes", static_cast<double>(records.memoryTotal));
  out.family("trellis_memory_free_bytes", "gauge", "Memory free for new use (free and file-backed pages).");
  out.sample("trellis_memory_free_bytes", static_cast<double>(records.memoryFree));
  if (!records.volumes.empty()) {
    out.family("trellis_volume_size_bytes", "gauge", "A mounted volume's size.");
    for (const auto& volume : records.volumes) {
      out.sample("trellis_volume_size_bytes", {{"volume", volume.name}}, static_cast<double>(volume.total));
    }
    out.family("trellis_volume_free_bytes", "gauge", "A mounted volume's free space.");
    for (const auto& volume : records.volumes) {
      out.sample("trellis_volume_free_bytes", {{"volume", volume.name}}, static_cast<double>(volume.free));
    }
  }
  out.family("trellis_network_receive_bytes_per_second", "gauge", "Bytes received per second over the last interval.");
  out.sample("trellis_network_receive_bytes_per_second", static_cast<double>(records.networkReceivePerSecond));
  out.family("trellis_network_transmit_bytes_per_second", "gauge", "Bytes sent per second over the last interval.");
  out.sample("trellis_network_transmit_bytes_per_second", static_cast<double>(records.networkTransmitPerSecond));
}

}  // namespace

std::string renderExposition(const AgentState& state, const ExpositionInfo& info, const CollectorReadings* collectors,
                             ExpositionFormat format) {
  Writer out(format);
  if (state.cpuMeasured) {
    out.family("trellis_cpu_temperature_celsius", "gauge", "The CPU temperature at the last sample.");
    out.sample("trellis_cpu_temperature_celsius", state.cpuTemperature);
  }
  if (state.diskMeasured) {
    out.family("trellis_disk_temperature_celsius", "gauge", "The main disk's temperature at the last sample.");
    out.sample("trellis_disk_temperature_celsius", state.diskTemperature);
  }
  if (state.cycles > 0) writeFans(out, state.fans);
  out.family("trellis_sampling_paused", "gauge", "1 when sampling was paused (it does not resume).");
  out.sample("trellis_sampling_paused", state.paused ? 1 : 0);
  if (state.lastSampleMicros) {
    out.family("trellis_last_sample_timestamp_seconds", "gauge", "When the last sample was taken.");
    out.sample("trellis_last_sample_timestamp_seconds", static_cast<double>(*state.lastSampleMicros) / 1e6);
  }
  out.family("trellis_sensors_info", "info", "Where the readings come from.");
  out.sample("trellis_sensors_info",
             {{"transport", info.transport}, {"cpu_source", info.cpuSource}, {"disk_source", info.diskSource}}, 1);
  out.family("trellis_build_info", "info", "The agent's version.");
  out.sample("trellis_build_info", {{"version", info.version}}, 1);
  if (collectors != nullptr) writeCollectors(out, *collectors);
  return out.finish();
}

std::string_view expositionContentType(ExpositionFormat format) {
  return format == ExpositionFormat::kOpenMetrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                                                  : "text/plain; version=0.0.4; charset=utf-8";
}

ExpositionFormat expositionFormatFor(std::string_view accept) {
  return accept.find("application/openmetrics-text") != std::string_view::npos ? ExpositionFormat::kOpenMetrics
                                                                               : ExpositionFormat::kPrometheusText;
}

}  // namespace trellis
