// The mountinfo/statvfs/sysfs disk source and its parsers. Sysfs paths are resolved with
// std::filesystem (its errors are taken as error codes, never thrown); small attribute files go
// through io/text_file, which retries EINTR. A source is used from one thread at a time.
#include "platform/linux/metrics/disk_source.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <set>
#include <tuple>
#include <utility>

#include "platform/linux/io/text_file.h"

namespace trellis::lnx {
namespace {

namespace fs = std::filesystem;

// A machine with thousands of mounts (containers, automounts) stays well below this.
constexpr std::size_t kMaxMountInfoSize = 16 * 1024 * 1024;
// Device-mapper and md stacks are a few levels deep; a loop in a damaged tree must end.
constexpr int kMaxStackDepth = 8;
// A /sys/block/<disk>/stat line is about 150 bytes.
constexpr std::size_t kStatReadSize = 512;

constexpr std::array<std::string_view, 12> kNetworkFileSystems = {
    "nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "afs", "ceph", "glusterfs", "fuse.glusterfs", "fuse.sshfs",
    "davfs"};

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isOctal(char c) { return c >= '0' && c <= '7'; }

template <typename T>
std::optional<T> parseDecimal(std::string_view token) {
  if (token.empty() || !std::all_of(token.begin(), token.end(), isDigit)) return std::nullopt;
  T value{};
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (error != std::errc() || end != token.data() + token.size()) return std::nullopt;
  return value;
}

// The kernel escapes space, tab, newline and backslash in mountinfo as a backslash and three
// octal digits; anything else after a backslash is kept as it stands.
std::string unescape(std::string_view field) {
  std::string text;
  text.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) && isOctal(field[i + 2]) &&
        isOctal(field[i + 3])) {
      const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      if (value <= 0xff) {
        text += static_cast<char>(value);
        i += 3;
        continue;
      }
    }
    text += field[i];
  }
  return text;
}

std::vector<std::string_view> splitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  while (!line.empty()) {
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    const std::size_t end = line.find(' ');
    fields.push_back(line.substr(0, end));
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
  }
  return fields;
}

bool isNetworkType(std::string_view type) {
  return std::find(kNetworkFileSystems.begin(), kNetworkFileSystems.end(), type) != kNetworkFileSystems.end();
}

// File systems that report a made-up device number and mount their subvolumes from directories.
bool hasSubvolumes(std::string_view type) { return type == "btrfs" || type == "bcachefs"; }

bool isHiddenPath(std::string_view path) {
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    if (!component.empty() && component.front() == '.') return true;
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
  }
  return false;
}

std::string_view trimmed(std::string_view s) {
  const std::size_t start = s.find_first_not_of(" \t\n\r");
  if (start == std::string_view::npos) return {};
  const std::size_t end = s.find_last_not_of(" \t\n\r");
  return s.substr(start, end - start + 1);
}

// An attribute's text without surrounding blanks; nothing when it cannot be read.
std::optional<std::string> attribute(const fs::path& path) {
  const std::optional<std::string> text = readKernelTextFile(path.string(), 64 * 1024);
  if (!text) return std::nullopt;
  return std::string(trimmed(*text));
}

std::optional<fs::path> resolved(const fs::path& path) {
  std::error_code ec;
  fs::path target = fs::canonical(path, ec);
  if (ec) return std::nullopt;
  return target;
}

bool pathExists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// The entries of a folder sorted by name; empty when it cannot be listed.
std::optional<std::vector<std::string>> folderEntries(const fs::path& folder) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return std::nullopt;
  std::vector<std::string> names;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return std::nullopt;
    names.push_back(it->path().filename().string());
  }
  if (ec) return std::nullopt;
  std::sort(names.begin(), names.end());
  return names;
}

// The part of a resolved sysfs path below sys/devices ("pci0000:00/.../block/sda"), or the whole
// path when it does not lie there.
std::string devicesPart(const std::string& sysDevices, const fs::path& device) {
  const std::string text = device.string();
  if (text.starts_with(sysDevices)) return text.substr(sysDevices.size());
  return text;
}

bool isVirtualDevice(const std::string& sysDevices, const fs::path& device) {
  const std::string part = devicesPart(sysDevices, device);
  // Native NVMe multipath puts every namespace under a virtual subsystem device; the namespace
  // is still a physical disk.
  return part.starts_with("virtual/") && !part.starts_with("virtual/nvme-subsystem/");
}

// True when a component of the device path is a USB bus ("usb1") or FireWire node ("fw0").
bool onExternalBus(const std::string& sysDevices, const fs::path& device) {
  for (const fs::path& component : fs::path(devicesPart(sysDevices, device))) {
    const std::string name = component.string();
    for (std::string_view prefix : {"usb", "fw"}) {
      if (name.size() > prefix.size() && name.starts_with(prefix) && isDigit(name[prefix.size()])) return true;
    }
  }
  return false;
}

// The physical disks under a block device: up from a partition to its disk, then down through
// the slaves of device-mapper and md devices (in name order).
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
    if (const std::optional<fs::path> next = resolved(disk / "slaves" / slave)) collectDisks(*next, depth + 1, disks);
  }
}

std::string joinUnderRoot(const std::string& root, std::string_view absolute) {
  while (!absolute.empty() && absolute.front() == '/') absolute.remove_prefix(1);
  return root + std::string(absolute);
}

std::string withTrailingSlash(std::string root) {
  if (root.empty() || root.back() != '/') root += '/';
  return root;
}

// The resolved sysfs folder of the device that holds `mount`.
std::optional<fs::path> deviceFolder(const std::string& root, const MountEntry& mount) {
  if (mount.major != 0) {
    return resolved(joinUnderRoot(root, "sys/dev/block/" + std::to_string(mount.major) + ":" +
                                            std::to_string(mount.minor)));
  }
  if (!mount.source.starts_with("/dev/")) return std::nullopt;
  const std::string name = mount.source.substr(5);
  if (name.find('/') == std::string::npos && !name.empty() && name != "." && name != "..") {
    if (auto folder = resolved(joinUnderRoot(root, "sys/class/block/" + name))) return folder;
  }
  if (name.starts_with("mapper/")) {
    const std::string mapped = name.substr(7);
    for (const std::string& entry : folderEntries(joinUnderRoot(root, "sys/block")).value_or(std::vector<std::string>{})) {
      if (!entry.starts_with("dm-")) continue;
      if (attribute(joinUnderRoot(root, "sys/block/" + entry + "/dm/name")) == mapped) {
        return resolved(joinUnderRoot(root, "sys/block/" + entry));
      }
    }
  }
  // Another name for a device node (/dev/disk/by-uuid/..., /dev/root): follow it under the root.
  if (const std::optional<fs::path> node = resolved(joinUnderRoot(root, mount.source))) {
    const std::string base = node->filename().string();
    if (!base.empty()) return resolved(joinUnderRoot(root, "sys/class/block/" + base));
  }
  return std::nullopt;
}

bool hasOption(std::string_view options, std::string_view option) {
  while (!options.empty()) {
    const std::size_t comma = options.find(',');
    if (options.substr(0, comma) == option) return true;
    options.remove_prefix(comma == std::string_view::npos ? options.size() : comma + 1);
  }
  return false;
}

std::optional<VolumeCapacity> statvfsCapacity(const std::string& path) {
  struct statvfs status;
  int result;
  do {
    result = ::statvfs(path.c_str(), &status);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return std::nullopt;
  const std::uint64_t unit = status.f_frsize != 0 ? status.f_frsize : status.f_bsize;
  return VolumeCapacity{static_cast<std::uint64_t>(status.f_blocks) * unit,
                        static_cast<std::uint64_t>(status.f_bavail) * unit};
}

std::optional<std::vector<MountEntry>> readMountInfo(const std::string& root) {
  const std::optional<std::string> text =
      readKernelTextFile(joinUnderRoot(root, "proc/self/mountinfo"), kMaxMountInfoSize);
  if (!text) return std::nullopt;
  return parseMountInfo(*text);
}

}  // namespace

std::vector<MountEntry> parseMountInfo(std::string_view text) {
  std::vector<MountEntry> entries;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) break;  // a line cut short
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);

    const std::vector<std::string_view> fields = splitFields(line);
    if (fields.size() < 10) continue;
    if (!parseDecimal<std::uint32_t>(fields[0]) || !parseDecimal<std::uint32_t>(fields[1])) continue;
    const std::size_t colon = fields[2].find(':');
    if (colon == std::string_view::npos) continue;
    const auto major = parseDecimal<std::uint32_t>(fields[2].substr(0, colon));
    const auto minor = parseDecimal<std::uint32_t>(fields[2].substr(colon + 1));
    if (!major || !minor) continue;
    std::size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") ++separator;
    if (separator + 2 >= fields.size()) continue;

    MountEntry entry;
    entry.major = *major;
    entry.minor = *minor;
    entry.root = unescape(fields[3]);
    entry.mountPoint = unescape(fields[4]);
    entry.options = std::string(fields[5]);
    entry.fsType = unescape(fields[separator + 1]);
    entry.source = unescape(fields[separator + 2]);
    if (separator + 3 < fields.size()) entry.superOptions = unescape(fields[separator + 3]);
    if (!entry.root.starts_with('/') || !entry.mountPoint.starts_with('/')) continue;
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<MountedVolume> selectVolumes(const std::vector<MountEntry>& mounts) {
  // A mount is hidden when a later one sits on the same mount point: walk backwards once.
  std::vector<bool> covered(mounts.size(), false);
  std::set<std::string_view> later;
  for (std::size_t i = mounts.size(); i-- > 0;) covered[i] = !later.insert(mounts[i].mountPoint).second;

  std::vector<MountedVolume> volumes;
  std::set<std::tuple<std::uint32_t, std::uint32_t, std::string>> seen;
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    const MountEntry& mount = mounts[i];
    if (covered[i] || isHiddenPath(mount.mountPoint)) continue;

    const bool network = isNetworkType(mount.fsType);
    bool block = false;
    if (!network) {
      if (mount.major == 0) {
        block = hasSubvolumes(mount.fsType) && mount.source.starts_with("/dev/");
      } else {
        block = mount.major != 1 && mount.major != 7;
      }
      if (!block) continue;
      if (mount.root != "/" && !hasSubvolumes(mount.fsType)) continue;
    }
    if (!seen.emplace(mount.major, mount.minor, mount.root).second) continue;
    volumes.push_back({mount, network});
  }
  return volumes;
}

std::optional<DriverCounters> parseBlockStat(std::string_view text) {
  const std::vector<std::string_view> fields = splitFields(trimmed(text));
  if (fields.size() < 7) return std::nullopt;
  std::array<std::uint64_t, 7> values{};
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::optional<std::uint64_t> value = parseDecimal<std::uint64_t>(fields[i]);
    if (!value) return std::nullopt;
    values[i] = *value;
  }
  return DriverCounters{values[2] * 512, values[6] * 512};
}

std::optional<std::string> blockDeviceOf(const std::string& root, const MountEntry& mount) {
  const std::optional<fs::path> folder = deviceFolder(withTrailingSlash(root), mount);
  if (!folder) return std::nullopt;
  return folder->filename().string();
}

std::optional<std::string> blockDeviceOfMountPoint(const std::string& root, const std::string& mountPoint) {
  const std::optional<std::vector<MountEntry>> mounts = readMountInfo(withTrailingSlash(root));
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

LinuxDiskSource::LinuxDiskSource(std::string root, StatFunction statFunction)
    : root_(withTrailingSlash(std::move(root))), stat_(std::move(statFunction)) {
  if (!stat_) stat_ = statvfsCapacity;
}

LinuxDiskSource::~LinuxDiskSource() {
  for (Driver& driver : drivers_) closeKernelTextFile(driver.fd);
}

std::optional<std::vector<std::string>> LinuxDiskSource::volumeNames() {
  std::optional<std::vector<MountEntry>> mounts = readMountInfo(root_);
  if (!mounts) {
    listing_.clear();
    return std::nullopt;
  }
  listing_ = selectVolumes(*mounts);
  std::vector<std::string> names;
  names.reserve(listing_.size());
  for (const MountedVolume& volume : listing_) names.push_back(volume.mount.mountPoint);
  return names;
}

std::optional<VolumeCapacity> LinuxDiskSource::capacity(const std::string& entry) {
  return stat_(joinUnderRoot(root_, entry.empty() ? "/" : entry));
}

std::optional<VolumeDescription> LinuxDiskSource::describe(const std::string& entry) {
  const auto it = std::find_if(listing_.begin(), listing_.end(),
                               [&](const MountedVolume& volume) { return volume.mount.mountPoint == entry; });
  if (it == listing_.end()) return std::nullopt;
  const MountEntry& mount = it->mount;

  VolumeDescription description;
  description.volumeName = mount.mountPoint;
  description.kind = mount.fsType;
  if (it->network) {
    description.network = true;
    description.writable = hasOption(mount.options, "rw");
    return description;
  }

  const std::optional<fs::path> device = deviceFolder(root_, mount);
  if (!device) return std::nullopt;
  std::vector<fs::path> disks;
  collectDisks(*device, 0, &disks);
  if (disks.empty()) return std::nullopt;

  const std::string sysDevices = resolved(joinUnderRoot(root_, "sys/devices")).value_or(fs::path()).string() + "/";
  description.writable = attribute(*device / "ro") == "0";
  description.internal = true;
  for (const fs::path& disk : disks) {
    if (attribute(disk / "ro") != "0") description.writable = false;
    if (attribute(disk / "removable") == "1" || attribute(disk / "device/type") == "SD") description.removable = true;
    if (onExternalBus(sysDevices, disk) || isVirtualDevice(sysDevices, disk)) description.internal = false;
  }
  for (const char* file : {"device/model", "device/name"}) {
    if (std::optional<std::string> model = attribute(disks.front() / file); model && !model->empty()) {
      description.model = std::move(*model);
      break;
    }
  }
  return description;
}

std::optional<std::vector<DriverHandle>> LinuxDiskSource::matchDrivers() {
  const std::optional<std::vector<std::string>> names = folderEntries(root_ + "sys/block");
  if (!names) return std::nullopt;
  const std::string sysDevices = resolved(root_ + "sys/devices").value_or(fs::path()).string() + "/";
  std::vector<DriverHandle> handles;
  for (const std::string& name : *names) {
    const std::optional<fs::path> device = resolved(root_ + "sys/block/" + name);
    if (!device || isVirtualDevice(sysDevices, *device)) continue;
    const int fd = openKernelTextFile((*device / "stat").string());
    if (fd < 0) continue;
    // A slot given back earlier is used again, so that matching many times does not grow the table.
    auto slot = std::find_if(drivers_.begin(), drivers_.end(), [](const Driver& d) { return d.fd < 0; });
    if (slot == drivers_.end()) slot = drivers_.insert(drivers_.end(), Driver{});
    *slot = Driver{name, fd};
    handles.push_back(static_cast<DriverHandle>(slot - drivers_.begin() + 1));
  }
  return handles;
}

std::optional<DriverCounters> LinuxDiskSource::driverCounters(DriverHandle driver) {
  if (driver == 0 || driver > drivers_.size() || drivers_[driver - 1].fd < 0) return std::nullopt;
  const std::optional<std::string> text = rereadKernelTextFile(drivers_[driver - 1].fd, kStatReadSize);
  if (!text) return std::nullopt;
  // A stat file that reads but is not the kernel's line counts as a driver without statistics.
  return parseBlockStat(*text).value_or(DriverCounters{});
}

void LinuxDiskSource::releaseDriver(DriverHandle driver) {
  if (driver == 0 || driver > drivers_.size()) return;
  closeKernelTextFile(drivers_[driver - 1].fd);
  drivers_[driver - 1].fd = -1;
}

std::string LinuxDiskSource::driverName(DriverHandle driver) const {
  if (driver == 0 || driver > drivers_.size()) return {};
  return drivers_[driver - 1].name;
}

}  // namespace trellis::lnx

