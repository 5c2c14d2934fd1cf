#include "cli/companion.h"

#include <CLI/CLI.hpp>
#include <string>

#include "cli/command_set.h"

namespace trellis::cli {

int runCompanion(int argc, char** argv) {
  CLI::App app{"trellis: watch and command the trellis agent"};
  app.set_version_flag("--version", std::string("trellis ") + TRELLIS_VERSION);
  app.require_subcommand(1);

  CommandSet commands;
  addBusCommands(app, commands);
  addSmcCommands(app, commands);
  CLI::App& metrics = addMetricsCommands(app, commands);
  addStorageCommands(metrics, commands);
  addNetworkCommands(app, metrics, commands);
  addPreferencesCommands(app, commands);
  addDesktopCommands(app, commands);
  addDoctorCommands(app, commands);

  CLI11_PARSE(app, argc, argv);
  return commands.runParsed();
}

}  // namespace trellis::cli
