// A run loop for tests: a main queue and repeating timers over a virtual clock that only moves
// when the test says so. Single-threaded, except `post`, which any thread may call.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "base/run_loop.h"

namespace trellis::testing {

class ManualRunLoop final : public RunLoop {
 public:
  void post(Task task) override;
  std::unique_ptr<RepeatingTimer> addRepeatingTimer(std::chrono::microseconds interval, Task action) override;
  int run() override;  // runs the queue until it is empty, unless the loop has exited
  void exit(int status) override {
    exited_ = true;
    exitStatus_ = status;
  }
  void setTerminationHandler(Task) override {}

  // Runs queued tasks (including ones they queue) until the queue is empty; returns how many ran.
  int runQueued();
  // Moves the virtual clock forward by `by`, firing due timers in time order (and running the
  // queue after each), as a real loop would: a late timer fires once and keeps its phase.
  void advance(std::chrono::microseconds by);
  // Makes each timer action from now on appear to take `duration` of virtual time.
  void setActionDuration(std::chrono::microseconds duration) { actionDuration_ = duration; }

 private:
  struct TimerState;
  class Timer;

  std::chrono::microseconds now_{0};
  std::chrono::microseconds actionDuration_{0};
  std::mutex mutex_;
  std::deque<Task> queue_;
  std::vector<std::shared_ptr<TimerState>> timers_;
  bool exited_ = false;
  int exitStatus_ = 0;
};

}  // namespace trellis::testing
