// The companion's command groups: each group adds its subcommands to the command line and says,
// for each, how its arguments are checked, which services it runs on and what running it does.
// After parsing, the command set builds the services of the one command given (once), installs
// them for as long as it runs, and runs it. Main thread only.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/services.h"

namespace trellis::cli {

// What a command runs on, decided from its parsed options.
struct Needs {
  // The root, SMC transport, event loop, bus and desktop services (`https` is set from below).
  lnx::ServiceOptions services{};
  // An HTTPS fetcher over libcurl, trusting the certificates in this PEM file (the system's when
  // empty); none when not set.
  std::optional<std::string> httpsCaFile{};
  // The SMC transport asked for in `services.smc` may be missing: when it cannot be had the
  // command still runs, with none, after the reason on standard error. For a command that
  // reports what is missing; it asks for nothing else that can fail (no loop, no bus).
  bool smcOptional = false;
};

// The services a command runs on, built from its needs and installed while it runs.
struct Platform {
  // What was built: the SMC transport's description, a bus connected later.
  lnx::LinuxServices& built;
  // The same services as the core takes them.
  const Services& services;
  // Needs::smcOptional was set and the transport asked for could not be had.
  bool smcUnavailable = false;
};

struct Command {
  // Checks the arguments before anything is built: the exit status to end with (after a message
  // on standard error), or nothing to go on. Optional.
  std::function<std::optional<int>()> check = nullptr;
  // The services it needs; none of the optional ones when not given.
  std::function<Needs()> needs = nullptr;
  // Runs it; returns the exit status.
  std::function<int(Platform&)> run = nullptr;
};

class CommandSet {
 public:
  // `command` is what running `app` does. Options the command reads are bound to variables its
  // functions own (captured by shared pointer or by value).
  void add(CLI::App* app, Command command) { commands_.emplace_back(app, std::move(command)); }

  // Runs the first added command that was parsed; its exit status. When its services cannot be
  // had: 1, after "trellis: <reason>" on standard error. 2 when no command was parsed.
  int runParsed() const;

 private:
  std::vector<std::pair<CLI::App*, Command>> commands_;
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

// Command groups, each defined beside its commands, added in this order (the order of the help).
void addBusCommands(CLI::App& app, CommandSet& commands);  // --bus, watch, pause, quit, power-saving, post
void addSmcCommands(CLI::App& app, CommandSet& commands);  // smc info|keys|read
// metrics, metrics cpu; returns `trellis metrics` for the groups below to add to.
CLI::App& addMetricsCommands(CLI::App& app, CommandSet& commands);
void addStorageCommands(CLI::App& metrics, CommandSet& commands);  // metrics memory, metrics disk
void addNetworkCommands(CLI::App& app, CLI::App& metrics, CommandSet& commands);  // metrics network, public-ip
void addPreferencesCommands(CLI::App& app, CommandSet& commands);  // defaults, purge
void addDesktopCommands(CLI::App& app, CommandSet& commands);      // permissions, run-script
void addDoctorCommands(CLI::App& app, CommandSet& commands);       // doctor

}  // namespace trellis::cli
