#include "cli/metrics_commands.h"

#include <cstdio>
#include <thread>

#include "app/hardware_manager.h"
#include "app/metrics_export.h"
#include "cli/command_set.h"
#include "model/mapping.h"
#include "model/value_json.h"
#include "notify/distributed_center.h"
#include "notify/kw_cf_notification_manager.h"
#include "platform/linux/exposition_sources.h"

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

int metricsCpu(const Services& services, bool json, bool sinceBoot, std::chrono::milliseconds interval) {
  CpuInfo cpu(required(services.cpu, "the CPU source"));
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

namespace {

// Keeps a cycle's readings in the process: the companion samples for itself and is not the agent,
// so nothing it reads goes out on a bus.
class LocalCenter final : public DistributedCenter {
 public:
  bool addObserver(const void*, Callback, std::string_view) override { return true; }
  void removeObserver(const void*, std::string_view) override {}
  void postNotification(std::string_view, const Dictionary*) override {}
  void flush() override {}
};

// One sampling cycle, as the agent runs it, then its exposition in the Prometheus text format.
int metricsExport(Platform& platform) {
  LocalCenter center;
  RunLoop& loop = required(platform.services.runLoop, "the main run loop");
  KwCFNotificationManager notifications(center, loop);
  HardwareManager::Environment environment;
  environment.notifications = &notifications;
  environment.runLoop = &loop;
  std::shared_ptr<HardwareManager> manager = HardwareManager::create(environment);
  manager->reloadAllInfo();
  MetricsExport::Options options;
  options.info = lnx::describeSources(platform.built);
  MetricsExport exporter(*manager, options);
  std::fputs(exporter.render(ExpositionFormat::kPrometheusText).c_str(), stdout);
  return 0;
}

}  // namespace

CLI::App& addMetricsCommands(CLI::App& app, CommandSet& commands) {
  struct CpuOptions {
    std::string smc = "auto";
    std::string root = "/";
    bool json = false;
    bool sinceBoot = false;
  };
  auto options = std::make_shared<CpuOptions>();
  auto* metrics = app.add_subcommand("metrics", "take a reading of a collector");
  metrics->require_subcommand(1);
  auto* cpu = metrics->add_subcommand(
      "cpu", "the CPU record: counts, load, usage over 2 s (or since boot), temperature");
  cpu->add_flag("--json", options->json, "print the record's dictionary form as JSON");
  cpu->add_flag("--since-boot", options->sinceBoot, "one sample: usage since the machine started");
  for (auto* sub : {metrics, cpu}) {
    sub->add_option("--smc", options->smc, "where the temperature comes from: auto, hwmon, applesmc, sim:PATH or none")
        ->capture_default_str();
    sub->add_option("--root", options->root, "read /proc and sysfs under this folder")->capture_default_str();
  }
  commands.add(cpu, {.needs = [options] {
                       Needs needs;
                       needs.services.root = options->root;
                       needs.services.smc = options->smc;
                       return needs;
                     },
                     .run = [options](Platform& platform) {
                       return metricsCpu(platform.services, options->json, options->sinceBoot);
                     }});
  auto* exposition = metrics->add_subcommand(
      "export", "one sampling cycle as the agent runs it, printed in the Prometheus text format");
  exposition->add_option("--smc", options->smc, "auto, hwmon, applesmc, sim:PATH or none")->capture_default_str();
  exposition->add_option("--root", options->root, "read /proc and sysfs under this folder")->capture_default_str();
  commands.add(exposition, {.needs = [options] {
                              Needs needs;
                              needs.services.root = options->root;
                              needs.services.smc = options->smc;
                              needs.services.eventLoop = true;
                              return needs;
                            },
                            .run = metricsExport});
  return *metrics;
}

}  // namespace trellis::cli
