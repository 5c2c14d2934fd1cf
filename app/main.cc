// trellis-agent: owns the agent's name on the bus, waits for a console user, then samples and
// publishes hardware readings every 2 seconds until a companion tells it to quit.
#include <malloc.h>
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <optional>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/app_delegate.h"
#include "app/hardware_manager.h"
#include "app/metrics_export.h"
#include "base/system_log.h"
#include "notify/distributed_center.h"
#include "platform/linux/bus/agent_object.h"
#include "platform/linux/http/metrics_endpoint.h"
#include "platform/linux/io/atomic_file.h"
#include "platform/linux/exposition_sources.h"
#include "platform/linux/services.h"

namespace {

using namespace trellis;

// Replaces DIR/trellis.prom; says so in the log when writing starts or stops failing.
std::function<void(const std::string&)> textfileWriter(const std::string& folder) {
  return [folder, failing = false](const std::string& text) mutable {
    std::string error;
    const bool written = lnx::replaceFile(folder, "trellis.prom", text, &error);
    if (written == !failing) return;
    failing = !written;
    systemLog().write(failing ? kLogWarning : kLogNotice,
                      failing ? "trellis-agent: cannot write the metrics textfile: " + error
                              : "trellis-agent: the metrics textfile is written again");
  };
}

}  // namespace

int main(int argc, char** argv) {
  using namespace trellis;

  // A message as large as the bus allows (32 MiB) is read into a buffer of its own. Fixing the
  // threshold keeps such buffers mapped apart and handed back when freed; by default glibc raises
  // it after the first one, and later ones stay in the heap for good.
  (void)mallopt(M_MMAP_THRESHOLD, 1 << 20);

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
  std::string metricsListen;
  std::string metricsTextfile;
  bool metricsCollectors = false;
  app.add_option("--metrics-listen", metricsListen,
                 "serve the readings for Prometheus at http://ADDR:PORT/metrics (a bare PORT: 127.0.0.1)");
  app.add_option("--metrics-textfile", metricsTextfile,
                 "write the readings to DIR/trellis.prom after every cycle (node_exporter's textfile collector)");
  app.add_flag("--metrics-collectors", metricsCollectors,
               "add the CPU, memory, disk and network records to the metrics");
  app.set_version_flag("--version", std::string("trellis-agent ") + TRELLIS_VERSION);
  CLI11_PARSE(app, argc, argv);
  std::optional<lnx::ListenAddress> listen;
  if (!metricsListen.empty() && !(listen = lnx::parseListenAddress(metricsListen))) {
    std::fprintf(stderr, "trellis-agent: --metrics-listen wants ADDR:PORT, [ADDR6]:PORT or PORT, not %s\n",
                 metricsListen.c_str());
    return 2;
  }

  // Never destroyed: the manager and the notification registry point at these services until the
  // process ends. Held by a static so that it stays reachable (not a leak) to the end.
  std::string error;
  static lnx::LinuxServices* platform = nullptr;
  platform = lnx::LinuxServices::create(options, &error).release();
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
  commands.quit = [&manager] {
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
  // The metrics: served from the start (without readings until the first cycle), built on the
  // manager's snapshot once it exists.
  static std::atomic<MetricsExport*> metrics{nullptr};  // static: reachable to the end, not a leak
  const ExpositionInfo metricsInfo = lnx::describeSources(*platform);
  std::unique_ptr<lnx::MetricsEndpoint> endpoint;
  if (listen) {
    auto render = [&metricsInfo](ExpositionFormat format) {
      MetricsExport* exporter = metrics.load();
      return exporter != nullptr ? exporter->render(format) : renderExposition({}, metricsInfo, nullptr, format);
    };
    endpoint = lnx::MetricsEndpoint::start(*listen, render, {}, &error);
    if (!endpoint) {
      std::fprintf(stderr, "trellis-agent: %s\n", error.c_str());
      return 1;
    }
  }
  platform->loop()->setHangupHandler(
      [] { systemLog().write(kLogNotice, "trellis-agent: hangup signal ignored (the agent reads no configuration)"); });

  LaunchHooks hooks;
  hooks.status = [](std::string_view status) {
    (void)sd_notifyf(0, "STATUS=%.*s", static_cast<int>(status.size()), status.data());
  };
  // Tell systemd (Type=notify) that the service has started; a no-op elsewhere.
  hooks.ready = [] { (void)sd_notify(0, "READY=1"); };
  hooks.launched = [&] {
    manager = &HardwareManager::share();
    if (listen || !metricsTextfile.empty()) {
      MetricsExport::Options exportOptions;
      exportOptions.info = metricsInfo;
      exportOptions.collectors = metricsCollectors;
      if (!metricsTextfile.empty()) exportOptions.writeTextfile = textfileWriter(metricsTextfile);
      metrics.store(new MetricsExport(*manager, exportOptions));  // lives as long as the manager
    }
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
