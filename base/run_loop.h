// The main run loop as the core sees it: repeating timers and a main queue. Everything on the
// agent's own path runs on the thread that runs the loop (the main thread). `post` is the only
// operation that other threads may call; everything else belongs to the main thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace trellis {

// A repeating timer scheduled on a run loop. Destroying the handle invalidates the timer.
class RepeatingTimer {
 public:
  virtual ~RepeatingTimer() = default;
  // Moves the next fire date to the distant future: the timer stays scheduled and valid but
  // never fires again.
  virtual void setFireDateDistantFuture() = 0;
  // Stops the timer for good.
  virtual void invalidate() = 0;
  virtual bool isValid() const = 0;
};

class RunLoop {
 public:
  using Task = std::function<void()>;

  virtual ~RunLoop() = default;

  // Queues `task` to run on the main thread after everything queued before it. Safe from any
  // thread. Tasks posted after the loop has ended are dropped.
  virtual void post(Task task) = 0;

  // Schedules `action` every `interval`, first `interval` from now. The next due time follows
  // from the scheduled one, not from when the action ran, and ticks that are already past when
  // an action returns are skipped rather than caught up.
  virtual std::unique_ptr<RepeatingTimer> addRepeatingTimer(std::chrono::microseconds interval,
                                                            Task action) = 0;

  // Runs the loop on the calling thread (which becomes the main thread) until `exit`; returns
  // the status given to `exit`.
  virtual int run() = 0;
  // Ends `run` with `status` once the current callback returns.
  virtual void exit(int status) = 0;
  // Called on the main thread when the process is asked to terminate (SIGTERM, SIGINT), just
  // before the loop ends with status 0.
  virtual void setTerminationHandler(Task handler) = 0;

  // The process's main loop (base/services.h).
  static RunLoop& main();
};

}  // namespace trellis
