// trellis-agent: waits for a console user, then samples and publishes hardware readings every
// 2 seconds on the bus until a companion tells it to quit.
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "app/app_delegate.h"
#include "base/console_user.h"
#include "app/hardware_manager.h"
#include "notify/distributed_center.h"
#include "platform/linux/system/console_user.h"
#include "platform/linux/bus/dbus_center.h"
#include "platform/linux/metrics/disk_source.h"
#include "platform/linux/metrics/network_source.h"
#include "platform/linux/metrics/cpu_source.h"
#include "platform/linux/metrics/memory_source.h"
#include "platform/linux/system/run_loop.h"
#include "platform/linux/sensors/smc_choice.h"

int main(int argc, char** argv) {
  using namespace trellis;

  std::string busName = "session";
  std::string root = "/";
  std::string powerTool;
  std::string smcSpec = "auto";
  CLI::App options{"trellis-agent: publishes CPU, disk and fan readings on the bus every 2 seconds"};
  options.add_option("--bus", busName, "the message bus to use")
      ->check(CLI::IsMember({"session", "system"}))
      ->capture_default_str();
  options.add_option("--root", root, "where the system's /proc, /sys, /run and /var are read from (tests, replays)")
      ->capture_default_str();
  options.add_option("--power-tool", powerTool,
                     "a pmset-compatible tool for low-power mode (given -a lowpowermode 1|0); "
                     "default: /usr/bin/pmset, else powerprofilesctl");
  options.add_option("--smc", smcSpec, "the SMC transport: auto, hwmon, applesmc, sim:PATH or none")
      ->capture_default_str();
  options.set_version_flag("--version", std::string("trellis-agent ") + TRELLIS_VERSION);
  CLI11_PARSE(options, argc, argv);

  std::string smcError;
  auto smc = lnx::chooseSmcTransport(smcSpec, root, &smcError);
  if (!smc) {
    std::fprintf(stderr, "trellis-agent: %s\n", smcError.c_str());
    return 2;
  }
  // The SMC connection is process-wide and never closed: its transport lives as long.
  SmcTransport::setSystem(smc->transport.release());

  auto consoleUsers = lnx::makeConsoleUserSource(root);
  waitForConsoleUser(*consoleUsers);
  sleep(0);

  int error = 0;
  auto loop = lnx::SdEventRunLoop::create(&error);
  if (!loop) {
    std::fprintf(stderr, "trellis-agent: cannot set up the event loop: %s\n", lnx::errnoText(error).c_str());
    return 1;
  }
  lnx::DBusCenter::Options centerOptions;
  centerOptions.bus = busName == "system" ? lnx::BusKind::System : lnx::BusKind::Session;
  // On the shared system bus, only this user and root may command the agent.
  centerOptions.onlyTrustedSenders = centerOptions.bus == lnx::BusKind::System;
  auto center = lnx::DBusCenter::create(*loop, centerOptions, &error);
  if (!center) {
    std::fprintf(stderr, "trellis-agent: cannot connect to the %s bus: %s\n", busName.c_str(),
                 lnx::errnoText(error).c_str());
    return 1;
  }
  RunLoop::setMain(loop.get());
  DistributedCenter::setDistributed(center.get());

  HardwareManager::Environment environment;
  if (root != "/") {
    // The collectors read the system under the same root as everything else.
    environment.makeCpu = [root] {
      static lnx::ProcCpuSource* source = new lnx::ProcCpuSource(root);  // lives as long as the agent
      return std::make_shared<CpuInfo>(*source);
    };
    environment.makeDisk = [root] {
      static lnx::LinuxDiskSource* source = new lnx::LinuxDiskSource(root);  // lives as long as the agent
      return std::make_shared<DiskInfo>(*source);
    };
    environment.makeMemory = [root] {
      static lnx::ProcMemorySource* source = new lnx::ProcMemorySource(root);  // lives as long as the agent
      return std::make_shared<MemoryInfo>(*source);
    };
    environment.makeNetwork = [root] {
      static lnx::LinuxNetworkSource* source = new lnx::LinuxNetworkSource(root);  // lives as long as the agent
      return std::make_shared<NetworkInfo>(*source, platformMonotonicClock());
    };
  }
  if (!powerTool.empty()) {
    environment.powerCommand = [powerTool](bool on) {
      return PowerCommand{powerTool, {"-a", "lowpowermode", on ? "1" : "0"}};
    };
  }
  HardwareManager::setShareEnvironment(std::move(environment));

  AppDelegate delegate;
  // Tell systemd (Type=notify) that launching has finished; a no-op elsewhere.
  int status = runApplication(*loop, delegate, [] { (void)sd_notify(0, "READY=1"); });
  center->flush();
  // The manager and the notification registry live until the process ends and still point at
  // the loop and the centre: leave both in place rather than tear them down under them.
  (void)center.release();
  (void)loop.release();
  return status;
}
