// The fan collector: how many fans the machine has and, per fan, its identifying text and
// speeds, read from the SMC once per sampling cycle. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/base_hardware_info.h"
#include "smc/fan_model.h"

namespace trellis {

class FanInfo : public BaseHardwareInfo {
 public:
  // The fan set record, made empty on first access.
  std::shared_ptr<FanModel> model();
  void setModel(std::shared_ptr<FanModel> model) { model_ = std::move(model); }

  // The current fan set record; never nothing.
  std::shared_ptr<FanModel> getFanInfo() { return model(); }

 private:
  std::shared_ptr<FanModel> model_;
};

}  // namespace trellis
