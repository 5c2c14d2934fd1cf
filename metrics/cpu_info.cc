// The CPU collector: one record per `reloadInfo`, usage shares from the difference of two tick
// snapshots. Main thread only; the process-wide caches below are deliberately unlocked.
#include "metrics/cpu_info.h"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

#include "base/services.h"
#include "smc/temperature_sensors.h"

namespace trellis {

namespace {

// Values that cannot change while the process runs, shared by every collector.
std::int32_t g_cachedCpuCount = 0;  // 0: not yet known
std::string g_cachedBrand;          // empty: not yet known

// The brand from the cache, queried while the cache is empty.
const std::string& cachedBrand(CpuSource& source) {
  if (g_cachedBrand.empty()) {
    if (std::optional<std::string> brand = source.brand()) g_cachedBrand = std::move(*brand);
  }
  return g_cachedBrand;
}

std::int32_t clampPercent(std::int32_t v) { return std::clamp(v, 0, 100); }

// x / y * 100 in single precision, to the nearest whole number with halves away from zero.
float pct(float x, float y) { return std::round(x / y * 100.0f); }

// Tick counts of one processor over an interval (or since boot), in single precision.
struct Ticks {
  float user = 0.0f;
  float system = 0.0f;
  float idle = 0.0f;
};

}  // namespace

std::int32_t CpuUsage::user() const { return clampPercent(user_); }
std::int32_t CpuUsage::system() const { return clampPercent(system_); }
std::int32_t CpuUsage::idle() const { return clampPercent(idle_); }

std::int32_t CpuModel::userUsagePercent() const { return clampPercent(userUsagePercent_); }
std::int32_t CpuModel::systemUsagePercent() const { return clampPercent(systemUsagePercent_); }
std::int32_t CpuModel::idlePercent() const { return clampPercent(idlePercent_); }

void CpuModel::takeCounts() const {
  if (!counts_) return;
  const auto counts = std::exchange(counts_, nullptr);
  std::tie(taskCount_, threadCount_) = counts();
}

const std::optional<std::vector<std::shared_ptr<CpuUsage>>>& CpuModel::cpusUsageArr() const {
  if (!pendingShares_.empty()) {
    std::vector<std::shared_ptr<CpuUsage>> list;
    list.reserve(pendingShares_.size());
    for (const Shares& shares : pendingShares_) {
      auto entry = std::make_shared<CpuUsage>();
      entry->setUser(shares[0]);
      entry->setSystem(shares[1]);
      entry->setIdle(shares[2]);
      list.push_back(std::move(entry));
    }
    cpusUsageArr_ = std::move(list);
    pendingShares_.clear();
  }
  return cpusUsageArr_;
}

CpuInfo::CpuInfo() : CpuInfo(required(installedServices().cpu, "the CPU source")) {}

CpuInfo::CpuInfo(CpuSource& source) : CpuInfo(source, &TlxGetCpuTemperature) {}

CpuInfo::CpuInfo(CpuSource& source, TemperatureReader temperatureReader)
    : source_(&source), temperatureReader_(std::move(temperatureReader)) {}

void CpuInfo::resetProcessCachesForTesting() {
  g_cachedCpuCount = 0;
  g_cachedBrand.clear();
}

std::shared_ptr<CpuModel> CpuInfo::model() {
  if (!model_) model_ = std::make_shared<CpuModel>();
  return model_;
}

std::string CpuInfo::getCpuBrand() { return cachedBrand(*source_); }

std::int32_t CpuInfo::getCpuCount() {
  if (g_cachedCpuCount != 0) return g_cachedCpuCount;
  // Only a positive count is kept: 0 must keep meaning "not yet known" so a failure is retried.
  if (std::optional<std::int32_t> count = source_->processorCount(); count && *count > 0) g_cachedCpuCount = *count;
  return g_cachedCpuCount;
}

std::pair<std::int32_t, std::int32_t> CpuInfo::getCpuTaskAndThreadCount() {
  std::optional<TaskAndThreadCount> counts = source_->taskAndThreadCount();
  if (!counts) return {0, 0};
  return {counts->tasks, counts->threads};
}

std::optional<std::array<double, 3>> CpuInfo::getCpuLoadavg() { return source_->loadAverages(); }

std::optional<CpuInfo::UsageSample> CpuInfo::getCpuUsage() {
  if (!sampleUsage()) return std::nullopt;
  return usage_;
}

bool CpuInfo::sampleUsage() {
  if (!source_->readProcessorTicks(readTicks_)) return false;
  const std::vector<ProcessorTicks>* now = &readTicks_;

  // A snapshot of another size cannot be paired processor by processor: the baseline restarts.
  const bool sinceBoot = !cpuTicks_ || cpuTicks_->size() != now->size();

  UsageSample& sample = usage_;
  sample.overall = {};
  sample.perProcessor.clear();
  float total = 0.0f;
  float idle = 0.0f;
  float system = 0.0f;
  float user = 0.0f;
  for (std::size_t i = 0; i < now->size(); ++i) {
    const ProcessorTicks& current = (*now)[i];
    Ticks ticks;
    if (sinceBoot) {
      ticks.user = static_cast<float>(current.user) + static_cast<float>(current.nice);
      ticks.system = static_cast<float>(current.system);
      ticks.idle = static_cast<float>(current.idle);
    } else {
      // Unsigned 32-bit differences: a counter that wrapped since the previous sample still gives
      // the ticks in between. Nice ticks take no part in an interval.
      const ProcessorTicks& previous = (*cpuTicks_)[i];
      ticks.user = static_cast<float>(static_cast<std::uint32_t>(current.user - previous.user));
      ticks.system = static_cast<float>(static_cast<std::uint32_t>(current.system - previous.system));
      ticks.idle = static_cast<float>(static_cast<std::uint32_t>(current.idle - previous.idle));
    }
    const float t = ticks.user + ticks.system + ticks.idle;
    if (t != 0.0f) {
      sample.perProcessor.push_back({pct(ticks.user, t), pct(ticks.system, t), pct(ticks.idle, t)});
    } else {
      sample.perProcessor.push_back({0.0f, 0.0f, 0.0f});
    }
    total += t;
    idle += ticks.idle;
    system += ticks.system;
    user += ticks.user;
  }
  // The old snapshot's buffer takes the next reading.
  if (cpuTicks_) {
    cpuTicks_->swap(readTicks_);
  } else {
    cpuTicks_ = std::move(readTicks_);
    readTicks_.clear();
  }

  if (total != 0.0f) sample.overall = {pct(user, total), pct(system, total), pct(idle, total)};
  return true;
}

void CpuInfo::reloadInfo() {
  if (model_ && model_.use_count() == 1) {
    // Only the collector holds the record: it is filled again as a fresh one would be, keeping
    // its buffers. The brand and the load list are overwritten or reset below.
    CpuModel& reused = *model_;
    reused.userUsagePercent_ = reused.systemUsagePercent_ = reused.idlePercent_ = 0;
    reused.temperature_ = 0.0f;
    reused.cpusUsageArr_.reset();
    reused.pendingShares_.clear();
  } else {
    model_ = std::make_shared<CpuModel>();
  }
  CpuModel& record = *model_;

  record.cpuCount_ = getCpuCount();
  record.taskCount_ = record.threadCount_ = 0;
  record.counts_ = [source = source_] {
    const std::optional<TaskAndThreadCount> counts = source->taskAndThreadCount();
    return counts ? std::pair{counts->tasks, counts->threads} : std::pair<std::int32_t, std::int32_t>{0, 0};
  };
  if (const std::optional<std::array<double, 3>> loadAverages = getCpuLoadavg()) {
    if (record.loadAverage_) {
      record.loadAverage_->assign(loadAverages->begin(), loadAverages->end());
    } else {
      record.loadAverage_.emplace(loadAverages->begin(), loadAverages->end());
    }
  } else {
    record.loadAverage_.reset();
  }
  record.brand_ = cachedBrand(*source_);

  if (sampleUsage()) {
    // The shares are whole numbers in 0..100 already; the conversion truncates toward zero.
    record.setUserUsagePercent(static_cast<std::int32_t>(usage_.overall[0]));
    record.setSystemUsagePercent(static_cast<std::int32_t>(usage_.overall[1]));
    record.setIdlePercent(static_cast<std::int32_t>(usage_.overall[2]));
    for (const UsageTriple& triple : usage_.perProcessor) {
      record.pendingShares_.push_back(
          {static_cast<std::int32_t>(triple[0]), static_cast<std::int32_t>(triple[1]), static_cast<std::int32_t>(triple[2])});
    }
  }

  // A reading below 20.0 is not plausible for a running processor: report a typical 38.0.
  double value = 0.0;
  temperatureMeasured_ = temperatureReader_ && temperatureReader_(&value) == 0;
  if (!temperatureMeasured_) {
    record.setTemperature(static_cast<float>(temperature_));
  } else {
    if (value < 20.0) value = 38.0;
    record.setTemperature(static_cast<float>(value));
  }
}

}  // namespace trellis
