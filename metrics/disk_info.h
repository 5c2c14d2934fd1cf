// The disk collector and its volume records. Main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/base_hardware_info.h"

namespace trellis {

class DiskModel {
 public:
  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  bool isMain() const { return isMain_; }
  void setIsMain(bool v) { isMain_ = v; }
  float temperature() const { return temperature_; }
  void setTemperature(float v) { temperature_ = v; }

 private:
  std::string name_;
  bool isMain_ = false;
  float temperature_ = 0.0f;
};

class DiskInfo : public BaseHardwareInfo {
 public:
  // The known volumes, in list order.
  const std::vector<std::shared_ptr<DiskModel>>& model() const { return model_; }
  void setModel(std::vector<std::shared_ptr<DiskModel>> model) { model_ = std::move(model); }

  // The first main volume, or nothing.
  std::shared_ptr<DiskModel> getMainDisk() const;

 private:
  std::vector<std::shared_ptr<DiskModel>> model_;
};

}  // namespace trellis
