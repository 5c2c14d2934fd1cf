// The fan collector: how many fans the machine has and, per fan, its identifying text and
// speeds, read from the SMC once per sampling cycle. Main thread only; nothing here is locked.
#pragma once

#include <memory>

#include "base/base_hardware_info.h"
#include "smc/fan_model.h"

namespace trellis {

class FanInfo : public BaseHardwareInfo {
 public:
  // One reading. With a fan count of 1..9, stores the count and a new list of that many fans,
  // index 0 first: `ID` the identifier's text (empty when it could not be read; absent when it is
  // not valid UTF-8), `maxSpeed` and `minSpeed` (-1 when unreadable) and `speed` (0 when
  // unreadable), all truncated toward zero. With any other count (none readable, 0, above 9)
  // sets `sandbox` and leaves the record exactly as it was.
  void reloadInfo() override;

  // The fan set record, made empty (count 0, no list) on first access.
  std::shared_ptr<FanModel> model();
  void setModel(std::shared_ptr<FanModel> model) { model_ = std::move(model); }

  // The current fan set record; never nothing.
  std::shared_ptr<FanModel> getFanInfo() { return model(); }

  // Set by `reloadInfo` when the fan count was unusable; never cleared by it.
  bool sandbox() const { return sandbox_; }
  void setSandbox(bool sandbox) { sandbox_ = sandbox; }

 private:
  std::shared_ptr<FanModel> model_;
  bool sandbox_ = false;
};

}  // namespace trellis
