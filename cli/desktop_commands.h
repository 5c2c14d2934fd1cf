// The companion's desktop commands: `trellis permissions` (the three privacy states of this
// process) and `trellis run-script FILE HANDLER [ARGS...]` (a handler of a script through the
// script runner). Main thread only.
#pragma once

#include <string>
#include <vector>

#include "model/value.h"

namespace trellis::cli {

// A command-line word as a script argument: a JSON number becomes that number, any other word
// stays text (so "true" and "3" reach the runner's conversions as they would from code).
Value scriptArgumentFromText(const std::string& word);

// Prints the three states, one line each ("accessibility: granted"), or one JSON object. 0.
int showPermissions(bool json);

// Runs handler `handler` of script `file` with `arguments` and prints its result (text as it is,
// other results as their descriptor JSON; always the JSON with `json`). `resources` (when not
// empty) is the folder the script is looked up in; texts still come from the application's own. Returns 0 with a result, 1 when the script
// failed, 3 when it did not run at all (the runner's messages say why, on standard error).
int runScript(const std::string& file, const std::string& handler, const std::vector<std::string>& arguments,
              const std::string& resources, bool json);

}  // namespace trellis::cli
