#include "cli/command_set.h"

namespace trellis::cli {

void addDesktopCommands(CLI::App&, CommandSet&) {}

}  // namespace trellis::cli
