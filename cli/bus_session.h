// A companion's connection to the agent's bus: an event loop and a notification centre on it.
// Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/linux/bus/dbus_center.h"
#include "platform/linux/system/run_loop.h"

namespace trellis::cli {

struct BusSession {
  std::unique_ptr<lnx::SdEventRunLoop> loop;
  std::unique_ptr<lnx::DBusCenter> center;
};

// Connects to the "session" or "system" bus. Nothing, after a message on standard error unless
// `quiet`, when the loop or the connection cannot be set up.
std::optional<BusSession> connectBus(const std::string& busName, bool quiet = false);

}  // namespace trellis::cli
