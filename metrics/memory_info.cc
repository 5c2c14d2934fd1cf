#include "metrics/memory_info.h"

namespace trellis {

std::shared_ptr<MemoryModel> MemoryInfo::model() {
  if (!model_) model_ = std::make_shared<MemoryModel>();
  return model_;
}

}  // namespace trellis
