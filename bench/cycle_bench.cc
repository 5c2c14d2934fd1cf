// One full sampling cycle as the agent runs it: the CPU, fan and disk collectors refreshed
// against the demo SMC table and this machine's /proc, then the three readings posted, on the
// services the agent builds. Two ways:
//   BM_SamplingCycle     posts go to a centre that drops them: the agent's own work alone
//   BM_AgentCycleOnBus   posts go out on a private bus through the agent's bus centre, with the
//                        bus object's PropertiesChanged after the cycle, wired as the agent's main
//                        does: the whole cycle but the timer wake-up (the daemon's routing is
//                        the daemon's, in another process)
// Both count calls of the global operator new over the steady state (after a few cycles, so that
// what the first cycles make once is not counted): counter allocs_per_cycle.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "app/hardware_manager.h"
#include "notify/kw_cf_notification_manager.h"
#include "platform/linux/bus/agent_object.h"
#include "platform/linux/services.h"
#include "smc/smc_client.h"
#include "support/manual_run_loop.h"
#include "support/private_bus.h"

namespace {

std::atomic<std::uint64_t> g_allocations{0};

void* countedAllocation(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void* countedAlignedAllocation(std::size_t size, std::align_val_t alignment) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  const auto align = static_cast<std::size_t>(alignment);
  // aligned_alloc wants a size that is a whole, non-zero multiple of the alignment.
  const std::size_t rounded = ((size == 0 ? 1 : size) + align - 1) / align * align;
  if (void* p = std::aligned_alloc(align, rounded)) return p;
  throw std::bad_alloc();
}

}  // namespace

// The replaceable global allocation functions; the nothrow forms of libstdc++ call these.
void* operator new(std::size_t size) { return countedAllocation(size); }
void* operator new[](std::size_t size) { return countedAllocation(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return countedAlignedAllocation(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return countedAlignedAllocation(size, alignment);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace trellis {
namespace {

constexpr int kWarmUpCycles = 4;

// Drops every post: what remains is the work of the manager, the collectors and the
// notification manager.
class DroppingCenter final : public DistributedCenter {
 public:
  bool addObserver(const void*, Callback, std::string_view) override { return true; }
  void removeObserver(const void*, std::string_view) override {}
  void postNotification(std::string_view, const Dictionary*) override {}
  void flush() override {}
};

// Runs `cycle` over the benchmark's iterations after the warm-up, counting operator new calls.
template <typename Cycle>
void runCycles(benchmark::State& state, Cycle cycle) {
  for (int i = 0; i < kWarmUpCycles; ++i) cycle();
  const std::uint64_t before = g_allocations.load(std::memory_order_relaxed);
  for (auto _ : state) cycle();
  const std::uint64_t allocations = g_allocations.load(std::memory_order_relaxed) - before;
  state.counters["allocs_per_cycle"] =
      state.iterations() ? static_cast<double>(allocations) / static_cast<double>(state.iterations()) : 0.0;
}

lnx::ServiceOptions demoOptions() {
  lnx::ServiceOptions options;
  options.smc = std::string("sim:") + TRELLIS_SHARE + "/demo-smc.json";
  return options;
}

void BM_SamplingCycle(benchmark::State& state) {
  std::string error;
  auto platform = lnx::LinuxServices::create(demoOptions(), &error);
  if (!platform) {
    state.SkipWithError(error.c_str());
    return;
  }
  SmcResetProcessStateForTesting();
  installServices(platform->services());
  testing::ManualRunLoop loop;
  DroppingCenter center;
  KwCFNotificationManager notifications(center, loop);
  HardwareManager::Environment environment;
  environment.notifications = &notifications;
  environment.runLoop = &loop;
  environment.exitProcess = [](int) {};
  auto manager = HardwareManager::create(std::move(environment));

  runCycles(state, [&] {
    manager->reloadAllInfo();
    loop.runQueued();
  });
  manager.reset();
  installServices({});
  SmcResetProcessStateForTesting();
}
BENCHMARK(BM_SamplingCycle)->Unit(benchmark::kMicrosecond);

void BM_AgentCycleOnBus(benchmark::State& state) {
  testing::PrivateBus bus;
  if (!bus.ok()) {
    state.SkipWithError("cannot start a private dbus-daemon");
    return;
  }
  lnx::ServiceOptions options = demoOptions();
  options.bus = lnx::BusKind::Session;
  std::string error;
  auto platform = lnx::LinuxServices::create(options, &error);
  if (!platform) {
    state.SkipWithError(error.c_str());
    return;
  }
  SmcResetProcessStateForTesting();
  installServices(platform->services());
  {
    lnx::AgentObject::Commands commands;
    commands.pause = [] { return false; };
    commands.quit = [] {};
    commands.setPowerSaving = [](bool) { return false; };
    std::unique_ptr<lnx::AgentObject> object = lnx::AgentObject::create(*platform->center(), commands, &error);
    if (!object) {
      state.SkipWithError(error.c_str());
      installServices({});
      return;
    }
    KwCFNotificationManager notifications(*platform->center(), *platform->loop());
    HardwareManager::Environment environment;
    environment.notifications = &notifications;
    environment.runLoop = platform->loop();
    environment.exitProcess = [](int) {};
    auto manager = HardwareManager::create(std::move(environment));
    manager->addStateListener([&object](const AgentState& agentState) { object->publish(agentState); });

    // The loop's timer is not run: the cycle is called directly, and the posts are pushed out at
    // once (the loop would write them as the socket takes them).
    runCycles(state, [&] {
      manager->reloadAllInfo();
      platform->center()->flush();
    });
    manager.reset();
  }
  installServices({});
  SmcResetProcessStateForTesting();
}
BENCHMARK(BM_AgentCycleOnBus)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace trellis
