// The process-wide owner of the five collectors and the sampling timer. Every 2.0 seconds it
// refreshes the CPU, fan and disk collectors and posts three readings; it carries out the four
// commands a companion sends. Main thread only, except `share`, which any thread may call.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/run_loop.h"
#include "metrics/cpu_info.h"
#include "metrics/disk_info.h"
#include "metrics/memory_info.h"
#include "metrics/network_info.h"
#include "smc/fan_info.h"

namespace trellis {

class KwCFNotificationManager;

// What the power-management tool is started with to switch low-power mode on or off.
struct PowerCommand {
  std::string launchPath;
  std::vector<std::string> arguments;
};

// The platform's power-management command (defined by the platform folder).
PowerCommand platformPowerCommand(bool lowPowerOn);

class HardwareManager : public std::enable_shared_from_this<HardwareManager> {
 public:
  // What a manager is built from. The defaults are the process's own.
  struct Environment {
    KwCFNotificationManager* notifications = nullptr;  // default: KwCFNotificationManager::share()
    RunLoop* runLoop = nullptr;                        // default: RunLoop::main()
    std::function<std::shared_ptr<DiskInfo>()> makeDisk;
    std::function<std::shared_ptr<CpuInfo>()> makeCpu;
    std::function<std::shared_ptr<FanInfo>()> makeFan;
    std::function<std::shared_ptr<NetworkInfo>()> makeNetwork;
    std::function<std::shared_ptr<MemoryInfo>()> makeMemory;
    // Resolves the power-management command; default: platformPowerCommand.
    std::function<PowerCommand(bool lowPowerOn)> powerCommand;
    // Ends the process; default: pushes out the readings posted so far, then exit(status).
    std::function<void(int status)> exitProcess;
  };

  static constexpr std::chrono::microseconds kInterval{2'000'000};

  // The one instance, made on first use from the environment given to `setShareEnvironment`
  // (by default the process's own); never destroyed.
  static HardwareManager& share();
  // Sets what `share` builds the instance from. Only before the first `share`.
  static void setShareEnvironment(Environment environment);

  // A manager built from `environment` (missing pieces take their defaults): collectors made in
  // the order disk, CPU, fan, network, memory, then the timer and the command observers.
  static std::shared_ptr<HardwareManager> create(Environment environment);

  ~HardwareManager();

  // One sampling cycle: refresh CPU, fan and disk, then post CPU, SSD and fan readings.
  void reloadAllInfo();

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

  Environment env_;
  std::shared_ptr<DiskInfo> disk_;
  std::shared_ptr<CpuInfo> cpu_;
  std::shared_ptr<FanInfo> fan_;
  std::shared_ptr<NetworkInfo> network_;
  std::shared_ptr<MemoryInfo> memory_;
  std::unique_ptr<RepeatingTimer> timer_;
};

}  // namespace trellis
