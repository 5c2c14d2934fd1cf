// The system log on Linux: syslog(3), which journald collects on systemd machines. Safe from any
// thread (syslog(3) is, and the one-time openlog is guarded).
#pragma once

#include <string_view>

#include "base/system_log.h"

namespace trellis::lnx {

class SyslogSystemLog final : public SystemLog {
 public:
  // Opens the log on the first write, with the ident "trellis-agent", the process id in every
  // line and the daemon facility, and writes `line` as it is (no format is applied to it).
  void write(int priority, std::string_view line) override;
};

}  // namespace trellis::lnx
