// The platform's power-management command: pmset when present, else power-profiles-daemon.
// Stateless; safe from any thread.
#include "platform/linux/system/power_command.h"

#include <array>
#include <string_view>
#include <utility>

#include "platform/linux/io/paths.h"
#include "platform/linux/system/process_runner.h"

namespace trellis::lnx {

PowerCommand powerCommandUnder(const std::string& root, bool lowPowerOn) {
  std::string pmset = underRoot(root, "/usr/bin/pmset");
  if (!isExecutableFile(pmset)) {
    constexpr std::array<std::string_view, 3> kFolders{"/usr/bin", "/usr/local/bin", "/bin"};
    for (std::string_view folder : kFolders) {
      std::string profiles = underRoot(root, folder) + "/powerprofilesctl";
      if (isExecutableFile(profiles)) {
        return {std::move(profiles), {"set", lowPowerOn ? "power-saver" : "balanced"}};
      }
    }
  }
  return {std::move(pmset), {"-a", "lowpowermode", lowPowerOn ? "1" : "0"}};
}

}  // namespace trellis::lnx

namespace trellis {

PowerCommand platformPowerCommand(bool lowPowerOn) { return lnx::powerCommandUnder("/", lowPowerOn); }

}  // namespace trellis
