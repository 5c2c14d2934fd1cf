// The companion's network commands: `trellis metrics network`, the network collector's record
// with rates over one second, and `trellis public-ip`, the public-address lookup. Main thread
// only.
#pragma once

#include <chrono>
#include <string>

#include "base/services.h"
#include "metrics/network_info.h"

namespace trellis::cli {

// {"ip", "userDefinedName", "deviceName", "ssid", "hardware", "up", "down", "upString",
// "downString"} as one JSON line, in that order.
std::string networkRecordJson(const NetworkModel& model);
// The network record for people, a few lines.
std::string networkRecordText(const NetworkModel& model);

// `trellis metrics network`: the primary service read through the network source of `services`,
// and rates from two samples `window` apart, both taken just after a whole second of its
// monotonic clock so that the rates cover exactly that window. Returns the exit status.
int metricsNetwork(const Services& services, bool json, std::chrono::seconds window = std::chrono::seconds(1));

// `trellis public-ip`: looks up the public address on `host` (the setting's host when empty)
// through the HTTPS fetcher of `services`, on its event loop. Prints the address; prints "0.0.0.0"
// and returns 1 when the lookup failed. `host` was checked (isValidPublicAddressHost).
int publicIp(const Services& services, const std::string& host);

}  // namespace trellis::cli
