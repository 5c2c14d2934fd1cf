#include "cli/command_set.h"

namespace trellis::cli {

void addPreferencesCommands(CLI::App&, CommandSet&) {}

}  // namespace trellis::cli
