#include "cli/command_set.h"

namespace trellis::cli {

void addStorageCommands(CLI::App&, CommandSet&) {}

}  // namespace trellis::cli
