#include "app/app_delegate.h"

#include <memory>

#include "app/hardware_manager.h"

namespace trellis {

void AppDelegate::applicationDidFinishLaunching() { HardwareManager::share().reloadAllInfo(); }

void AppDelegate::applicationWillTerminate() {}

int runApplication(RunLoop& loop, AppDelegate& delegate, ConsoleUserSource& consoleUsers, const LaunchHooks& hooks) {
  loop.setTerminationHandler([&delegate] { delegate.applicationWillTerminate(); });
  auto launch = [&] {
    delegate.applicationDidFinishLaunching();
    if (hooks.status) hooks.status("Sampling");
    if (hooks.launched) hooks.launched();
  };
  std::unique_ptr<RepeatingTimer> wait;
  if (currentConsoleUser(consoleUsers)) {
    loop.post(launch);
  } else {
    if (hooks.status) hooks.status("Waiting for a user at the console");
    wait = loop.addRepeatingTimer(std::chrono::seconds(1), [&] {
      if (!currentConsoleUser(consoleUsers)) return;
      wait->invalidate();
      launch();
    });
  }
  if (hooks.ready) hooks.ready();
  return loop.run();
}

}  // namespace trellis
