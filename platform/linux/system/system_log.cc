// The Linux system log over syslog(3), and the platform default that core's `systemLog()` falls
// back to. Safe from any thread: openlog runs once under a once-flag, syslog(3) is thread-safe.
#include "platform/linux/system/system_log.h"

#include <syslog.h>

#include <climits>
#include <mutex>

namespace trellis::lnx {

static_assert(kLogError == LOG_ERR && kLogWarning == LOG_WARNING && kLogNotice == LOG_NOTICE &&
              kLogInfo == LOG_INFO && kLogDebug == LOG_DEBUG);

void SyslogSystemLog::write(int priority, std::string_view line) {
  static std::once_flag opened;
  // The ident must stay valid for as long as the log is open: a literal does.
  std::call_once(opened, [] { openlog("trellis-agent", LOG_PID, LOG_DAEMON); });
  const int length = line.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(line.size());
  syslog(priority & LOG_PRIMASK, "%.*s", length, line.data());
}

}  // namespace trellis::lnx

