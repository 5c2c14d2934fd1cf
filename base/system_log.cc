#include "base/system_log.h"

#include "base/services.h"

namespace trellis {

SystemLog& systemLog() { return required(installedServices().log, "the system log"); }

}  // namespace trellis
