// The system log: where the few lines the agent names are written (a fan speed that cannot be
// read, the memory purge's and the script runner's failures). The program installs the
// real log (base/services.h); tests install their own. A log is safe to write from any thread.
#pragma once

#include <string_view>

namespace trellis {

// Priorities, with the values syslog(3) gives them.
inline constexpr int kLogError = 3;
inline constexpr int kLogWarning = 4;
inline constexpr int kLogNotice = 5;
inline constexpr int kLogInfo = 6;
inline constexpr int kLogDebug = 7;

class SystemLog {
 public:
  virtual ~SystemLog() = default;
  // Writes one line (no line end needed) at `priority`. Never fails to its caller.
  virtual void write(int priority, std::string_view line) = 0;
};

// The log the process writes to (base/services.h).
SystemLog& systemLog();

}  // namespace trellis
