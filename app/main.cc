// trellis-agent: waits for a console user, then samples and publishes hardware readings every
// 2 seconds on the bus until a companion tells it to quit.
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "app/app_delegate.h"
#include "base/console_user.h"
#include "notify/distributed_center.h"
#include "platform/linux/services.h"

int main(int argc, char** argv) {
  using namespace trellis;

  std::string busName = "session";
  lnx::ServiceOptions options;
  options.smc = "auto";
  CLI::App app{"trellis-agent: publishes CPU, disk and fan readings on the bus every 2 seconds"};
  app.add_option("--bus", busName, "the message bus to use")
      ->check(CLI::IsMember({"session", "system"}))
      ->capture_default_str();
  app.add_option("--root", options.root, "where the system's /proc, /sys, /run and /var are read from (tests, replays)")
      ->capture_default_str();
  app.add_option("--power-tool", options.powerTool,
                 "a pmset-compatible tool for low-power mode (given -a lowpowermode 1|0); "
                 "default: /usr/bin/pmset, else powerprofilesctl");
  app.add_option("--smc", options.smc, "the SMC transport: auto, hwmon, applesmc, sim:PATH or none")
      ->capture_default_str();
  app.set_version_flag("--version", std::string("trellis-agent ") + TRELLIS_VERSION);
  CLI11_PARSE(app, argc, argv);

  // Never destroyed: the manager and the notification registry point at these services until the
  // process ends.
  std::string error;
  lnx::LinuxServices* platform = lnx::LinuxServices::create(options, &error).release();
  if (platform == nullptr) {
    std::fprintf(stderr, "trellis-agent: %s\n", error.c_str());
    return 2;
  }
  waitForConsoleUser(*platform->services().consoleUsers);
  sleep(0);

  if (!platform->connect(busName == "system" ? lnx::BusKind::System : lnx::BusKind::Session, &error)) {
    std::fprintf(stderr, "trellis-agent: %s\n", error.c_str());
    return 1;
  }
  installServices(platform->services());

  AppDelegate delegate;
  // Tell systemd (Type=notify) that launching has finished; a no-op elsewhere.
  int status = runApplication(*platform->loop(), delegate, [] { (void)sd_notify(0, "READY=1"); });
  platform->center()->flush();
  return status;
}
