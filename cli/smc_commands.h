// The companion's SMC commands: which transport `--smc` gives, the key listing and typed reads.
// Main thread only.
#pragma once

#include <string>

#include "smc/smc_client.h"

namespace trellis::cli {

// A typed read as one JSON object, keys in this order:
// {"key": "TC0P", "type": "sp78", "size": 2, "bytes": "2a80", "value": 42.5}
std::string smcReadJson(const SmcKeyValue& value);
// The same for people: "TC0P  sp78  2 bytes  2a80  42.5".
std::string smcReadText(const SmcKeyValue& value);

// Installs the SMC transport `spec` names (auto, hwmon, applesmc, sim:PATH, none) as the
// process's, replacing one installed before; false, having said why on standard error, when it
// cannot be had. `description` receives what was chosen; `transport`, when given, the installed
// transport (null for "none"), which lives until the next install.
bool installSmcTransport(const std::string& spec, const std::string& root, std::string* description,
                         const SmcTransport** transport = nullptr);

// Each returns the exit status: 0, 1 when the SMC cannot be read, 2 for bad arguments.
int smcInfo(const std::string& spec, const std::string& root);
int smcKeys(const std::string& spec, const std::string& root);
int smcRead(const std::string& spec, const std::string& root, const std::string& key, bool json);

}  // namespace trellis::cli
