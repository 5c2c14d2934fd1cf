// Block devices in the sysfs tree under a filesystem root ("/" normally, a fixture tree in
// tests): a device's folder found by number, by name or from a mount, and the physical disks
// beneath a device. Folders come back with every link followed (the device's place under
// sys/devices). Stateless; any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/io/mount_table.h"

namespace trellis::lnx {

// The folder of block device MAJOR:MINOR, from root/sys/dev/block; nothing when there is none.
std::optional<std::filesystem::path> blockDeviceFolder(const std::string& root, std::uint32_t major,
                                                       std::uint32_t minor);

// The folder of the block device called `name` ("sda2", "dm-0"), from root/sys/class/block;
// nothing when there is none.
std::optional<std::filesystem::path> blockDeviceFolder(const std::string& root, const std::string& name);

// The folder of the block device that holds `mount`, found by its device number or, for btrfs and
// bcachefs (whose device numbers are made up), by its source: a /dev/NAME whose NAME is in
// sys/class/block, a /dev/mapper/NAME found by device-mapper name, or any /dev path that resolves
// to one of those under the root. Nothing when the tree has no such device.
std::optional<std::filesystem::path> blockDeviceFolder(const std::string& root, const MountEntry& mount);

// The name of the device `blockDeviceFolder` finds for `mount` ("sda2", "dm-0").
std::optional<std::string> blockDeviceOf(const std::string& root, const MountEntry& mount);

// The block device that holds the file system mounted at `mountPoint` (the last mount there in
// root/proc/self/mountinfo), as `blockDeviceOf` names it. An overlay file system is followed to
// the mount that holds its upper directory. Nothing when there is no such mount or device.
std::optional<std::string> blockDeviceOfMountPoint(const std::string& root, const std::string& mountPoint);

// The folders of the block devices that hold `mount`, in name order, each once. A file system
// whose device number is made up (major 0) is found by its source: a ZFS dataset ("rpool/home")
// by the members of its pool, from the udev database under root/run/udev/data (sysfs does not
// link a pool to its devices); a multi-device bcachefs by each device its source lists
// ("/dev/sda:/dev/sdb"); btrfs by every device of the file system its source device belongs to
// (root/sys/fs/btrfs/<uuid>/devices); anything else as `blockDeviceFolder` finds it. Empty when
// the tree has no such device.
std::vector<std::filesystem::path> blockDevicesOf(const std::string& root, const MountEntry& mount);

// The disk that holds the root file system ("/" in root/proc/self/mountinfo): the first by name
// of the physical disks beneath `blockDevicesOf` its mount, an overlay followed to the mount of its
// upper folder. Without a mount table under the root, the device `root` itself lies on. A
// container's overlay, whose upper folder is on no mount of its own, has none.
struct MainDisk {
  std::optional<std::filesystem::path> disk;  // its folder; nothing when there is no main disk
  std::string account;  // for people: "sda: / is zfs from rpool/ROOT/debian on sda3, sdb3", or
                        // "no main disk: / is overlay from overlay, whose upper folder ..."
};
MainDisk findMainDisk(const std::string& root);

// The physical disks beneath the device at `device`: up from a partition to its disk, then down
// through the slaves of device-mapper and md devices, in name order, each disk once. A slave link
// that leads nowhere is passed over, and nothing more than eight levels down is reached (only a
// loop in a damaged tree goes that deep).
std::vector<std::filesystem::path> disksUnder(const std::filesystem::path& device);
// The same for several devices, in name order, each disk once.
std::vector<std::filesystem::path> disksUnder(const std::vector<std::filesystem::path>& devices);

}  // namespace trellis::lnx
