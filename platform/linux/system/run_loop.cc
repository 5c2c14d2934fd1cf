#include "platform/linux/system/run_loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>

#include "platform/linux/io/eintr.h"

namespace trellis::lnx {

namespace {

// 2-second sampling tolerates a little slack; it lets the kernel coalesce wake-ups.
constexpr uint64_t kTimerAccuracyUsec = 10'000;

class SdEventTimer final : public RepeatingTimer {
 public:
  SdEventTimer(uint64_t intervalUsec, RunLoop::Task action)
      : intervalUsec_(intervalUsec), action_(std::move(action)) {}
  ~SdEventTimer() override { invalidate(); }

  int arm(sd_event* event) {
    int r = sd_event_add_time_relative(event, &source_, CLOCK_MONOTONIC, intervalUsec_, kTimerAccuracyUsec,
                                       &SdEventTimer::onTime, this);
    if (r < 0) return r;
    // Ahead of the bus: a timer that is due runs before the next message is read, so that a flood
    // of messages cannot hold the readings back.
    r = sd_event_source_set_priority(source_, SD_EVENT_PRIORITY_IMPORTANT);
    if (r < 0) return r;
    return sd_event_source_set_enabled(source_, SD_EVENT_ON);
  }

  void setFireDateDistantFuture() override {
    if (source_ == nullptr) return;
    paused_ = true;
    // The source stays on and scheduled, and never comes due.
    (void)sd_event_source_set_time(source_, UINT64_MAX);
    (void)sd_event_source_set_enabled(source_, SD_EVENT_ON);
  }

  void invalidate() override { source_ = sd_event_source_disable_unref(source_); }

  bool isValid() const override { return source_ != nullptr; }

 private:
  // The action must not destroy its own timer object (it may pause or invalidate it).
  static int onTime(sd_event_source* source, uint64_t usec, void* userdata) {
    auto* self = static_cast<SdEventTimer*>(userdata);
    self->action_();
    if (self->source_ == nullptr || self->paused_) return 0;

    // The next tick follows from the scheduled time, not from now, so there is no drift; ticks
    // that came due while the action ran (or while the machine was busy) are skipped, not caught
    // up.
    uint64_t next = usec + self->intervalUsec_;
    uint64_t now = monotonicNowUsec();
    if (next <= now) next += ((now - next) / self->intervalUsec_ + 1) * self->intervalUsec_;
    (void)sd_event_source_set_time(source, next);
    (void)sd_event_source_set_enabled(source, SD_EVENT_ON);
    return 0;
  }

  static uint64_t monotonicNowUsec() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
  }

  uint64_t intervalUsec_;
  RunLoop::Task action_;
  sd_event_source* source_ = nullptr;
  bool paused_ = false;
};

}  // namespace

std::unique_ptr<SdEventRunLoop> SdEventRunLoop::create(int* error) {
  std::unique_ptr<SdEventRunLoop> loop(new SdEventRunLoop());
  auto fail = [&](int r) -> std::unique_ptr<SdEventRunLoop> {
    if (error != nullptr) *error = r;
    return nullptr;
  };
  int r = sd_event_new(&loop->event_);
  if (r < 0) return fail(r);
  loop->queueFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (loop->queueFd_ < 0) return fail(-errno);
  r = sd_event_add_io(loop->event_, &loop->queueSource_, loop->queueFd_, EPOLLIN, &SdEventRunLoop::onQueueReadable,
                      loop.get());
  if (r < 0) return fail(r);
  // SIGTERM and SIGINT end the loop through the termination handler. The signals must be blocked
  // for signalfd to see them.
  r = sd_event_add_signal(loop->event_, &loop->sigtermSource_, SIGTERM | SD_EVENT_SIGNAL_PROCMASK,
                          &SdEventRunLoop::onSignal, loop.get());
  if (r < 0) return fail(r);
  r = sd_event_add_signal(loop->event_, &loop->sigintSource_, SIGINT | SD_EVENT_SIGNAL_PROCMASK,
                          &SdEventRunLoop::onSignal, loop.get());
  if (r < 0) return fail(r);
  return loop;
}

SdEventRunLoop::~SdEventRunLoop() {
  sigtermSource_ = sd_event_source_disable_unref(sigtermSource_);
  sigintSource_ = sd_event_source_disable_unref(sigintSource_);
  sighupSource_ = sd_event_source_disable_unref(sighupSource_);
  queueSource_ = sd_event_source_disable_unref(queueSource_);
  if (queueFd_ >= 0) close(queueFd_);
  event_ = sd_event_unref(event_);
}

void SdEventRunLoop::post(Task task) {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.push_back(std::move(task));
  }
  uint64_t one = 1;
  // A full counter (impossible in practice) or EAGAIN still leaves the fd readable.
  (void)retryOnEintr([&] { return write(queueFd_, &one, sizeof one); });
}

std::unique_ptr<RepeatingTimer> SdEventRunLoop::addRepeatingTimer(std::chrono::microseconds interval, Task action) {
  uint64_t usec = interval.count() > 0 ? static_cast<uint64_t>(interval.count()) : 1;
  auto timer = std::make_unique<SdEventTimer>(usec, std::move(action));
  if (timer->arm(event_) < 0) return nullptr;
  return timer;
}

int SdEventRunLoop::run() { return sd_event_loop(event_); }

void SdEventRunLoop::exit(int status) { (void)sd_event_exit(event_, status); }

void SdEventRunLoop::setTerminationHandler(Task handler) { terminationHandler_ = std::move(handler); }

void SdEventRunLoop::runPending() {
  // Zero timeout: process what is ready, then stop.
  while (sd_event_run(event_, 0) > 0) {
  }
}

int SdEventRunLoop::onQueueReadable(sd_event_source*, int fd, uint32_t, void* userdata) {
  uint64_t count = 0;
  // Nothing to read (EAGAIN) is as good as the counter reset: the queue is drained either way.
  (void)retryOnEintr([&] { return read(fd, &count, sizeof count); });
  static_cast<SdEventRunLoop*>(userdata)->drainQueue();
  return 0;
}

void SdEventRunLoop::drainQueue() {
  // One wake-up may carry several tasks. Tasks queued while draining run in this pass too, in
  // order; each is taken out under the lock and run without it.
  for (;;) {
    Task task;
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      if (queue_.empty()) return;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task();
  }
}

void SdEventRunLoop::setHangupHandler(Task handler) {
  hangupHandler_ = std::move(handler);
  if (sighupSource_ != nullptr) return;
  (void)sd_event_add_signal(
      event_, &sighupSource_, SIGHUP | SD_EVENT_SIGNAL_PROCMASK,
      [](sd_event_source*, const struct signalfd_siginfo*, void* userdata) {
        auto* self = static_cast<SdEventRunLoop*>(userdata);
        if (self->hangupHandler_) self->hangupHandler_();
        return 0;
      },
      this);
}

int SdEventRunLoop::onSignal(sd_event_source* source, const struct signalfd_siginfo*, void* userdata) {
  auto* self = static_cast<SdEventRunLoop*>(userdata);
  if (self->terminationHandler_) self->terminationHandler_();
  return sd_event_exit(sd_event_source_get_event(source), 0);
}

}  // namespace trellis::lnx
