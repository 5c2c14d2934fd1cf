// The application delegate and the application main loop that drives it. Main thread only.
#pragma once

#include <functional>

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

// Finishes launching (`applicationDidFinishLaunching`, then `didLaunch` when given), routes
// termination requests to `applicationWillTerminate`, and runs `loop` until it ends. Returns the
// loop's exit status.
int runApplication(RunLoop& loop, AppDelegate& delegate, const std::function<void()>& didLaunch = {});

}  // namespace trellis
