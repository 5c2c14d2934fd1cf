// `trellis doctor`: what the agent can see on this machine and what it is missing, for people
// setting it up. Main thread only.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/hardware_manager.h"
#include "base/console_user.h"
#include "base/services.h"
#include "cli/command_set.h"
#include "notify/kw_cf_notification_manager.h"
#include "notify/protocol.h"
#include "platform/linux/io/block_device.h"
#include "platform/linux/sensors/hwmon_smc.h"
#include "smc/fan_smc.h"
#include "smc/smc_client.h"
#include "smc/temperature_sensors.h"

namespace trellis::cli {

namespace {

struct DoctorOptions {
  std::string smc = "auto";
  std::string root = "/";
  std::string bus = "session";
  double wait = 2.5;
};

class Report {
 public:
  void section(const char* title, const std::string& line) { std::printf("%-10s %s\n", title, line.c_str()); }
  void detail(const std::string& line) { std::printf("%-10s   %s\n", "", line.c_str()); }
  void missing(std::string what) { missing_.push_back(std::move(what)); }

  int finish() {
    if (missing_.empty()) {
      section("Missing", "nothing");
      return 0;
    }
    const char* title = "Missing";
    for (const std::string& what : missing_) {
      section(title, "- " + what);
      title = "";
    }
    return 1;
  }

 private:
  std::vector<std::string> missing_;
};

std::string celsius(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f °C", value);
  return text;
}

void checkSmc(const DoctorOptions& options, const Platform& platform, Report& report) {
  if (platform.smcUnavailable) {
    report.section("SMC", "cannot be had with --smc " + options.smc);
    // Without a sensor of its own, the main disk is still worth naming ("no main disk: ...").
    if (options.smc == "hwmon") report.section("Disk", lnx::findMainDisk(options.root).account);
    report.missing("the SMC transport asked for (see the message above)");
    return;
  }
  const SmcTransport& transport = platform.built.smc();
  report.section("SMC", platform.built.smcDescription());
  const auto* hwmon = dynamic_cast<const lnx::HwmonSmc*>(&transport);
  if (hwmon != nullptr) {
    for (const lnx::HwmonKeySource& source : hwmon->sources()) {
      report.detail(source.key + "  " + source.source + (source.path.empty() ? "" : "  " + source.path));
    }
    // The sources the machine also has, below the chosen one in the order of preference.
    for (const lnx::HwmonKeySource& source : hwmon->passedOver()) {
      report.detail("passed over for " + source.key + ": " + source.source + "  " + source.path);
    }
  }
  if (dynamic_cast<const NoSmc*>(&transport) != nullptr) {
    report.missing("an SMC: no applesmc device and no hwmon or thermal sensor (Intel Macs need the applesmc "
                   "module; other machines coretemp, k10temp, nvme or drivetemp); every temperature reads 0");
    return;
  }

  double cpu = 0.0;
  if (TlxGetCpuTemperature(&cpu) == 0 && cpu > 0.0) {
    report.section("CPU", "temperature " + celsius(cpu));
  } else {
    report.section("CPU", "no temperature");
    report.missing("a CPU temperature sensor: the CPU reading will be 0");
  }

  // An SMC without the key answers with an empty value, which the reading takes as 0 degrees:
  // ask for the key itself first. The hwmon transport reads the disk that holds "/", and says why.
  const std::optional<lnx::MainDisk> mainDisk =
      hwmon != nullptr ? std::optional<lnx::MainDisk>(lnx::findMainDisk(options.root)) : std::nullopt;
  SmcKeyValue diskKey{};
  double disk = 0.0;
  if (SmcReadKey(kSsdTemperatureKey, &diskKey, TlxConnection()) == 0 && diskKey.dataSize > 0 &&
      TlxGetSsdTemperature(&disk) == 0) {
    report.section("Disk", "main disk temperature " + celsius(disk));
    if (mainDisk) report.detail(mainDisk->account);
  } else if (mainDisk && !mainDisk->disk) {
    // A container's root, or a file system on no disk this system sees: nothing to install.
    report.section("Disk", mainDisk->account + " (the SSD reading will be 0)");
  } else {
    report.section("Disk", "no main-disk temperature");
    if (mainDisk) report.detail(mainDisk->account);
    report.missing("a main-disk temperature (nvme, or drivetemp for SATA disks): the SSD reading will be 0");
  }

  std::FILE* quiet = std::fopen("/dev/null", "w");
  const int fans = TlxGetFanCount(quiet != nullptr ? quiet : stderr);
  if (quiet != nullptr) std::fclose(quiet);
  if (fans > 0) {
    report.section("Fans", std::to_string(fans) + (fans == 1 ? " fan" : " fans"));
  } else {
    report.section("Fans", "none found");
    report.missing("fans: the fan reading will list none (many laptops and servers expose no fan sensor)");
  }
}

void checkBus(const DoctorOptions& options, lnx::LinuxServices& platform, Report& report) {
  std::string error;
  if (!platform.connect(options.bus == "system" ? lnx::BusKind::System : lnx::BusKind::Session, &error,
                        protocol::kAgentBusName)) {
    report.section("Bus", "no " + options.bus + " bus");
    report.missing("the " + options.bus + " bus (scripts/run starts a private session bus when there is none)");
    return;
  }
  report.section("Bus", "connected to the " + options.bus + " bus");
  if (options.wait <= 0.0) return;

  struct Seen {
    int readings = 0;
  };
  auto seen = std::make_shared<Seen>();
  RunLoop& loop = *platform.loop();
  KwCFNotificationManager manager(*platform.center(), loop);
  for (std::string_view name : {protocol::kCpuTemperature, protocol::kSSDTemperature, protocol::kFansSpeed}) {
    manager.addObserver(
        std::static_pointer_cast<void>(seen), [](void* target, const UserInfo&) { ++static_cast<Seen*>(target)->readings; },
        name);
  }
  auto timer = loop.addRepeatingTimer(std::chrono::microseconds(static_cast<long long>(options.wait * 1e6)),
                                      [&loop] { loop.exit(0); });
  loop.run();
  timer->invalidate();
  manager.removeAllObservers();
  char waited[32];
  std::snprintf(waited, sizeof waited, "%.1f s", options.wait);
  if (seen->readings > 0) {
    report.detail("agent: " + std::to_string(seen->readings) + " readings in " + waited);
  } else {
    report.detail(std::string("agent: no readings in ") + waited);
    report.missing("a running agent on the " + options.bus + " bus (start it with scripts/run or trellis-agent)");
  }
}

void checkConsole(const Services& services, Report& report) {
  std::optional<std::string> user =
      currentConsoleUser(required(services.consoleUsers, "the console user source"));
  if (user) {
    report.section("Console", "user " + *user);
  } else {
    report.section("Console", "nobody at the console");
    report.missing("a console user: the agent waits for one before it starts sampling");
  }
}

void checkPower(const DoctorOptions& options, const Services& services, Report& report) {
  PowerCommand command = services.powerCommand(true);
  std::string line = command.launchPath;
  for (const std::string& argument : command.arguments) line += " " + argument;
  const std::string path = (options.root == "/" ? "" : options.root) + command.launchPath;
  if (::access(path.c_str(), X_OK) == 0) {
    report.section("Power", "low-power mode: " + line);
  } else {
    report.section("Power", "low-power mode: no tool (" + command.launchPath + " is not there)");
    report.missing("a power tool: pmset or powerprofilesctl (power-profiles-daemon); power-saving commands do nothing");
  }
}

}  // namespace

void addDoctorCommands(CLI::App& app, CommandSet& commands) {
  auto options = std::make_shared<DoctorOptions>();
  auto* doctor = app.add_subcommand("doctor", "say what the agent can see on this machine and what is missing");
  doctor->add_option("--smc", options->smc, "auto, hwmon, applesmc, sim:PATH or none")->capture_default_str();
  doctor->add_option("--root", options->root, "read sysfs under this folder")->capture_default_str();
  doctor->add_option("--bus", options->bus, "the message bus to use")
      ->check(CLI::IsMember({"session", "system"}))
      ->capture_default_str();
  doctor->add_option("--wait", options->wait, "seconds to listen for the agent's readings (0: do not)")
      ->check(CLI::Range(0.0, 60.0))
      ->capture_default_str();
  commands.add(doctor, {.needs = [options] {
                          Needs needs;
                          needs.services.root = options->root;
                          needs.services.smc = options->smc;
                          needs.smcOptional = true;
                          return needs;
                        },
                        .run = [options](Platform& platform) {
                          Report report;
                          checkSmc(*options, platform, report);
                          checkBus(*options, platform.built, report);
                          checkConsole(platform.services, report);
                          checkPower(*options, platform.services, report);
                          std::fflush(stdout);
                          return report.finish();
                        }});
}

}  // namespace trellis::cli
