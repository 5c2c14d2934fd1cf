// The companion `trellis`: watches the agent's readings, sends it commands over the bus, and
// reads what the agent would read on this machine. Everything runs on the main thread.
#pragma once

namespace trellis::cli {

// Runs the companion with the process's arguments: parses them and runs the command given (see
// command_set.h). Returns the exit status.
int runCompanion(int argc, char** argv);

}  // namespace trellis::cli
