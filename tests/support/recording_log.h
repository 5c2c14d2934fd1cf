// A system log that keeps what is written to it, for every suite that checks log lines. Safe from
// any thread.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/system_log.h"

namespace trellis::testing {

class RecordingLog final : public SystemLog {
 public:
  void write(int priority, std::string_view line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    priorities_.push_back(priority);
    lines_.emplace_back(line);
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<int> priorities() {
    std::lock_guard<std::mutex> lock(mutex_);
    return priorities_;
  }
  // The lines written since the last take.
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    priorities_.clear();
    return std::exchange(lines_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<int> priorities_;
  std::vector<std::string> lines_;
};

}  // namespace trellis::testing
