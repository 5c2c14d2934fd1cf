// The CPU collector and its record. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/base_hardware_info.h"

namespace trellis {

class CpuModel {
 public:
  float temperature() const { return temperature_; }
  void setTemperature(float v) { temperature_ = v; }

 private:
  float temperature_ = 0.0f;
};

class CpuInfo : public BaseHardwareInfo {
 public:
  // The current record, made empty on first access.
  std::shared_ptr<CpuModel> model();
  void setModel(std::shared_ptr<CpuModel> model) { model_ = std::move(model); }

  std::shared_ptr<CpuModel> getCpuInfo() { return model(); }

 private:
  std::shared_ptr<CpuModel> model_;
};

}  // namespace trellis
