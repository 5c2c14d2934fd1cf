#include "base/base_hardware_info.h"

namespace trellis {

void BaseHardwareInfo::reloadInfo() {}

}  // namespace trellis
