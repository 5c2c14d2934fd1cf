// The network collector and its record. Main thread only.
#pragma once

#include <memory>

#include "app/base_hardware_info.h"

namespace trellis {

class NetworkModel {};

class NetworkInfo : public BaseHardwareInfo {
 public:
  // The current record, made empty on first access.
  std::shared_ptr<NetworkModel> model();
  void setModel(std::shared_ptr<NetworkModel> model) { model_ = std::move(model); }

 private:
  std::shared_ptr<NetworkModel> model_;
};

}  // namespace trellis
