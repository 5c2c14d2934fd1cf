// The companion's command groups: each group adds its subcommands to the parsed command line and
// says what running each one does. Main thread only.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace trellis::cli {

class CommandSet {
 public:
  // `command` runs `run` when it was given on the command line. Options the command reads are
  // bound to variables the run function owns (captured by shared pointer or by value).
  void add(CLI::App* command, std::function<int()> run) { commands_.emplace_back(command, std::move(run)); }

  // Runs the first added command that was parsed; nothing when none was.
  std::optional<int> runParsed() const {
    for (const auto& [command, run] : commands_) {
      if (command->parsed()) return run();
    }
    return std::nullopt;
  }

 private:
  std::vector<std::pair<CLI::App*, std::function<int()>>> commands_;
};

// The value of option `name` of subcommand `sub`: `own` (what `sub` parsed) unless only its parent
// `metrics` was given the option, as in `trellis metrics --root X disk`.
inline std::string fromEither(const CLI::App& sub, const CLI::App& metrics, const char* name,
                              const std::string& own) {
  const CLI::Option* mine = sub.get_option_no_throw(name);
  const CLI::Option* parents = metrics.get_option_no_throw(name);
  if ((mine == nullptr || mine->count() == 0) && parents != nullptr && parents->count() > 0) {
    return parents->as<std::string>();
  }
  return own;
}

// Command groups, each defined beside its commands. `metrics` is the `trellis metrics` command.
void addStorageCommands(CLI::App& metrics, CommandSet& commands);   // metrics memory, metrics disk
void addNetworkCommands(CLI::App& app, CLI::App& metrics, CommandSet& commands);  // metrics network, public-ip
void addPreferencesCommands(CLI::App& app, CommandSet& commands);  // defaults, purge
void addDesktopCommands(CLI::App& app, CommandSet& commands);      // permissions, run-script
void addDoctorCommands(CLI::App& app, CommandSet& commands);       // doctor

}  // namespace trellis::cli
