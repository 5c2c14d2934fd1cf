// The process-wide owner of the five collectors and the sampling timer. Every 2.0 seconds it
// refreshes the CPU, fan and disk collectors and posts three readings; it carries out the four
// commands a companion sends. Main thread only, except `share`, which any thread may call.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/power_command.h"
#include "base/run_loop.h"
#include "metrics/cpu_info.h"
#include "metrics/disk_info.h"
#include "metrics/memory_info.h"
#include "metrics/network_info.h"
#include "notify/agent_state.h"
#include "smc/fan_info.h"

namespace trellis {

class KwCFNotificationManager;

class HardwareManager : public std::enable_shared_from_this<HardwareManager> {
 public:
  // What a manager is built from. Each piece left empty is the process's own (base/services.h):
  // the collectors are made over its sources.
  struct Environment {
    KwCFNotificationManager* notifications = nullptr;  // default: KwCFNotificationManager::share()
    RunLoop* runLoop = nullptr;                        // default: RunLoop::main()
    std::function<std::shared_ptr<DiskInfo>()> makeDisk;
    std::function<std::shared_ptr<CpuInfo>()> makeCpu;
    std::function<std::shared_ptr<FanInfo>()> makeFan;
    std::function<std::shared_ptr<NetworkInfo>()> makeNetwork;
    std::function<std::shared_ptr<MemoryInfo>()> makeMemory;
    // Resolves the power-management command.
    std::function<PowerCommand(bool lowPowerOn)> powerCommand;
    // Ends the process; default: pushes out the readings posted so far, then exit(status).
    std::function<void(int status)> exitProcess;
    // The wall clock, in microseconds since 1970 (UTC); default: the system clock.
    std::function<std::int64_t()> wallClockMicros;
  };

  static constexpr std::chrono::microseconds kInterval{2'000'000};
  // Power commands run one at a time, in the order they came; a run that has not ended after
  // this long is no longer waited for (the runner's own limit ends it), so one hung tool cannot
  // hold back the commands after it.
  static constexpr std::chrono::microseconds kPowerToolPatience{2'000'000};

  // The one instance, made on first use from the process's services; never destroyed.
  static HardwareManager& share();

  // A manager built from `environment` (missing pieces take their defaults): collectors made in
  // the order disk, CPU, fan, network, memory, then the timer and the command observers.
  static std::shared_ptr<HardwareManager> create(Environment environment);

  ~HardwareManager();

  // One sampling cycle: refresh CPU, fan and disk, then post CPU, SSD and fan readings.
  void reloadAllInfo();

  // The last cycle's readings and the sampling state. Main thread only.
  const AgentState& state() const { return state_; }
  // A copy of the same, for any thread: the copy is taken under the lock the cycle updates it
  // under, so it never mixes two cycles.
  AgentState stateSnapshot() const;
  // Called on the main thread after every cycle and when sampling pauses, in the order added.
  void addStateListener(std::function<void(const AgentState&)> listener);

  // Commands. None looks at the notification's user information.
  void pauseTool();
  void startTool();
  void openPowerSaving();
  void closePowerSaving();

  const std::shared_ptr<DiskInfo>& disk() const { return disk_; }
  const std::shared_ptr<CpuInfo>& cpu() const { return cpu_; }
  const std::shared_ptr<FanInfo>& fan() const { return fan_; }
  const std::shared_ptr<NetworkInfo>& network() const { return network_; }
  const std::shared_ptr<MemoryInfo>& memory() const { return memory_; }
  RepeatingTimer* timer() const { return timer_.get(); }

 private:
  explicit HardwareManager(Environment environment);
  void addNotifications();
  void runPowerTool(bool lowPowerOn);
  void runQueuedPowerTools();
  void powerToolEnded(std::uint64_t run);
  void notifyStateListeners();

  Environment env_;
  std::shared_ptr<DiskInfo> disk_;
  std::shared_ptr<CpuInfo> cpu_;
  std::shared_ptr<FanInfo> fan_;
  std::shared_ptr<NetworkInfo> network_;
  std::shared_ptr<MemoryInfo> memory_;
  std::unique_ptr<RepeatingTimer> timer_;
  AgentState state_;
  Dictionary cpuPayload_;   // the posts' user information, kept for the next cycle
  Dictionary diskPayload_;
  Dictionary fansPayload_;
  mutable std::mutex stateMutex_;  // guards writes of `state_` and copies from other threads
  std::vector<std::function<void(const AgentState&)>> stateListeners_;
  std::deque<bool> powerQueue_;                     // commands waiting for the running tool
  std::uint64_t powerRun_ = 0;                      // numbers the runs; the last one started
  bool powerToolRunning_ = false;                   // run `powerRun_` is still waited for
  bool startingPowerTool_ = false;                  // inside `start` (a runner may end it there)
  std::unique_ptr<RepeatingTimer> powerPatience_;  // ends the wait for run `powerRun_`
};

}  // namespace trellis
