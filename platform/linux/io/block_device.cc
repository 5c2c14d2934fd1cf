#include "platform/linux/io/block_device.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <string_view>

#include "platform/linux/io/file_contents.h"
#include "platform/linux/io/paths.h"

namespace trellis::lnx {
namespace {

namespace fs = std::filesystem;

// Device-mapper and md stacks are a few levels deep; a loop in a damaged tree must end.
constexpr int kMaxStackDepth = 8;

void collectDisks(const fs::path& device, int depth, std::vector<fs::path>* disks) {
  if (depth > kMaxStackDepth) return;
  fs::path disk = device;
  if (pathExists(disk / "partition")) disk = disk.parent_path();
  const std::vector<std::string> slaves = folderEntries(disk / "slaves").value_or(std::vector<std::string>{});
  if (slaves.empty()) {
    if (std::find(disks->begin(), disks->end(), disk) == disks->end()) disks->push_back(disk);
    return;
  }
  for (const std::string& slave : slaves) {
    if (const std::optional<fs::path> next = resolvedPath(disk / "slaves" / slave)) {
      collectDisks(*next, depth + 1, disks);
    }
  }
}

// The value of property `key` in a udev database record ("E:ID_FS_TYPE=zfs_member").
std::optional<std::string_view> udevProperty(std::string_view record, std::string_view key) {
  while (!record.empty()) {
    const std::size_t end = record.find('\n');
    const std::string_view line = record.substr(0, end);
    record.remove_prefix(end == std::string_view::npos ? record.size() : end + 1);
    if (line.starts_with("E:") && line.substr(2).starts_with(key) && line.substr(2 + key.size()).starts_with('=')) {
      return line.substr(3 + key.size());
    }
  }
  return std::nullopt;
}

// The partitions (or disks) of ZFS pool `pool`. Sysfs does not link a pool to its devices; the
// udev database has what libblkid read from each: ID_FS_TYPE=zfs_member, the pool's name as
// ID_FS_LABEL.
std::vector<fs::path> zfsPoolMembers(const std::string& root, std::string_view pool) {
  std::vector<fs::path> members;
  const std::string data = underRoot(root, "run/udev/data");
  for (const std::string& entry : folderEntries(data).value_or(std::vector<std::string>{})) {
    if (!entry.starts_with('b')) continue;  // block devices are "b<major>:<minor>"
    const std::optional<std::string> record = readWholeFile(data + "/" + entry, 64 * 1024);
    if (!record || udevProperty(*record, "ID_FS_TYPE") != "zfs_member" || udevProperty(*record, "ID_FS_LABEL") != pool) {
      continue;
    }
    if (auto folder = resolvedPath(underRoot(root, "sys/dev/block/" + entry.substr(1)))) members.push_back(*folder);
  }
  return members;
}

// The other devices of the btrfs file system that `member` belongs to: sys/fs/btrfs/<uuid>/devices
// holds a link per device, named after it.
std::vector<fs::path> btrfsMembers(const std::string& root, const fs::path& member) {
  const std::string btrfs = underRoot(root, "sys/fs/btrfs");
  const std::string name = member.filename().string();
  for (const std::string& uuid : folderEntries(btrfs).value_or(std::vector<std::string>{})) {
    const std::string devices = btrfs + "/" + uuid + "/devices";
    if (!pathExists(devices + "/" + name)) continue;
    std::vector<fs::path> members;
    for (const std::string& entry : folderEntries(devices).value_or(std::vector<std::string>{})) {
      if (auto folder = resolvedPath(devices + "/" + entry)) members.push_back(*folder);
    }
    return members;
  }
  return {member};
}

// For an overlay mounted at "/" or elsewhere: the mount that holds its upper directory (the
// longest mount point that is a prefix of it), which is where the overlay writes. Nothing when no
// mount other than an overlay holds it.
const MountEntry* overlayHolder(const std::vector<MountEntry>& mounts, const MountEntry& overlay) {
  std::string upper;
  std::string_view options = overlay.superOptions;
  while (!options.empty()) {
    const std::size_t comma = options.find(',');
    const std::string_view option = options.substr(0, comma);
    if (option.starts_with("upperdir=")) upper = std::string(option.substr(9));
    options.remove_prefix(comma == std::string_view::npos ? options.size() : comma + 1);
  }
  if (upper.empty() || !upper.starts_with('/')) return nullptr;
  const MountEntry* holder = nullptr;
  for (const MountEntry& mount : mounts) {
    if (&mount == &overlay) continue;
    const std::string& point = mount.mountPoint;
    const bool contains = point == "/" || upper == point || upper.starts_with(point + "/");
    if (contains && (holder == nullptr || point.size() >= holder->mountPoint.size())) holder = &mount;
  }
  return holder == nullptr || holder->fsType == "overlay" ? nullptr : holder;
}

std::string names(const std::vector<fs::path>& folders) {
  std::string text;
  for (const fs::path& folder : folders) text += (text.empty() ? "" : ", ") + folder.filename().string();
  return text;
}

}  // namespace

std::optional<fs::path> blockDeviceFolder(const std::string& root, std::uint32_t major, std::uint32_t minor) {
  return resolvedPath(underRoot(root, "sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor)));
}

std::optional<fs::path> blockDeviceFolder(const std::string& root, const std::string& name) {
  return resolvedPath(underRoot(root, "sys/class/block/" + name));
}

std::optional<fs::path> blockDeviceFolder(const std::string& root, const MountEntry& mount) {
  if (mount.major != 0) return blockDeviceFolder(root, mount.major, mount.minor);
  if (!mount.source.starts_with("/dev/")) return std::nullopt;
  const std::string name = mount.source.substr(5);
  if (name.find('/') == std::string::npos && !name.empty() && name != "." && name != "..") {
    if (auto folder = blockDeviceFolder(root, name)) return folder;
  }
  if (name.starts_with("mapper/")) {
    const std::string mapped = name.substr(7);
    for (const std::string& entry : folderEntries(underRoot(root, "sys/block")).value_or(std::vector<std::string>{})) {
      if (!entry.starts_with("dm-")) continue;
      if (readAttribute(underRoot(root, "sys/block/" + entry + "/dm/name")) == mapped) {
        return resolvedPath(underRoot(root, "sys/block/" + entry));
      }
    }
  }
  // Another name for a device node (/dev/disk/by-uuid/..., /dev/root): follow it under the root.
  if (const std::optional<fs::path> node = resolvedPath(underRoot(root, mount.source))) {
    const std::string base = node->filename().string();
    if (!base.empty()) return blockDeviceFolder(root, base);
  }
  return std::nullopt;
}

std::optional<std::string> blockDeviceOf(const std::string& root, const MountEntry& mount) {
  const std::optional<fs::path> folder = blockDeviceFolder(root, mount);
  if (!folder) return std::nullopt;
  return folder->filename().string();
}

std::optional<std::string> blockDeviceOfMountPoint(const std::string& root, const std::string& mountPoint) {
  const std::optional<std::vector<MountEntry>> mounts = readMountTable(root);
  if (!mounts) return std::nullopt;
  const MountEntry* found = nullptr;
  for (const MountEntry& mount : *mounts) {
    if (mount.mountPoint == mountPoint) found = &mount;
  }
  if (found == nullptr) return std::nullopt;
  if (found->fsType == "overlay" && found->major == 0) {
    found = overlayHolder(*mounts, *found);
    if (found == nullptr) return std::nullopt;
  }
  return blockDeviceOf(root, *found);
}

std::vector<fs::path> blockDevicesOf(const std::string& root, const MountEntry& mount) {
  std::vector<fs::path> devices;
  if (mount.major == 0 && mount.fsType == "zfs") {
    devices = zfsPoolMembers(root, std::string_view(mount.source).substr(0, mount.source.find('/')));
  } else if (mount.major == 0 && mount.fsType == "bcachefs" && mount.source.find(':') != std::string::npos) {
    // A multi-device bcachefs is mounted from "/dev/sda:/dev/sdb".
    std::string_view sources = mount.source;
    while (!sources.empty()) {
      const std::size_t colon = sources.find(':');
      MountEntry member = mount;
      member.source = std::string(sources.substr(0, colon));
      if (auto folder = blockDeviceFolder(root, member)) devices.push_back(*folder);
      sources.remove_prefix(colon == std::string_view::npos ? sources.size() : colon + 1);
    }
  } else if (std::optional<fs::path> folder = blockDeviceFolder(root, mount)) {
    devices = mount.major == 0 && mount.fsType == "btrfs" ? btrfsMembers(root, *folder) : std::vector{*folder};
  }
  std::sort(devices.begin(), devices.end(),
            [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
  devices.erase(std::unique(devices.begin(), devices.end()), devices.end());
  return devices;
}

std::vector<fs::path> disksUnder(const std::vector<fs::path>& devices) {
  std::vector<fs::path> disks;
  for (const fs::path& device : devices) collectDisks(device, 0, &disks);
  std::sort(disks.begin(), disks.end(), [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
  return disks;
}

MainDisk findMainDisk(const std::string& root) {
  const std::vector<MountEntry> mounts = readMountTable(root).value_or(std::vector<MountEntry>{});
  const MountEntry* mount = nullptr;
  for (const MountEntry& entry : mounts) {
    if (entry.mountPoint == "/") mount = &entry;
  }
  if (mount == nullptr) {
    // No mount table under the root (a bare sysfs tree): the device the root folder lies on.
    struct stat status;
    if (::stat(root.c_str(), &status) != 0) return {std::nullopt, "no main disk: " + root + " cannot be read"};
    const std::string number = std::to_string(major(status.st_dev)) + ":" + std::to_string(minor(status.st_dev));
    const std::optional<fs::path> device = blockDeviceFolder(root, major(status.st_dev), minor(status.st_dev));
    const std::vector<fs::path> disks = device ? disksUnder(*device) : std::vector<fs::path>{};
    if (disks.empty()) return {std::nullopt, "no main disk: no mount table, and device " + number + " is no disk here"};
    return {disks.front(), disks.front().filename().string() + ": holds device " + number + " (no mount table)"};
  }
  std::string what = "/ is " + mount->fsType + " from " + mount->source;
  if (mount->fsType == "overlay" && mount->major == 0) {
    mount = overlayHolder(mounts, *mount);
    if (mount == nullptr) return {std::nullopt, "no main disk: " + what + ", whose upper folder is on no mount here"};
    what += ", whose upper folder is on " + mount->mountPoint + " (" + mount->fsType + " from " + mount->source + ")";
  }
  const std::vector<fs::path> devices = blockDevicesOf(root, *mount);
  const std::vector<fs::path> disks = disksUnder(devices);
  if (disks.empty()) return {std::nullopt, "no main disk: " + what + ", on no block device here"};
  return {disks.front(), disks.front().filename().string() + ": " + what + " on " + names(devices)};
}

std::vector<fs::path> disksUnder(const fs::path& device) {
  std::vector<fs::path> disks;
  collectDisks(device, 0, &disks);
  return disks;
}

}  // namespace trellis::lnx
