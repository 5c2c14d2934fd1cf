// Where the disk collector gets its platform readings: the mounted volumes by entry name, each
// volume's capacities and description, and the block-storage drivers with their cumulative byte
// counters. The platform's implementation lives in the platform folder; tests give the collector
// a fake. A source is used from one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trellis {

struct VolumeCapacity {
  std::uint64_t total = 0;  // bytes
  std::uint64_t free = 0;   // bytes an unprivileged user can still write
  bool stale = false;       // an earlier figure: the file system did not answer in time

  friend bool operator==(const VolumeCapacity&, const VolumeCapacity&) = default;
};

// What the platform knows of one volume and the device that holds it.
struct VolumeDescription {
  std::string volumeName;  // the name the record is kept under
  std::string model;       // device model; empty when unknown
  std::string kind;        // file-system kind ("ext4", "nfs4"); empty when unknown
  bool internal = false;   // the device is built into the machine
  bool writable = false;   // the medium can be written
  bool removable = false;  // the medium can be taken out
  bool network = false;    // the volume lives on another machine

  friend bool operator==(const VolumeDescription&, const VolumeDescription&) = default;
};

// One block-storage driver's cumulative counters since it started. A counter the driver does not
// keep is absent (and adds nothing to a sum).
struct DriverCounters {
  std::optional<std::uint64_t> bytesRead;
  std::optional<std::uint64_t> bytesWritten;

  friend bool operator==(const DriverCounters&, const DriverCounters&) = default;
};

// A block-storage driver as the source hands it out; 0 is never a handle.
using DriverHandle = std::uint32_t;

class DiskSource {
 public:
  virtual ~DiskSource() = default;

  // The entry names of the mounted volumes, in the platform's listing order; nothing when the
  // listing cannot be read. An entry name is what `capacity` and `describe` take.
  virtual std::optional<std::vector<std::string>> volumeNames() = 0;
  // The volume's total and available capacity, or nothing when it cannot be asked. Never waits
  // long on a file system that does not answer: an earlier figure marked `stale` stands in.
  virtual std::optional<VolumeCapacity> capacity(const std::string& entry) = 0;
  // The volume's description, or nothing when it is not a volume the platform can describe.
  virtual std::optional<VolumeDescription> describe(const std::string& entry) = 0;
  // False when the entries `volumeNames` gives are known not to have changed since its previous
  // call (a source that cannot tell answers true).
  virtual bool volumesMayHaveChanged() { return true; }

  // Every block-storage driver there is now, in the platform's order, each handle holding one
  // reference that `releaseDriver` gives back; nothing when the drivers cannot be listed.
  virtual std::optional<std::vector<DriverHandle>> matchDrivers() = 0;
  // The driver's counters, or nothing when its properties can no longer be read (the device went
  // away). Present counters may be empty when the driver keeps no statistics.
  virtual std::optional<DriverCounters> driverCounters(DriverHandle driver) = 0;
  // Gives back the reference of a handle from `matchDrivers`; the handle is not used again.
  virtual void releaseDriver(DriverHandle driver) = 0;
};

}  // namespace trellis
