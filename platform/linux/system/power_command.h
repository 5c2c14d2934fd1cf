// Which tool switches low-power mode on Linux: a macOS-style "/usr/bin/pmset" when one is
// installed, otherwise power-profiles-daemon's `powerprofilesctl`. Looks only at the file system;
// safe from any thread.
#pragma once

#include <string>

#include "base/power_command.h"

namespace trellis::lnx {

// The command that switches low-power mode on (`lowPowerOn`) or off, looking for the tools under
// `root` ("/" on a real machine). Paths come back as found under `root`, root included, so a test
// can point `root` at a fixture tree and run what it gets:
//   - `root`/usr/bin/pmset when it is an executable file: "-a", "lowpowermode", "1" or "0";
//   - else the first executable `powerprofilesctl` in `root`/usr/bin, /usr/local/bin, /bin (a fixed
//     list, not PATH): "set", "power-saver" or "balanced";
//   - else the pmset command anyway: its launch then fails and the command does nothing.
PowerCommand powerCommandUnder(const std::string& root, bool lowPowerOn);

}  // namespace trellis::lnx
