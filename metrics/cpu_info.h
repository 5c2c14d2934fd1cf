// The CPU collector and its records: brand, processor count, task and thread counts, load
// averages, overall and per-processor shares of user, system and idle time, and the CPU
// temperature. Main thread only: the tick snapshot and the process-wide brand and processor-count
// caches are not locked.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/base_hardware_info.h"
#include "metrics/cpu_source.h"
#include "model/record.h"

namespace trellis {

// One processor's shares of time in whole percent. The setters store a value unchanged; the
// getters read it clamped to 0..100.
class CpuUsage {
 public:
  std::int32_t user() const;
  void setUser(std::int32_t v) { user_ = v; }
  std::int32_t system() const;
  void setSystem(std::int32_t v) { system_ = v; }
  std::int32_t idle() const;
  void setIdle(std::int32_t v) { idle_ = v; }

  // Properties: user, system, idle (as the clamping getters read them).
  static RecordTable<CpuUsage> recordTable();

 private:
  std::int32_t user_ = 0;
  std::int32_t system_ = 0;
  std::int32_t idle_ = 0;
};

// One CPU snapshot. Numbers start at 0; the text and lists start absent. A record the collector
// fills leaves two readings to be taken when first asked for, as the agent's cycle never reads
// them: the task and thread counts (from the collector's source, which must then still exist)
// and the per-processor list (from the shares the collector stored).
class CpuModel {
 public:
  std::int32_t cpuCount() const { return cpuCount_; }
  void setCpuCount(std::int32_t v) { cpuCount_ = v; }
  std::int32_t taskCount() const {
    takeCounts();
    return taskCount_;
  }
  void setTaskCount(std::int32_t v) {
    takeCounts();
    taskCount_ = v;
  }
  std::int32_t threadCount() const {
    takeCounts();
    return threadCount_;
  }
  void setThreadCount(std::int32_t v) {
    takeCounts();
    threadCount_ = v;
  }

  // Overall shares in whole percent; the getters clamp to 0..100, the setters store unchanged.
  std::int32_t userUsagePercent() const;
  void setUserUsagePercent(std::int32_t v) { userUsagePercent_ = v; }
  std::int32_t systemUsagePercent() const;
  void setSystemUsagePercent(std::int32_t v) { systemUsagePercent_ = v; }
  std::int32_t idlePercent() const;
  void setIdlePercent(std::int32_t v) { idlePercent_ = v; }

  // Degrees Celsius.
  float temperature() const { return temperature_; }
  void setTemperature(float v) { temperature_ = v; }

  const std::optional<std::string>& brand() const { return brand_; }
  void setBrand(std::optional<std::string> v) { brand_ = std::move(v); }

  // One entry per processor, in the kernel's processor order; absent until a usage sample gave
  // at least one processor.
  const std::optional<std::vector<std::shared_ptr<CpuUsage>>>& cpusUsageArr() const;
  void setCpusUsageArr(std::optional<std::vector<std::shared_ptr<CpuUsage>>> v) {
    pendingShares_.clear();
    cpusUsageArr_ = std::move(v);
  }

  // The 1-, 5- and 15-minute load averages; absent when they could not be read.
  const std::optional<std::vector<double>>& loadAverage() const { return loadAverage_; }
  void setLoadAverage(std::optional<std::vector<double>> v) { loadAverage_ = std::move(v); }

  // Properties in declaration order: cpuCount, taskCount, threadCount, userUsagePercent,
  // systemUsagePercent, idlePercent, temperature, brand, cpusUsageArr (of CpuUsage), loadAverage.
  static RecordTable<CpuModel> recordTable();

 private:
  friend class CpuInfo;
  using Shares = std::array<std::int32_t, 3>;  // user, system, idle

  // Takes the counts from `counts_` the first time they are asked for.
  void takeCounts() const;

  std::int32_t cpuCount_ = 0;
  mutable std::int32_t taskCount_ = 0;
  mutable std::int32_t threadCount_ = 0;
  mutable std::function<std::pair<std::int32_t, std::int32_t>()> counts_;  // empty once taken
  mutable std::vector<Shares> pendingShares_;  // the list not made yet; empty once made
  std::int32_t userUsagePercent_ = 0;
  std::int32_t systemUsagePercent_ = 0;
  std::int32_t idlePercent_ = 0;
  float temperature_ = 0.0f;
  std::optional<std::string> brand_;
  mutable std::optional<std::vector<std::shared_ptr<CpuUsage>>> cpusUsageArr_;
  std::optional<std::vector<double>> loadAverage_;
};

class CpuInfo : public BaseHardwareInfo {
 public:
  // Reads the CPU temperature into `*value` (preset to 0.0 by the caller); returns 0 on success
  // and -1 on failure, like `TlxGetCpuTemperature`.
  using TemperatureReader = std::function<int(double*)>;

  // Shares in whole percent: user, system, idle. They need not add up to exactly 100.
  using UsageTriple = std::array<float, 3>;
  struct UsageSample {
    UsageTriple overall{};                 // tick-weighted over all processors
    std::vector<UsageTriple> perProcessor;  // in the kernel's processor order
  };

  // Reads the platform's `CpuSource` and `TlxGetCpuTemperature`. Samples nothing until the
  // first `reloadInfo`.
  CpuInfo();
  // Reads `source`, which must outlive the collector, and `temperatureReader`.
  explicit CpuInfo(CpuSource& source, TemperatureReader temperatureReader);
  explicit CpuInfo(CpuSource& source);

  // Replaces the record with a fresh one filled from the readings of this call. Usage shares are
  // those since the previous successful sample; the first sample (and the first after the
  // processor count changed) gives the shares since boot, with nice ticks counted as user time.
  // The task and thread counts are read when the record is first asked for them. When nobody but
  // the collector holds the record, the same object is filled again in place (no one can tell
  // the difference), so that a cycle allocates nothing once the buffers fit.
  void reloadInfo() override;

  // The current record, made empty on first access.
  std::shared_ptr<CpuModel> model();
  void setModel(std::shared_ptr<CpuModel> model) { model_ = std::move(model); }
  std::shared_ptr<CpuModel> getCpuInfo() { return model(); }

  // The brand text from the process-wide cache, queried while the cache is empty; empty when
  // the query failed (the next call queries again).
  std::string getCpuBrand();
  // The logical processor count from the process-wide cache, queried while the cache is 0; 0
  // when the query failed (the next call queries again).
  std::int32_t getCpuCount();
  // (tasks, threads), or (0, 0) when either cannot be read.
  std::pair<std::int32_t, std::int32_t> getCpuTaskAndThreadCount();
  // The 1-, 5- and 15-minute load averages, or nothing.
  std::optional<std::array<double, 3>> getCpuLoadavg();
  // The shares since the previous successful sample (since boot for the first), and the new tick
  // snapshot kept for the next call. Nothing when the counters cannot be read; the snapshot is
  // then left as it was. When the number of processors differs from the snapshot's, the sample
  // is taken as a first one: shares since boot and a snapshot of the new size.
  std::optional<UsageSample> getCpuUsage();

  // The tick snapshot of the latest successful sample; absent before the first.
  const std::optional<std::vector<ProcessorTicks>>& cpuTicks() const { return cpuTicks_; }

  // The fallback temperature stored when the reader fails; 0.0 unless set.
  double temperature() const { return temperature_; }
  void setTemperature(double v) { temperature_ = v; }
  // Whether the last `reloadInfo` read the temperature (false: the record holds the fallback).
  bool temperatureMeasured() const { return temperatureMeasured_; }

  // Forgets the process-wide brand and processor-count caches. For tests only.
  static void resetProcessCachesForTesting();

 private:
  // `getCpuUsage` into `usage_`; false when the counters cannot be read.
  bool sampleUsage();

  CpuSource* source_;
  TemperatureReader temperatureReader_;
  std::optional<std::vector<ProcessorTicks>> cpuTicks_;
  std::vector<ProcessorTicks> readTicks_;  // the buffer the next snapshot is read into
  UsageSample usage_;                      // the latest sample, its buffer kept
  std::shared_ptr<CpuModel> model_;
  double temperature_ = 0.0;
  bool temperatureMeasured_ = false;
};

}  // namespace trellis
