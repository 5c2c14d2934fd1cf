// The disk collector and its volume records: the mounted volumes with their capacities, flags and
// the main disk's temperature, the main volume among them, and the bytes read and written by the
// machine's block-storage drivers. Main thread only (the sampling cycle); nothing is locked.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/base_hardware_info.h"
#include "metrics/disk_source.h"
#include "model/record.h"

namespace trellis {

// One mounted volume.
class DiskModel {
 public:
  const std::string& name() const { return name_; }
  void setName(std::string v) { name_ = std::move(v); }
  // Device model of the disk that holds the volume.
  const std::string& model() const { return model_; }
  void setModel(std::string v) { model_ = std::move(v); }
  // File-system kind.
  const std::string& kind() const { return kind_; }
  void setKind(std::string v) { kind_ = std::move(v); }
  // Bytes.
  std::uint64_t total() const { return total_; }
  void setTotal(std::uint64_t v) { total_ = v; }
  // Bytes an unprivileged user can still write.
  std::uint64_t free() const { return free_; }
  void setFree(std::uint64_t v) { free_ = v; }
  // The volume lies on an internal, non-removable device.
  bool isMain() const { return isMain_; }
  void setIsMain(bool v) { isMain_ = v; }
  bool isNetwork() const { return isNetwork_; }
  void setIsNetwork(bool v) { isNetwork_ = v; }
  bool isWritable() const { return isWritable_; }
  void setIsWritable(bool v) { isWritable_ = v; }
  bool isRemovable() const { return isRemovable_; }
  void setIsRemovable(bool v) { isRemovable_ = v; }
  // The main disk's temperature in degrees Celsius; 0 until first set.
  float temperature() const { return temperature_; }
  void setTemperature(float v) { temperature_ = v; }

  // Display texts in decimal steps of 1000 (KwTools::bytesToString).
  std::string totalString() const;
  std::string freeString() const;
  // total - free; a record whose free exceeds its total counts nothing in use ("0 B") instead of
  // formatting the wrapped-around difference.
  std::string useString() const;
  // "0%" when total is 0; otherwise (total - free) * 100 / total in double precision truncated
  // toward zero; free above total gives "0%", so the text is always one of "0%" .. "100%".
  std::string usePercentString() const;

  // Properties in declaration order: name, model, kind, total, free, isMain, isNetwork,
  // isWritable, isRemovable, temperature.
  static RecordTable<DiskModel> recordTable();

 private:
  std::string name_;
  std::string model_;
  std::string kind_;
  std::uint64_t total_ = 0;
  std::uint64_t free_ = 0;
  bool isMain_ = false;
  bool isNetwork_ = false;
  bool isWritable_ = false;
  bool isRemovable_ = false;
  float temperature_ = 0.0f;
};

class DiskInfo : public BaseHardwareInfo {
 public:
  // Reads the disk temperature into `*value` (preset to 0.0 by the caller); returns 0 on success
  // and -1 on failure, like `TlxGetSsdTemperature`.
  using TemperatureReader = std::function<int(double*)>;
  // Receives (bytes read, bytes written).
  using ReadWriteHandler = std::function<void(std::uint64_t, std::uint64_t)>;

  // Reads the platform's `DiskSource` and `TlxGetSsdTemperature`. Like every constructor, lists
  // the drivers and then the volumes at once (the volumes without temperatures).
  DiskInfo();
  // Reads `source`, which must outlive the collector, and `temperatureReader`.
  DiskInfo(DiskSource& source, TemperatureReader temperatureReader);
  explicit DiskInfo(DiskSource& source);
  // Gives back every driver handle still held.
  ~DiskInfo() override;
  DiskInfo(const DiskInfo&) = delete;
  DiskInfo& operator=(const DiskInfo&) = delete;

  // `getDiskList`, in part: while the source's entries are unchanged and the last list left
  // none out, only the temperatures are read now, and the capacities when next asked for
  // (`list`, `getMainDisk`), as the agent's cycle reads none of them.
  void reloadInfo() override;

  // The first volume of the list whose isMain is true, or nullptr; does not refresh the list.
  std::shared_ptr<DiskModel> getMainDisk();
  // The temperature of that volume, or nothing when there is none; reads nothing.
  std::optional<float> mainDiskTemperature() const;
  // `getDiskList`, then a copy of the list.
  std::vector<std::shared_ptr<DiskModel>> getAllDisks();

  // Rebuilds the list in the source's order, leaving out entries whose name begins with "." or
  // is "MobileBackups" and entries whose capacities cannot be read. A volume already listed under
  // the same name (exact, case-sensitive) keeps its record: its capacities are refreshed and it
  // gets the temperature reader's value (the collector's fallback `temperature` when the reader
  // fails), one reading per record. A new volume gets a record from `getDiskDesc` with its
  // capacities and temperature 0, or is left out for this pass when it cannot be described.
  // A capacity marked stale (the platform's earlier figure for a file system that did not answer
  // in time) is stored like a fresh one. A listing that cannot be read leaves the list empty.
  void getDiskList();
  // A new record for the volume at `path` (an entry name) with its name, model, kind and flags
  // from the source, capacities and temperature 0; isMain = internal and not removable. Nothing
  // when the source cannot describe it.
  std::shared_ptr<DiskModel> getDiskDesc(const std::string& path);

  // Lists the drivers there are now into `drivers`, giving back the handles held before; when the
  // listing fails, `drivers` is left as it was. Drivers that appear later are not picked up
  // until the next call.
  void getAllDrivers();
  // Gives back every handle and empties `drivers`.
  void releaseAllDrivers();
  // Sums the drivers' counters (modulo 2^64) and calls `handler`, when given, once on this thread
  // before returning. A driver whose counters cannot be read is given back and dropped for good;
  // the walk goes on with the driver after it, so every remaining driver is still counted.
  void getReadAndWriteBytesWithHandler(const ReadWriteHandler& handler);

  // The current volume list, in the source's order.
  const std::vector<std::shared_ptr<DiskModel>>& list();
  void setList(std::vector<std::shared_ptr<DiskModel>> list) {
    list_ = std::move(list);
    listComplete_ = capacitiesPending_ = false;
  }
  // The driver handles held.
  const std::vector<DriverHandle>& drivers() const { return drivers_; }

  // The fallback temperature stored when the reader fails; 0.0 unless set.
  double temperature() const { return temperature_; }
  void setTemperature(double v) { temperature_ = v; }
  // Whether the last volume list gave the main volume a temperature that was read (false: none
  // was given yet, or the fallback stands in for a failed reading).
  bool temperatureMeasured() const { return temperatureMeasured_; }

 private:
  // Reads the capacities `reloadInfo` left for later.
  void takeCapacities();

  DiskSource* source_;
  TemperatureReader temperatureReader_;
  std::vector<DriverHandle> drivers_;
  std::vector<std::shared_ptr<DiskModel>> list_;
  double temperature_ = 0.0;
  bool temperatureMeasured_ = false;
  bool listComplete_ = false;     // the last `getDiskList` left no entry out for a failure
  bool capacitiesPending_ = false;  // the capacities of `list_` are to be read again
};

}  // namespace trellis
