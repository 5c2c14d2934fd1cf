// The memory collector and its record. Main thread only.
#pragma once

#include <memory>

#include "app/base_hardware_info.h"

namespace trellis {

class MemoryModel {};

class MemoryInfo : public BaseHardwareInfo {
 public:
  // The current record, made empty on first access.
  std::shared_ptr<MemoryModel> model();
  void setModel(std::shared_ptr<MemoryModel> model) { model_ = std::move(model); }

 private:
  std::shared_ptr<MemoryModel> model_;
};

}  // namespace trellis
