// Shared pieces of the Linux desktop services: the choices the platform makes when nothing was
// installed (zenity or headless). Environment reading is io/environment.h. Safe from any thread.
#pragma once

#include "platform/linux/io/environment.h"

namespace trellis::lnx {

// True when a desktop session can be reached (DISPLAY or WAYLAND_DISPLAY is set and not empty).
bool hasDisplay(const EnvironmentLookup& environment);

}  // namespace trellis::lnx
