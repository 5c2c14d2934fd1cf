// Whether a desktop session can be reached.
#include "platform/linux/desktop/desktop_services.h"  // hasDisplay; brings io/environment.h

#include <optional>
#include <string>
#include <string_view>

namespace trellis::lnx {

bool hasDisplay(const EnvironmentLookup& environment) {
  for (std::string_view name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    std::optional<std::string> value = environment(name);
    if (value && !value->empty()) return true;
  }
  return false;
}

}  // namespace trellis::lnx
