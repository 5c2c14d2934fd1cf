// Which SMC transport the process uses: `--smc auto|hwmon|applesmc|sim:PATH|none`. Called once at
// start-up on the main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "smc/smc_transport.h"

namespace trellis::lnx {

struct SmcChoice {
  // Nothing for "none" (opening then fails, as on a machine without an SMC).
  std::unique_ptr<SmcTransport> transport;
  // What was chosen and why, for people: "hwmon: 5 keys from the machine's sensors".
  std::string description;
};

// `spec` is one of:
//   auto      applesmc when its device can be used, else hwmon when any sensor exists, else none
//   hwmon     the key space made from hwmon and thermal sensors
//   applesmc  raw key access through the applesmc device (needs root)
//   sim:PATH  the simulated SMC loaded from the JSON table at PATH
//   none      no SMC
// Sysfs is read under `root`. Nothing, with the reason in `error`, when the asked transport cannot
// be had or `spec` is none of these; "auto" always succeeds.
std::optional<SmcChoice> chooseSmcTransport(std::string_view spec, const std::string& root, std::string* error);

}  // namespace trellis::lnx
