#include "platform/linux/io/block_device.h"

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
    // The upper directory is where the overlay writes: the mount that holds it (the longest
    // mount point that is a prefix of it) is the disk this file system lives on.
    std::string upper;
    std::string_view options = found->superOptions;
    while (!options.empty()) {
      const std::size_t comma = options.find(',');
      const std::string_view option = options.substr(0, comma);
      if (option.starts_with("upperdir=")) upper = std::string(option.substr(9));
      options.remove_prefix(comma == std::string_view::npos ? options.size() : comma + 1);
    }
    if (upper.empty() || !upper.starts_with('/')) return std::nullopt;
    const MountEntry* holder = nullptr;
    for (const MountEntry& mount : *mounts) {
      if (&mount == found) continue;
      const std::string& point = mount.mountPoint;
      const bool contains = point == "/" || upper == point || upper.starts_with(point + "/");
      if (contains && (holder == nullptr || point.size() >= holder->mountPoint.size())) holder = &mount;
    }
    if (holder == nullptr || holder->fsType == "overlay") return std::nullopt;
    found = holder;
  }
  return blockDeviceOf(root, *found);
}

std::vector<fs::path> disksUnder(const fs::path& device) {
  std::vector<fs::path> disks;
  collectDisks(device, 0, &disks);
  return disks;
}

}  // namespace trellis::lnx
