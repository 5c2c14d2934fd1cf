#include "app/app_delegate.h"

#include "app/hardware_manager.h"

namespace trellis {

void AppDelegate::applicationDidFinishLaunching() { HardwareManager::share().reloadAllInfo(); }

void AppDelegate::applicationWillTerminate() {}

int runApplication(RunLoop& loop, AppDelegate& delegate, const std::function<void()>& didLaunch) {
  loop.setTerminationHandler([&delegate] { delegate.applicationWillTerminate(); });
  delegate.applicationDidFinishLaunching();
  if (didLaunch) didLaunch();
  return loop.run();
}

}  // namespace trellis
