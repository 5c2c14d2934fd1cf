// The names and payload keys that travel between the agent and its companion, and the rule for
// which names may be registered for receiving.
#pragma once

#include <string_view>

namespace trellis::protocol {

// Readings, posted by the agent once per sampling cycle, in this order.
inline constexpr std::string_view kCpuTemperature = "NSNotificationNameCpuTemperature";
inline constexpr std::string_view kSSDTemperature = "NSNotificationNameSSDTemperature";
inline constexpr std::string_view kFansSpeed = "NSNotificationNameFansSpeed";

// Commands, posted by a companion; their user information is ignored.
inline constexpr std::string_view kToolPause = "NSNotificationNameToolPause";
inline constexpr std::string_view kToolStart = "NSNotificationNameToolStart";
inline constexpr std::string_view kOpenPowerSaving = "NSNotificationNameOpenPowerSaving";
inline constexpr std::string_view kClosePowerSaving = "NSNotificationNameClosePowerSaving";

// The single key of each reading's user information.
inline constexpr std::string_view kCpuKey = "cpu";
inline constexpr std::string_view kDiskKey = "disk";
inline constexpr std::string_view kFanKey = "fan";

// Keys of the fan set's dictionary form.
inline constexpr std::string_view kFanCountKey = "count";
inline constexpr std::string_view kFanListKey = "fans";

// The agent on the bus: one owner of this name per bus, with one object whose interface takes the
// commands as method calls (acknowledged, and on the system bus allowed by the bus's policy) and
// holds the last readings as properties.
inline constexpr const char* kAgentBusName = "org.trellis.Agent";
inline constexpr const char* kAgentObjectPath = "/org/trellis/Agent";
inline constexpr const char* kAgentInterface = "org.trellis.Agent1";

// A name can be registered for receiving when it is 1 to 255 characters from
// [A-Za-z0-9._:/-]. Bus match rules cannot carry other characters reliably; posting accepts any
// name.
bool isRegistrableName(std::string_view name);

// Posted user information above this encoded size is refused: a bus daemon drops the whole
// connection of a sender whose message is too large.
inline constexpr std::size_t kMaxUserInfoBytes = 1024 * 1024;

// Received user information nested deeper than this arrives as none.
inline constexpr int kMaxUserInfoDepth = 32;

}  // namespace trellis::protocol
