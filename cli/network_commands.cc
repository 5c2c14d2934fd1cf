#include "cli/command_set.h"

namespace trellis::cli {

void addNetworkCommands(CLI::App&, CLI::App&, CommandSet&) {}

}  // namespace trellis::cli
