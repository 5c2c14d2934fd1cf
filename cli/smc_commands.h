// The companion's SMC commands: which transport `--smc` gives, the key listing and typed reads.
// Main thread only.
#pragma once

#include <string>

#include "platform/linux/services.h"
#include "smc/smc_client.h"

namespace trellis::cli {

// A typed read as one JSON object, keys in this order:
// {"key": "TC0P", "type": "sp78", "size": 2, "bytes": "2a80", "value": 42.5}
std::string smcReadJson(const SmcKeyValue& value);
// The same for people: "TC0P  sp78  2 bytes  2a80  42.5".
std::string smcReadText(const SmcKeyValue& value);

// `trellis smc info|keys|read` on the transport the process's services were built with (whose
// description `platform` gives). Each returns the exit status: 0, 1 when the SMC cannot be read.
int smcInfo(const lnx::LinuxServices& platform);
int smcKeys(const lnx::LinuxServices& platform);
int smcRead(const lnx::LinuxServices& platform, const std::string& key, bool json);

}  // namespace trellis::cli
