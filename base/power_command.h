// What the power-management tool is started with to switch low-power mode on or off.
#pragma once

#include <string>
#include <vector>

namespace trellis {

struct PowerCommand {
  std::string launchPath;
  std::vector<std::string> arguments;
};

}  // namespace trellis
