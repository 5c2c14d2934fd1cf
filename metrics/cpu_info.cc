#include "metrics/cpu_info.h"

namespace trellis {

std::shared_ptr<CpuModel> CpuInfo::model() {
  if (!model_) model_ = std::make_shared<CpuModel>();
  return model_;
}

}  // namespace trellis
