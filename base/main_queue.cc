// Delayed main-thread calls over run loop timers. Timers are made and destroyed on the loop's
// thread only; other threads reach it through RunLoop::post.
#include "base/main_queue.h"

#include "base/services.h"

namespace trellis {

MainQueue& MainQueue::main() { return required(installedServices().mainQueue, "the main queue"); }

void RunLoopMainQueue::dispatchAfter(std::chrono::nanoseconds delay, Task task) {
  if (delay <= std::chrono::nanoseconds::zero()) {
    loop_.post(std::move(task));
    return;
  }
  // Rounded up, so that a task never runs before its delay.
  const auto micros = std::chrono::ceil<std::chrono::microseconds>(delay);
  loop_.post([this, micros, task = std::move(task)]() mutable { schedule(micros, std::move(task)); });
}

void RunLoopMainQueue::schedule(std::chrono::microseconds delay, Task task) {
  const std::uint64_t id = nextId_++;
  std::unique_ptr<RepeatingTimer> timer = loop_.addRepeatingTimer(delay, [this, id, task = std::move(task)] {
    // Stopped before the task runs, so it fires once; destroyed later from the queue, since a
    // timer's action must not destroy its own timer.
    if (auto it = pending_.find(id); it != pending_.end()) it->second->invalidate();
    loop_.post([this, id] { pending_.erase(id); });
    task();
  });
  if (timer) pending_.emplace(id, std::move(timer));  // no timer: the loop cannot take one; dropped
}

}  // namespace trellis
