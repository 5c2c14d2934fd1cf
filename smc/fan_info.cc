#include "smc/fan_info.h"

namespace trellis {

std::shared_ptr<FanModel> FanInfo::model() {
  if (!model_) model_ = std::make_shared<FanModel>();
  return model_;
}

}  // namespace trellis
