// The disk readings on Linux, under a filesystem root ("/" normally, a fixture tree in tests):
// the platform's `DiskSource` over the mount table (io/mount_table.h), statvfs and /sys/block,
// and the rules and the parser it applies as plain functions (for tests and the fuzzer). A source
// keeps the latest volume listing and the open driver files, so it is used from one thread at a
// time (it asks file systems that may hang on threads of its own, see `capacity`); the free
// functions keep no state.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/disk_source.h"
#include "platform/linux/io/mount_table.h"

namespace trellis::lnx {

// A mounted volume as the disk collector sees it.
struct MountedVolume {
  MountEntry mount;
  bool network = false;

  friend bool operator==(const MountedVolume&, const MountedVolume&) = default;
};

// The volumes among `mounts` (in mountinfo order), which are:
//   - file systems on block devices: a device number whose major is neither 0 (no device: proc,
//     tmpfs, overlay, fuse, ...), 1 (RAM disks) nor 7 (loop devices: snap packages, disk images);
//     and btrfs or bcachefs, which report a made-up device number of major 0, when their source
//     is a /dev path; and ZFS datasets (major 0, source "pool/dataset");
//   - network file systems (nfs, nfs4, cifs, smb3, smbfs, ncpfs, afs, ceph, glusterfs,
//     fuse.glusterfs, fuse.sshfs, davfs), flagged `network`.
// Left out among those:
//   - a mount hidden by a later mount on the same mount point;
//   - a mount point with a path component that begins with "." ("/.snapshots");
//   - bind mounts: a block file system mounted from a directory other than its own root (how a
//     container receives single files such as /etc/hosts), except on btrfs and bcachefs, whose
//     subvolumes are mounted that way; and a mount of the same device and directory as one
//     listed before it (the same file system bound or mounted a second time).
std::vector<MountedVolume> selectVolumes(const std::vector<MountEntry>& mounts);

// The cumulative counters of a /sys/block/<disk>/stat line ("reads merges sectors ticks writes
// merges sectors ticks ..."): fields 3 and 7 times 512 (the kernel counts 512-byte sectors
// whatever the device's block size), wrapping modulo 2^64. Nothing when the text has fewer than
// seven fields or one of the first seven is not a decimal that fits 64 bits.
std::optional<DriverCounters> parseBlockStat(std::string_view text);

// The platform's `DiskSource`:
//   volumeNames   the mount points of `selectVolumes` over root/proc/self/mountinfo. The listing
//                 is kept for `capacity` and `describe`, and selected again only when the table
//                 changed (`MountTable`), which `volumesMayHaveChanged` tells.
//   capacity      statvfs of the mount point under the root (the injected function when given):
//                 total f_blocks x f_frsize, free f_bavail x f_frsize (what unprivileged users
//                 may still use). Nothing when it fails. For a network or FUSE file system, which
//                 may never answer, statvfs runs on a thread of its own, one at a time per volume,
//                 and the calls after one `volumeNames` or `volumesMayHaveChanged` wait for answers
//                 `kSlowVolumeWait` in all:
//                 a volume that has not answered by then (or is still on an earlier question)
//                 gives the last capacity read, marked `stale`, or nothing when none was read yet.
//   describe      for an entry of the latest listing:
//                   volumeName  the mount point
//                   kind        the file-system type
//                   network     true for a network file system, which is never internal or
//                               removable, writable when mounted "rw", and has no model
//                 and for a block file system, from the sysfs tree of its devices (io/block_device.h
//                 blockDevicesOf: every member of a ZFS pool, btrfs or bcachefs), going up from a
//                 partition to its disk and down through device-mapper and md slaves to the
//                 physical disks:
//                   model       the first disk's device/model (device/name for MMC cards),
//                               blanks trimmed; empty when there is none
//                   writable    every device's and every disk's "ro" is 0
//                   removable   any disk's "removable" is 1, or it is an SD card (MMC type "SD")
//                   internal    no disk hangs from a USB or FireWire bus, and every one is a
//                               physical device (not a virtual one such as nbd)
//                 Nothing for an entry not in the latest listing or whose device is not in sysfs;
//                 such an entry is not looked up again until the mount table changes.
//   drivers       the whole physical disks of root/sys/block (not the virtual devices: loop, ram,
//                 zram, device-mapper, md, nbd), by name; each handle holds the disk's stat file
//                 open, so a disk that goes away fails its next read and is dropped for good.
class LinuxDiskSource final : public DiskSource {
 public:
  // How long the capacities of one listing wait for file systems that may hang, in all.
  static constexpr std::chrono::milliseconds kSlowVolumeWait{50};

  // The capacity of a volume at a path, or nothing.
  using StatFunction = std::function<std::optional<VolumeCapacity>(const std::string& path)>;

  // `statFunction` empty: statvfs.
  explicit LinuxDiskSource(std::string root = "/", StatFunction statFunction = {});
  ~LinuxDiskSource() override;
  LinuxDiskSource(const LinuxDiskSource&) = delete;
  LinuxDiskSource& operator=(const LinuxDiskSource&) = delete;

  std::optional<std::vector<std::string>> volumeNames() override;
  std::optional<VolumeCapacity> capacity(const std::string& entry) override;
  std::optional<VolumeDescription> describe(const std::string& entry) override;
  bool volumesMayHaveChanged() override;

  std::optional<std::vector<DriverHandle>> matchDrivers() override;
  std::optional<DriverCounters> driverCounters(DriverHandle driver) override;
  void releaseDriver(DriverHandle driver) override;

  // The disk name behind each handle held, for diagnostics.
  std::string driverName(DriverHandle driver) const;

 private:
  struct Driver {
    std::string name;
    int fd = -1;  // -1 once given back
  };
  struct SlowVolume;

  std::optional<VolumeDescription> describeVolume(const MountedVolume& volume) const;
  // Selects the volumes again when the mount table changed; true then.
  bool update();


  std::string root_;
  StatFunction stat_;
  MountTable mountTable_;
  std::vector<MountEntry> mounts_;       // the mount table the listing was made from
  std::vector<MountedVolume> listing_;
  std::vector<std::string> names_;       // the mount points of `listing_`
  std::set<std::string> undescribable_;  // entries `describe` failed on, since the table changed
  std::map<std::string, std::shared_ptr<SlowVolume>> slow_;  // by entry
  std::optional<std::chrono::steady_clock::time_point> slowBudgetEnd_;
  std::vector<Driver> drivers_;  // handle = index + 1
};

}  // namespace trellis::lnx
