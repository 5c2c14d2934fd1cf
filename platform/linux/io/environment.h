// How Linux code reads environment variables: through a lookup that is handed in, so that tests
// give their own environment, and the values derived from it. Safe from any thread as long as
// nothing changes the process's environment meanwhile.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace trellis::lnx {

// Reads one environment variable: nothing when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(std::string_view name)>;

// This process's environment (getenv).
EnvironmentLookup processEnvironment();

// The user's data folder: $XDG_DATA_HOME, else $HOME/.local/share, else the account record's
// home + /.local/share; nothing when none of them is known.
std::optional<std::string> userDataHome(const EnvironmentLookup& environment);

}  // namespace trellis::lnx
