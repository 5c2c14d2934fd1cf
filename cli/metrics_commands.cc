#include "cli/metrics_commands.h"

#include <cstdio>
#include <thread>

#include "cli/smc_commands.h"
#include "model/mapping.h"
#include "model/value_json.h"
#include "platform/linux/metrics/cpu_source.h"

namespace trellis::cli {

std::string cpuRecordJson(const CpuModel& model) {
  return toJson(Value(mj_keyValues(model))).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string cpuRecordText(const CpuModel& model) {
  char line[256];
  std::string text;
  std::snprintf(line, sizeof line, "%s\n", model.brand() ? model.brand()->c_str() : "(unknown processor)");
  text += line;
  std::snprintf(line, sizeof line, "processors %d   tasks %d   threads %d   temperature %.1f °C\n", model.cpuCount(),
                model.taskCount(), model.threadCount(), static_cast<double>(model.temperature()));
  text += line;
  std::snprintf(line, sizeof line, "usage      user %d%%   system %d%%   idle %d%%\n", model.userUsagePercent(),
                model.systemUsagePercent(), model.idlePercent());
  text += line;
  if (model.loadAverage() && model.loadAverage()->size() == 3) {
    const auto& load = *model.loadAverage();
    std::snprintf(line, sizeof line, "load       %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    text += line;
  }
  if (model.cpusUsageArr()) {
    int index = 0;
    for (const auto& usage : *model.cpusUsageArr()) {
      if (!usage) continue;
      std::snprintf(line, sizeof line, "cpu%-3d     user %3d%%   system %3d%%   idle %3d%%\n", index++, usage->user(),
                    usage->system(), usage->idle());
      text += line;
    }
  }
  return text;
}

int metricsCpu(const std::string& smcSpec, const std::string& root, bool json, bool sinceBoot,
               std::chrono::milliseconds interval) {
  if (!installSmcTransport(smcSpec, root, nullptr)) return 1;
  lnx::ProcCpuSource source(root);
  CpuInfo cpu(source);
  cpu.reloadInfo();
  if (!sinceBoot) {
    std::this_thread::sleep_for(interval);
    cpu.reloadInfo();
  }
  const std::shared_ptr<CpuModel> model = cpu.getCpuInfo();
  if (json) {
    std::printf("%s\n", cpuRecordJson(*model).c_str());
  } else {
    std::fputs(cpuRecordText(*model).c_str(), stdout);
  }
  return 0;
}

}  // namespace trellis::cli
