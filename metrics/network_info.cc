#include "metrics/network_info.h"

namespace trellis {

std::shared_ptr<NetworkModel> NetworkInfo::model() {
  if (!model_) model_ = std::make_shared<NetworkModel>();
  return model_;
}

}  // namespace trellis
