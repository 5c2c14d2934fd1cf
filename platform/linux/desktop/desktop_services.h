// Whether a desktop session can be reached, which decides between dialogs and the headless
// stand-in. Environment reading is io/environment.h. Safe from any thread.
#pragma once

#include "platform/linux/io/environment.h"

namespace trellis::lnx {

// True when a desktop session can be reached (DISPLAY or WAYLAND_DISPLAY is set and not empty).
bool hasDisplay(const EnvironmentLookup& environment);

}  // namespace trellis::lnx
