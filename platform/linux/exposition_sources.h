// What the agent and its companion say of this machine's sensors beside the readings in the
// Prometheus exposition.
#pragma once

#include "app/exposition.h"
#include "platform/linux/sensors/hwmon_smc.h"
#include "platform/linux/services.h"

namespace trellis::lnx {

// The version, the SMC transport and the sensors behind the CPU and disk keys.
inline ExpositionInfo describeSources(const LinuxServices& platform) {
  ExpositionInfo info;
  info.version = TRELLIS_VERSION;
  const std::string& description = platform.smcDescription();
  info.transport = description.substr(0, description.find(':'));
  if (const auto* hwmon = dynamic_cast<const HwmonSmc*>(&platform.smc())) {
    for (const HwmonKeySource& source : hwmon->sources()) {
      if (source.key == "TC0P") info.cpuSource = source.source;
      if (source.key == "TH0x") info.diskSource = source.source;
    }
  }
  return info;
}

}  // namespace trellis::lnx
