// The CPU records' property tables, which give their dictionary form by property name.
#include "metrics/cpu_info.h"

namespace trellis {

RecordTable<CpuUsage> CpuUsage::recordTable() {
  return RecordTable<CpuUsage>("CpuUsage")
      .property("user", &CpuUsage::user, &CpuUsage::setUser)
      .property("system", &CpuUsage::system, &CpuUsage::setSystem)
      .property("idle", &CpuUsage::idle, &CpuUsage::setIdle);
}

RecordTable<CpuModel> CpuModel::recordTable() {
  return RecordTable<CpuModel>("CpuModel")
      .property("cpuCount", &CpuModel::cpuCount, &CpuModel::setCpuCount)
      .property("taskCount", &CpuModel::taskCount, &CpuModel::setTaskCount)
      .property("threadCount", &CpuModel::threadCount, &CpuModel::setThreadCount)
      .property("userUsagePercent", &CpuModel::userUsagePercent, &CpuModel::setUserUsagePercent)
      .property("systemUsagePercent", &CpuModel::systemUsagePercent, &CpuModel::setSystemUsagePercent)
      .property("idlePercent", &CpuModel::idlePercent, &CpuModel::setIdlePercent)
      .property("temperature", &CpuModel::temperature, &CpuModel::setTemperature)
      .property("brand", &CpuModel::brand, &CpuModel::setBrand)
      .property("cpusUsageArr", &CpuModel::cpusUsageArr, &CpuModel::setCpusUsageArr)
      .property("loadAverage", &CpuModel::loadAverage, &CpuModel::setLoadAverage)
      .classInArray("cpusUsageArr", "CpuUsage");
}

}  // namespace trellis
