// Shared pieces of the Linux desktop services: how they read the environment, and the choices
// the platform makes when nothing was installed (zenity or headless, the resources folder). Safe
// from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/io/eintr.h"  // retryOnEintr, for the desktop services

namespace trellis::lnx {

// Reads one environment variable: nothing when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(std::string_view name)>;

// This process's environment (getenv).
EnvironmentLookup processEnvironment();

// The user's data folder: $XDG_DATA_HOME, else $HOME/.local/share, else the account record's
// home + /.local/share; nothing when none of them is known.
std::optional<std::string> userDataHome(const EnvironmentLookup& environment);

// True when a desktop session can be reached (DISPLAY or WAYLAND_DISPLAY is set and not empty).
bool hasDisplay(const EnvironmentLookup& environment);

}  // namespace trellis::lnx

