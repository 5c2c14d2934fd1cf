#include "metrics/disk_info.h"

namespace trellis {

std::shared_ptr<DiskModel> DiskInfo::getMainDisk() const {
  for (const auto& disk : model_) {
    if (disk && disk->isMain()) return disk;
  }
  return nullptr;
}

}  // namespace trellis
