// Choosing between the platform's system log and one installed for tests. Safe from any thread:
// the choice is one atomic pointer.
#include "base/system_log.h"

#include <atomic>

namespace trellis {

namespace {
std::atomic<SystemLog*> g_override{nullptr};
}

SystemLog& systemLog() {
  SystemLog* log = g_override.load(std::memory_order_acquire);
  return log != nullptr ? *log : platformSystemLog();
}

void setSystemLog(SystemLog* log) { g_override.store(log, std::memory_order_release); }

}  // namespace trellis
