// One full sampling cycle as the agent runs it: the CPU, fan and disk collectors refreshed
// against the demo SMC table and this machine's /proc, then the three readings posted (to an
// in-process centre, so the figure is the agent's own work, not the bus daemon's), on the
// services the agent builds.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "app/hardware_manager.h"
#include "notify/kw_cf_notification_manager.h"
#include "platform/linux/services.h"
#include "platform/sim/in_process_center.h"
#include "smc/smc_client.h"
#include "support/manual_run_loop.h"

namespace trellis {
namespace {

void BM_SamplingCycle(benchmark::State& state) {
  lnx::ServiceOptions options;
  options.smc = std::string("sim:") + TRELLIS_SHARE + "/demo-smc.json";
  std::string error;
  auto platform = lnx::LinuxServices::create(options, &error);
  if (!platform) {
    state.SkipWithError(error.c_str());
    return;
  }
  SmcResetProcessStateForTesting();
  installServices(platform->services());
  testing::ManualRunLoop loop;
  sim::InProcessCenter center(loop);
  KwCFNotificationManager notifications(center, loop);
  HardwareManager::Environment environment;
  environment.notifications = &notifications;
  environment.runLoop = &loop;
  environment.exitProcess = [](int) {};
  auto manager = HardwareManager::create(std::move(environment));

  for (auto _ : state) {
    manager->reloadAllInfo();
    center.clearPosts();
    loop.runQueued();
  }
  installServices({});
  SmcResetProcessStateForTesting();
}
BENCHMARK(BM_SamplingCycle)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace trellis
