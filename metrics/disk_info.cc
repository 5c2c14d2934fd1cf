// The disk collector: the volume list rebuilt at every `reloadInfo` with records carried over by
// name, and the driver byte counters summed on demand. Main thread only.
#include "metrics/disk_info.h"

#include <cstdio>

#include "base/services.h"
#include "smc/temperature_sensors.h"
#include "tools/kw_tools.h"

namespace trellis {

namespace {

constexpr std::uint32_t kDecimalSteps = 1000;

std::uint64_t inUse(std::uint64_t total, std::uint64_t free) { return free < total ? total - free : 0; }

}  // namespace

std::string DiskModel::totalString() const { return KwTools::bytesToString(total_, kDecimalSteps); }
std::string DiskModel::freeString() const { return KwTools::bytesToString(free_, kDecimalSteps); }
std::string DiskModel::useString() const { return KwTools::bytesToString(inUse(total_, free_), kDecimalSteps); }

std::string DiskModel::usePercentString() const {
  if (total_ == 0) return "0%";
  const double share = static_cast<double>(inUse(total_, free_)) * 100.0 / static_cast<double>(total_);
  char text[16];
  std::snprintf(text, sizeof text, "%d%%", static_cast<int>(share));
  return text;
}

RecordTable<DiskModel> DiskModel::recordTable() {
  return RecordTable<DiskModel>("DiskModel")
      .property("name", &DiskModel::name, &DiskModel::setName)
      .property("model", &DiskModel::model, &DiskModel::setModel)
      .property("kind", &DiskModel::kind, &DiskModel::setKind)
      .property("total", &DiskModel::total, &DiskModel::setTotal)
      .property("free", &DiskModel::free, &DiskModel::setFree)
      .property("isMain", &DiskModel::isMain, &DiskModel::setIsMain)
      .property("isNetwork", &DiskModel::isNetwork, &DiskModel::setIsNetwork)
      .property("isWritable", &DiskModel::isWritable, &DiskModel::setIsWritable)
      .property("isRemovable", &DiskModel::isRemovable, &DiskModel::setIsRemovable)
      .property("temperature", &DiskModel::temperature, &DiskModel::setTemperature);
}

DiskInfo::DiskInfo() : DiskInfo(required(installedServices().disk, "the disk source")) {}

DiskInfo::DiskInfo(DiskSource& source) : DiskInfo(source, &TlxGetSsdTemperature) {}

DiskInfo::DiskInfo(DiskSource& source, TemperatureReader temperatureReader)
    : source_(&source), temperatureReader_(std::move(temperatureReader)) {
  getAllDrivers();
  getDiskList();
}

DiskInfo::~DiskInfo() { releaseAllDrivers(); }

void DiskInfo::reloadInfo() {
  if (!source_->volumesMayHaveChanged() && listComplete_) {
    // The same entries make the same list: what `getDiskList` would do but the capacities.
    temperatureMeasured_ = false;
    for (const auto& disk : list_) {
      double reading = 0.0;
      const bool failed = temperatureReader_(&reading) == -1;
      disk->setTemperature(static_cast<float>(failed ? temperature_ : reading));
      if (disk->isMain()) temperatureMeasured_ = !failed;
    }
    capacitiesPending_ = true;
    return;
  }
  getDiskList();
}

void DiskInfo::takeCapacities() {
  if (!capacitiesPending_) return;
  capacitiesPending_ = false;
  for (const auto& disk : list_) {
    const std::optional<VolumeCapacity> capacity = source_->capacity(disk->name());
    if (!capacity) {
      // Left out now, as the cycle would have: the whole list is made again.
      getDiskList();
      return;
    }
    disk->setFree(capacity->free);
    disk->setTotal(capacity->total);
  }
}

const std::vector<std::shared_ptr<DiskModel>>& DiskInfo::list() {
  takeCapacities();
  return list_;
}

std::shared_ptr<DiskModel> DiskInfo::getMainDisk() {
  takeCapacities();
  for (const auto& disk : list_) {
    if (disk && disk->isMain()) return disk;
  }
  return nullptr;
}

std::optional<float> DiskInfo::mainDiskTemperature() const {
  for (const auto& disk : list_) {
    if (disk && disk->isMain()) return disk->temperature();
  }
  return std::nullopt;
}

std::vector<std::shared_ptr<DiskModel>> DiskInfo::getAllDisks() {
  getDiskList();
  return list_;
}

void DiskInfo::getDiskList() {
  std::vector<std::shared_ptr<DiskModel>> next;
  temperatureMeasured_ = false;
  capacitiesPending_ = false;
  const std::optional<std::vector<std::string>> entries = source_->volumeNames();
  listComplete_ = entries.has_value();
  for (const std::string& entry : entries ? *entries : std::vector<std::string>{}) {
    if (entry.starts_with('.') || entry == "MobileBackups") continue;
    const std::optional<VolumeCapacity> capacity = source_->capacity(entry);
    if (!capacity) {
      listComplete_ = false;
      continue;
    }

    std::shared_ptr<DiskModel> known;
    for (const auto& disk : list_) {
      if (disk && disk->name() == entry) {
        known = disk;
        break;
      }
    }
    if (known) {
      known->setFree(capacity->free);
      known->setTotal(capacity->total);
      double reading = 0.0;
      const bool failed = temperatureReader_(&reading) == -1;
      known->setTemperature(static_cast<float>(failed ? temperature_ : reading));
      if (known->isMain()) temperatureMeasured_ = !failed;
      next.push_back(std::move(known));
      continue;
    }

    std::shared_ptr<DiskModel> fresh = getDiskDesc(entry);
    if (!fresh) {
      listComplete_ = false;
      continue;
    }
    fresh->setTotal(capacity->total);
    fresh->setFree(capacity->free);
    next.push_back(std::move(fresh));
  }
  list_ = std::move(next);
}

std::shared_ptr<DiskModel> DiskInfo::getDiskDesc(const std::string& path) {
  const std::optional<VolumeDescription> description = source_->describe(path);
  if (!description) return nullptr;
  auto disk = std::make_shared<DiskModel>();
  disk->setName(description->volumeName);
  disk->setModel(description->model);
  disk->setKind(description->kind);
  // A removable medium is never the main disk, even in an internal drive.
  disk->setIsMain(description->internal && !description->removable);
  disk->setIsNetwork(description->network);
  disk->setIsWritable(description->writable);
  disk->setIsRemovable(description->removable);
  return disk;
}

void DiskInfo::getAllDrivers() {
  std::optional<std::vector<DriverHandle>> matched = source_->matchDrivers();
  if (!matched) return;
  releaseAllDrivers();
  drivers_ = std::move(*matched);
}

void DiskInfo::releaseAllDrivers() {
  for (DriverHandle driver : drivers_) {
    if (driver != 0) source_->releaseDriver(driver);
  }
  drivers_.clear();
}

void DiskInfo::getReadAndWriteBytesWithHandler(const ReadWriteHandler& handler) {
  std::uint64_t read = 0;
  std::uint64_t written = 0;
  for (std::size_t i = 0; i < drivers_.size();) {
    const std::optional<DriverCounters> counters = source_->driverCounters(drivers_[i]);
    if (!counters) {
      // Dropped for good; the driver that takes this index is read next.
      source_->releaseDriver(drivers_[i]);
      drivers_.erase(drivers_.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    read += counters->bytesRead.value_or(0);
    written += counters->bytesWritten.value_or(0);
    ++i;
  }
  if (handler) handler(read, written);
}

}  // namespace trellis
