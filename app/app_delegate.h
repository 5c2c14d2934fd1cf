// The application delegate and the application main loop that drives it. Main thread only.
#pragma once

#include <functional>
#include <string_view>

#include "base/console_user.h"
#include "base/run_loop.h"

namespace trellis {

// Holds no state. Launch starts the hardware manager and its first sampling cycle.
class AppDelegate {
 public:
  // Makes the hardware manager (first use) and runs one sampling cycle at once.
  void applicationDidFinishLaunching();
  // Nothing to do: the process ends without teardown.
  void applicationWillTerminate();
  bool applicationSupportsSecureRestorableState() const { return true; }
};

// What a program hears of the launch.
struct LaunchHooks {
  // A short text for the service manager: "Waiting for a user at the console", then "Sampling".
  std::function<void(std::string_view status)> status;
  // The loop is up and the process answers its signals: the service has started.
  std::function<void()> ready;
  // Launching finished (the hardware manager exists and has run its first cycle).
  std::function<void()> launched;
};

// Routes termination requests to `applicationWillTerminate`, says the process is ready, then waits
// on `loop` for a user at the console (`currentConsoleUser`, probed at once and every second) and
// finishes launching (`applicationDidFinishLaunching`), and runs the loop until it ends. Returns
// the loop's exit status. A termination request while waiting ends the loop as at any other time.
int runApplication(RunLoop& loop, AppDelegate& delegate, ConsoleUserSource& consoleUsers, const LaunchHooks& hooks);

}  // namespace trellis
