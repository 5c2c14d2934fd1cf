// trellis-agent: owns the agent's name on the bus, waits for a console user, then samples and
// publishes hardware readings every 2 seconds until a companion tells it to quit.
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/app_delegate.h"
#include "app/hardware_manager.h"
#include "base/system_log.h"
#include "notify/distributed_center.h"
#include "platform/linux/bus/agent_object.h"
#include "platform/linux/services.h"

int main(int argc, char** argv) {
  using namespace trellis;

  // Termination asked for at any moment from here on ends the agent with status 0, once the loop
  // takes the signals (it needs them blocked); a hangup is only logged.
  sigset_t handled;
  sigemptyset(&handled);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&handled, signal);
  (void)sigprocmask(SIG_BLOCK, &handled, nullptr);

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
  if (!platform->connect(busName == "system" ? lnx::BusKind::System : lnx::BusKind::Session, &error)) {
    std::fprintf(stderr, "trellis-agent: %s\n", error.c_str());
    return 1;
  }
  installServices(platform->services());

  HardwareManager* manager = nullptr;  // made once a user is at the console
  lnx::AgentObject::Commands commands;
  commands.pause = [&manager] {
    if (manager != nullptr) manager->pauseTool();
    return manager != nullptr;
  };
  commands.quit = [&manager, platform] {
    if (manager != nullptr) manager->startTool();
    platform->center()->flush();
    std::exit(0);
  };
  commands.setPowerSaving = [&manager](bool on) {
    if (manager != nullptr) on ? manager->openPowerSaving() : manager->closePowerSaving();
    return manager != nullptr;
  };
  std::unique_ptr<lnx::AgentObject> object = lnx::AgentObject::create(*platform->center(), commands, &error);
  if (!object) {
    std::fprintf(stderr, "trellis-agent: %s\n", error.c_str());
    return 1;
  }
  platform->loop()->setHangupHandler(
      [] { systemLog().write(kLogNotice, "trellis-agent: hangup signal ignored (the agent reads no configuration)"); });

  LaunchHooks hooks;
  hooks.status = [](std::string_view status) {
    (void)sd_notifyf(0, "STATUS=%.*s", static_cast<int>(status.size()), status.data());
  };
  // Tell systemd (Type=notify) that the service has started; a no-op elsewhere.
  hooks.ready = [] { (void)sd_notify(0, "READY=1"); };
  hooks.launched = [&manager, &object] {
    manager = &HardwareManager::share();
    object->publish(manager->state());
    manager->addStateListener([&object, paused = false](const AgentState& state) mutable {
      object->publish(state);
      if (state.paused && !paused) (void)sd_notify(0, "STATUS=Paused");
      paused = state.paused;
    });
  };
  AppDelegate delegate;
  int status = runApplication(*platform->loop(), delegate, *platform->services().consoleUsers, hooks);
  platform->stopChildren();
  platform->center()->flush();
  return status;
}
