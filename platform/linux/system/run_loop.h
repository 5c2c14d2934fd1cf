// The main run loop over sd-event: CLOCK_MONOTONIC repeating timers and a main queue fed through
// an eventfd so that any thread can queue work in order. The loop object and its timers belong to
// the thread that created the loop; `post` may be called from any thread.
#pragma once

#include <systemd/sd-event.h>

#include <deque>
#include <memory>
#include <mutex>

#include "base/run_loop.h"

namespace trellis::lnx {

class SdEventRunLoop final : public RunLoop {
 public:
  // Returns nothing (and sets `error` to a negative errno) when sd-event cannot be set up.
  static std::unique_ptr<SdEventRunLoop> create(int* error = nullptr);
  ~SdEventRunLoop() override;

  void post(Task task) override;
  std::unique_ptr<RepeatingTimer> addRepeatingTimer(std::chrono::microseconds interval, Task action) override;
  int run() override;
  void exit(int status) override;
  void setTerminationHandler(Task handler) override;

  // Calls `handler` on SIGHUP, which otherwise keeps its default (the end of the process).
  void setHangupHandler(Task handler);

  // Runs queued tasks and due sources until none is pending (tests and the companion's one-shot
  // commands use it to let the bus deliver).
  void runPending();

  sd_event* event() const { return event_; }

 private:
  SdEventRunLoop() = default;
  static int onQueueReadable(sd_event_source* source, int fd, uint32_t revents, void* userdata);
  static int onSignal(sd_event_source* source, const struct signalfd_siginfo* info, void* userdata);
  void drainQueue();

  sd_event* event_ = nullptr;
  int queueFd_ = -1;
  sd_event_source* queueSource_ = nullptr;
  sd_event_source* sigtermSource_ = nullptr;
  sd_event_source* sigintSource_ = nullptr;
  sd_event_source* sighupSource_ = nullptr;
  std::mutex queueMutex_;
  std::deque<Task> queue_;
  Task terminationHandler_;
  Task hangupHandler_;
};

}  // namespace trellis::lnx
