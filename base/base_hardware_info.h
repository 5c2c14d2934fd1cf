// The base of the collectors: `reloadInfo` refreshes the collector's record.
#pragma once

namespace trellis {

class BaseHardwareInfo {
 public:
  virtual ~BaseHardwareInfo() = default;
  // Refreshes the collector's record; the base has nothing to refresh.
  virtual void reloadInfo();
};

}  // namespace trellis
