// The CPU collector: one record per `reloadInfo`, usage shares from the difference of two tick
// snapshots. Main thread only; the process-wide caches below are deliberately unlocked.
#include "metrics/cpu_info.h"

#include <algorithm>
#include <cmath>

#include "base/services.h"
#include "smc/temperature_sensors.h"

namespace trellis {

namespace {

// Values that cannot change while the process runs, shared by every collector.
std::int32_t g_cachedCpuCount = 0;  // 0: not yet known
std::string g_cachedBrand;          // empty: not yet known

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

std::string CpuInfo::getCpuBrand() {
  if (!g_cachedBrand.empty()) return g_cachedBrand;
  if (std::optional<std::string> brand = source_->brand()) g_cachedBrand = std::move(*brand);
  return g_cachedBrand;
}

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
  std::optional<std::vector<ProcessorTicks>> now = source_->processorTicks();
  if (!now) return std::nullopt;

  // A snapshot of another size cannot be paired processor by processor: the baseline restarts.
  const bool sinceBoot = !cpuTicks_ || cpuTicks_->size() != now->size();

  UsageSample sample;
  sample.perProcessor.reserve(now->size());
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
  cpuTicks_ = std::move(now);

  if (total != 0.0f) sample.overall = {pct(user, total), pct(system, total), pct(idle, total)};
  return sample;
}

void CpuInfo::reloadInfo() {
  model_ = std::make_shared<CpuModel>();
  CpuModel& record = *model_;

  const std::int32_t cpuCount = getCpuCount();
  const auto [tasks, threads] = getCpuTaskAndThreadCount();
  const std::optional<std::array<double, 3>> loadAverages = getCpuLoadavg();
  const std::optional<UsageSample> usage = getCpuUsage();

  record.setCpuCount(cpuCount);
  record.setTaskCount(tasks);
  record.setThreadCount(threads);
  if (loadAverages) record.setLoadAverage(std::vector<double>(loadAverages->begin(), loadAverages->end()));
  record.setBrand(getCpuBrand());

  if (usage) {
    // The shares are whole numbers in 0..100 already; the conversion truncates toward zero.
    record.setUserUsagePercent(static_cast<std::int32_t>(usage->overall[0]));
    record.setSystemUsagePercent(static_cast<std::int32_t>(usage->overall[1]));
    record.setIdlePercent(static_cast<std::int32_t>(usage->overall[2]));
    if (!usage->perProcessor.empty()) {
      std::vector<std::shared_ptr<CpuUsage>> list;
      list.reserve(usage->perProcessor.size());
      for (const UsageTriple& triple : usage->perProcessor) {
        auto entry = std::make_shared<CpuUsage>();
        entry->setUser(static_cast<std::int32_t>(triple[0]));
        entry->setSystem(static_cast<std::int32_t>(triple[1]));
        entry->setIdle(static_cast<std::int32_t>(triple[2]));
        list.push_back(std::move(entry));
      }
      record.setCpusUsageArr(std::move(list));
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
