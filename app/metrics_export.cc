#include "app/metrics_export.h"

#include "app/hardware_manager.h"

namespace trellis {

MetricsExport::MetricsExport(HardwareManager& manager, Options options)
    : manager_(manager), options_(std::move(options)) {
  if (options_.collectors || options_.writeTextfile) {
    manager_.addStateListener([this](const AgentState&) { cycled(); });
  }
}

void MetricsExport::cycled() {
  if (options_.collectors) {
    // The cycle refreshes CPU and disk; memory and network only for the export.
    manager_.memory()->reloadInfo();
    manager_.network()->reloadInfo();
    CollectorReadings records;
    const std::shared_ptr<CpuModel> cpu = manager_.cpu()->getCpuInfo();
    if (cpu->loadAverage() && cpu->loadAverage()->size() == 3) {
      records.loadAverage = std::array<double, 3>{(*cpu->loadAverage())[0], (*cpu->loadAverage())[1],
                                                  (*cpu->loadAverage())[2]};
    }
    records.userPercent = cpu->userUsagePercent();
    records.systemPercent = cpu->systemUsagePercent();
    records.idlePercent = cpu->idlePercent();
    const std::shared_ptr<MemoryModel> memory = manager_.memory()->getMemoryInfo();
    records.memoryTotal = memory->total();
    records.memoryFree = memory->free();
    for (const auto& volume : manager_.disk()->list()) {
      if (volume) records.volumes.push_back({volume->name(), volume->total(), volume->free()});
    }
    const std::shared_ptr<NetworkModel> network = manager_.network()->getNetworkInfo();
    records.networkReceivePerSecond = network->down();
    records.networkTransmitPerSecond = network->up();
    std::lock_guard<std::mutex> lock(collectorsMutex_);
    collectors_ = std::move(records);
  }
  if (options_.writeTextfile) options_.writeTextfile(render(ExpositionFormat::kPrometheusText));
}

std::string MetricsExport::render(ExpositionFormat format) const {
  const AgentState state = manager_.stateSnapshot();
  std::optional<CollectorReadings> collectors;
  {
    std::lock_guard<std::mutex> lock(collectorsMutex_);
    collectors = collectors_;
  }
  return renderExposition(state, options_.info, collectors ? &*collectors : nullptr, format);
}

}  // namespace trellis
