// Delayed calls on the main thread (the main queue's "run this in N seconds"). The real queue sits
// on the main run loop; tests use a fake or a RunLoopMainQueue over a manual run loop.
// `dispatchAfter` may be called from any thread; tasks run on the loop's thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "base/run_loop.h"

namespace trellis {

class MainQueue {
 public:
  using Task = std::function<void()>;
  virtual ~MainQueue() = default;

  // Runs `task` once on the main thread, `delay` from now (a delay of 0 or less: as soon as the
  // queue gets to it). A task still pending when the loop ends never runs.
  virtual void dispatchAfter(std::chrono::nanoseconds delay, Task task) = 0;

  // The process's queue over its main loop (base/services.h).
  static MainQueue& main();
};

// A main queue over a run loop: each delayed call is a repeating timer that stops itself on its
// first tick. Owns the timers it made: destroying the queue cancels what is pending. Must be
// destroyed on the loop's thread, and outlive the tasks it queued on the loop.
class RunLoopMainQueue final : public MainQueue {
 public:
  explicit RunLoopMainQueue(RunLoop& loop) : loop_(loop) {}
  void dispatchAfter(std::chrono::nanoseconds delay, Task task) override;

 private:
  void schedule(std::chrono::microseconds delay, Task task);  // on the loop's thread

  RunLoop& loop_;
  std::uint64_t nextId_ = 0;  // loop thread only, as is `pending_`
  std::map<std::uint64_t, std::unique_ptr<RepeatingTimer>> pending_;
};

}  // namespace trellis
