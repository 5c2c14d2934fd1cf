#include "app/hardware_manager.h"

#include <chrono>
#include <cstdlib>
#include <mutex>

#include "base/process_runner.h"
#include "base/services.h"
#include "notify/distributed_center.h"
#include "notify/kw_cf_notification_manager.h"
#include "notify/protocol.h"

namespace trellis {

namespace {

template <class T>
std::function<std::shared_ptr<T>()> orMake(std::function<std::shared_ptr<T>()> make) {
  if (make) return make;
  return [] { return std::make_shared<T>(); };
}

}  // namespace

HardwareManager& HardwareManager::share() {
  static std::once_flag once;
  static std::shared_ptr<HardwareManager>* instance = nullptr;  // never released
  std::call_once(once, [] {
    instance = new std::shared_ptr<HardwareManager>(create(Environment{}));
  });
  return **instance;
}

std::shared_ptr<HardwareManager> HardwareManager::create(Environment environment) {
  std::shared_ptr<HardwareManager> manager(new HardwareManager(std::move(environment)));
  // Registration needs the manager's shared identity, which the constructor cannot give yet.
  manager->addNotifications();
  return manager;
}

HardwareManager::HardwareManager(Environment environment) : env_(std::move(environment)) {
  if (env_.notifications == nullptr) env_.notifications = &KwCFNotificationManager::share();
  if (env_.runLoop == nullptr) env_.runLoop = &RunLoop::main();
  if (!env_.wallClockMicros) {
    env_.wallClockMicros = [] {
      return std::chrono::duration_cast<std::chrono::microseconds>(
                 std::chrono::system_clock::now().time_since_epoch())
          .count();
    };
  }
  if (!env_.exitProcess) {
    env_.exitProcess = [](int status) {
      DistributedCenter::distributed().flush();
      std::exit(status);
    };
  }
  disk_ = orMake(env_.makeDisk)();
  cpu_ = orMake(env_.makeCpu)();
  fan_ = orMake(env_.makeFan)();
  network_ = orMake(env_.makeNetwork)();
  memory_ = orMake(env_.makeMemory)();
}

HardwareManager::~HardwareManager() {
  env_.notifications->removeObserver(this);
  if (timer_) timer_->invalidate();
  timer_.reset();
  if (powerPatience_) powerPatience_->invalidate();
}

void HardwareManager::addNotifications() {
  std::weak_ptr<HardwareManager> weakSelf = weak_from_this();
  timer_ = env_.runLoop->addRepeatingTimer(kInterval, [weakSelf] {
    if (auto self = weakSelf.lock()) self->reloadAllInfo();
  });

  KwCFNotificationManager& notifications = *env_.notifications;
  auto self = shared_from_this();
  notifications.addObserver(self, &HardwareManager::pauseTool, protocol::kToolPause);
  notifications.addObserver(self, &HardwareManager::startTool, protocol::kToolStart);
  notifications.addObserver(self, &HardwareManager::openPowerSaving, protocol::kOpenPowerSaving);
  notifications.addObserver(self, &HardwareManager::closePowerSaving, protocol::kClosePowerSaving);
}

void HardwareManager::reloadAllInfo() {
  cpu_->reloadInfo();
  fan_->reloadInfo();
  disk_->reloadInfo();

  KwCFNotificationManager& notifications = *env_.notifications;
  const float cpuTemperature = cpu_->getCpuInfo()->temperature();
  // The payloads are kept from cycle to cycle and their values replaced in place.
  cpuPayload_.insert_or_assign(std::string(protocol::kCpuKey), cpuTemperature);
  notifications.postCFNotificationWithName(protocol::kCpuTemperature, cpuPayload_);

  const std::optional<float> mainDiskTemperature = disk_->mainDiskTemperature();
  const float diskTemperature = mainDiskTemperature.value_or(0.0f);
  diskPayload_.insert_or_assign(std::string(protocol::kDiskKey), diskTemperature);
  notifications.postCFNotificationWithName(protocol::kSSDTemperature, diskPayload_);

  // The fan form is refreshed in place, in the payload and then in the state: a cycle whose fan
  // set keeps its shape allocates nothing.
  Value& fansValue = fansPayload_[std::string(protocol::kFanKey)];
  if (fansValue.get<Dictionary>() == nullptr) fansValue = Dictionary{};
  Dictionary& fans = *fansValue.get<Dictionary>();
  fan_->getFanInfo()->assignKeyValues(fans);
  notifications.postCFNotificationWithName(protocol::kFansSpeed, fansPayload_);

  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    state_.cpuTemperature = cpuTemperature;
    state_.diskTemperature = diskTemperature;
    assignKeepingStorage(state_.fans, fans);
    state_.cpuMeasured = cpu_->temperatureMeasured();
    state_.diskMeasured = mainDiskTemperature.has_value() && disk_->temperatureMeasured();
    ++state_.cycles;
    state_.lastSampleMicros = env_.wallClockMicros();
  }
  notifyStateListeners();
}

AgentState HardwareManager::stateSnapshot() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return state_;
}

void HardwareManager::addStateListener(std::function<void(const AgentState&)> listener) {
  stateListeners_.push_back(std::move(listener));
}

void HardwareManager::notifyStateListeners() {
  for (const auto& listener : stateListeners_) listener(state_);
}

void HardwareManager::pauseTool() {
  if (timer_) timer_->setFireDateDistantFuture();
  if (state_.paused) return;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    state_.paused = true;
  }
  notifyStateListeners();
}

void HardwareManager::startTool() { env_.exitProcess(0); }

void HardwareManager::openPowerSaving() { runPowerTool(true); }

void HardwareManager::closePowerSaving() { runPowerTool(false); }

void HardwareManager::runPowerTool(bool lowPowerOn) {
  powerQueue_.push_back(lowPowerOn);
  runQueuedPowerTools();
}

void HardwareManager::runQueuedPowerTools() {
  const auto& resolve = env_.powerCommand ? env_.powerCommand : installedServices().powerCommand;
  if (!resolve) missingService("the power command");
  std::weak_ptr<HardwareManager> weakSelf = weak_from_this();
  while (!powerToolRunning_ && !powerQueue_.empty()) {
    PowerCommand command = resolve(powerQueue_.front());
    powerQueue_.pop_front();
    const std::uint64_t run = ++powerRun_;
    powerToolRunning_ = true;
    // The timer only posts: it must not be destroyed from inside its own callback.
    powerPatience_ = env_.runLoop->addRepeatingTimer(kPowerToolPatience, [weakSelf, run] {
      if (auto self = weakSelf.lock()) {
        self->env_.runLoop->post([weakSelf, run] {
          if (auto later = weakSelf.lock()) later->powerToolEnded(run);
        });
      }
    });
    // Started, not waited for: a tool that hangs must not stop the readings. Its output and
    // outcome are not examined: a refusal goes unnoticed by design.
    startingPowerTool_ = true;
    ProcessRunner::system().start(command.launchPath, command.arguments, [weakSelf, run](const auto&) {
      if (auto self = weakSelf.lock()) self->powerToolEnded(run);
    });
    startingPowerTool_ = false;
  }
}

void HardwareManager::powerToolEnded(std::uint64_t run) {
  if (run != powerRun_ || !powerToolRunning_) return;
  powerToolRunning_ = false;
  if (powerPatience_) powerPatience_->invalidate();
  if (!startingPowerTool_) {
    powerPatience_.reset();
    runQueuedPowerTools();
  }
}

}  // namespace trellis
