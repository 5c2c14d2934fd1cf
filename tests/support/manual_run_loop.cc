#include "support/manual_run_loop.h"

#include <algorithm>

namespace trellis::testing {

namespace {
constexpr std::chrono::microseconds kNever = std::chrono::microseconds::max();
}

struct ManualRunLoop::TimerState {
  std::chrono::microseconds interval;
  std::chrono::microseconds due;
  Task action;
  bool valid = true;
};

class ManualRunLoop::Timer final : public RepeatingTimer {
 public:
  explicit Timer(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
  ~Timer() override { invalidate(); }
  void setFireDateDistantFuture() override { state_->due = kNever; }
  void invalidate() override { state_->valid = false; }
  bool isValid() const override { return state_->valid; }

 private:
  std::shared_ptr<TimerState> state_;
};

void ManualRunLoop::post(Task task) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(task));
}

std::unique_ptr<RepeatingTimer> ManualRunLoop::addRepeatingTimer(std::chrono::microseconds interval, Task action) {
  timers_.push_back(std::make_shared<TimerState>(TimerState{interval, now_ + interval, std::move(action)}));
  return std::make_unique<Timer>(timers_.back());
}

int ManualRunLoop::run() {
  if (!exited_) runQueued();
  return exitStatus_;
}

int ManualRunLoop::runQueued() {
  for (int ran = 0;; ++ran) {
    Task task;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) return ran;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task();
  }
}

void ManualRunLoop::advance(std::chrono::microseconds by) {
  const auto target = now_ + by;
  runQueued();
  for (;;) {
    std::erase_if(timers_, [](const auto& t) { return !t->valid; });
    auto next = std::min_element(timers_.begin(), timers_.end(), [](const auto& a, const auto& b) { return a->due < b->due; });
    if (next == timers_.end() || (*next)->due > target) break;
    const std::shared_ptr<TimerState> timer = *next;
    now_ = std::max(now_, timer->due);
    const auto scheduled = timer->due;
    timer->action();
    now_ += actionDuration_;
    if (timer->valid && timer->due != kNever) {
      auto due = scheduled + timer->interval;
      if (due <= now_) due += ((now_ - due) / timer->interval + 1) * timer->interval;
      timer->due = due;
    }
    runQueued();
  }
  now_ = std::max(now_, target);
}

}  // namespace trellis::testing
