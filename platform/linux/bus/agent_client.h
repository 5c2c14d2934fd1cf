// Commanding the agent as its companion does: one method call on org.trellis.Agent, waited for.
// Main thread only (the connection's).
#pragma once

#include <systemd/sd-bus.h>

#include <optional>
#include <string>
#include <string_view>

namespace trellis::lnx {

// Calls the agent's `method` (Pause, Quit, SetPowerSaving) on `bus`, with `on` as the argument of
// SetPowerSaving, and waits up to 10 s for the answer. Nothing when the agent acknowledged it; else
// the reason for people: "no agent runs on this bus", "access denied: ..." (the bus's policy),
// "the agent answered: <its words>" for the agent's own errors, or the error the bus answered with.
std::optional<std::string> callAgent(sd_bus* bus, std::string_view method, std::optional<bool> on = std::nullopt);

}  // namespace trellis::lnx
