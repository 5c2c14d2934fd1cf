// The agent's readings for a fleet's Prometheus: the exposition of the last cycle, answered to
// scrapes from any thread, optionally written to a file after every cycle for node_exporter's
// textfile collector, optionally with the collectors' records. A scrape copies the manager's
// snapshot and never waits on a cycle.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "app/exposition.h"

namespace trellis {

class HardwareManager;

class MetricsExport {
 public:
  struct Options {
    ExpositionInfo info;
    // Refresh and add the CPU, memory, disk and network records (costs a little more per cycle).
    bool collectors = false;
    // Replaces the textfile with the text it is given after every cycle; empty: no textfile.
    std::function<void(const std::string& text)> writeTextfile;
  };

  // Follows `manager`'s cycles (main thread; `manager` must outlive the export).
  MetricsExport(HardwareManager& manager, Options options);

  // The exposition of the last cycle in `format`. Any thread.
  std::string render(ExpositionFormat format) const;

 private:
  void cycled();

  HardwareManager& manager_;
  Options options_;
  mutable std::mutex collectorsMutex_;
  std::optional<CollectorReadings> collectors_;  // guarded by collectorsMutex_
};

}  // namespace trellis
