// The mountinfo/statvfs/sysfs disk source and its parsers. Sysfs paths are resolved with
// std::filesystem (its errors are taken as error codes, never thrown) and small attribute files
// read, through the io/ helpers. A source is used from one thread at a time.
#include "platform/linux/metrics/disk_source.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>

#include "platform/linux/io/block_device.h"
#include "platform/linux/io/eintr.h"
#include "platform/linux/io/file_contents.h"
#include "platform/linux/io/paths.h"
#include "platform/linux/io/text_parsing.h"

namespace trellis::lnx {
namespace {

namespace fs = std::filesystem;

// A /sys/block/<disk>/stat line is about 150 bytes.
constexpr std::size_t kStatReadSize = 512;

constexpr std::array<std::string_view, 12> kNetworkFileSystems = {
    "nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "afs", "ceph", "glusterfs", "fuse.glusterfs", "fuse.sshfs",
    "davfs"};

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

bool hasOption(std::string_view options, std::string_view option) {
  while (!options.empty()) {
    const std::size_t comma = options.find(',');
    if (options.substr(0, comma) == option) return true;
    options.remove_prefix(comma == std::string_view::npos ? options.size() : comma + 1);
  }
  return false;
}

// A file system whose statvfs may wait on another machine or process for as long as that one does
// not answer: a hard-mounted NFS share whose server is gone, a FUSE daemon that hangs.
bool mayHang(const MountedVolume& volume) { return volume.network || volume.mount.fsType.starts_with("fuse"); }

std::optional<VolumeCapacity> statvfsCapacity(const std::string& path) {
  struct statvfs status;
  if (retryOnEintr([&] { return ::statvfs(path.c_str(), &status); }) != 0) return std::nullopt;
  const std::uint64_t unit = status.f_frsize != 0 ? status.f_frsize : status.f_bsize;
  return VolumeCapacity{static_cast<std::uint64_t>(status.f_blocks) * unit,
                        static_cast<std::uint64_t>(status.f_bavail) * unit};
}

}  // namespace

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
        block = (hasSubvolumes(mount.fsType) && mount.source.starts_with("/dev/")) || mount.fsType == "zfs";
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
    const std::optional<std::uint64_t> value = parseInteger<std::uint64_t>(fields[i]);
    if (!value) return std::nullopt;
    values[i] = *value;
  }
  return DriverCounters{values[2] * 512, values[6] * 512};
}

// A capacity asked on a thread of its own. The thread may outlive the source (it may never come
// back), so what it reports to lives here, shared.
struct LinuxDiskSource::SlowVolume {
  std::mutex mutex;
  std::condition_variable answered;
  bool asking = false;                       // a thread is in the stat function
  std::optional<VolumeCapacity> answer;      // its last answer (nothing: the stat failed)
  std::optional<VolumeCapacity> lastFigure;  // the last capacity read
};

LinuxDiskSource::LinuxDiskSource(std::string root, StatFunction statFunction)
    : root_(std::move(root)), stat_(std::move(statFunction)), mountTable_(root_) {
  if (!stat_) stat_ = statvfsCapacity;
}

LinuxDiskSource::~LinuxDiskSource() {
  for (Driver& driver : drivers_) closeFile(driver.fd);
}

bool LinuxDiskSource::update() {
  if (!mountTable_.refresh()) return false;
  listing_.clear();
  names_.clear();
  if (!mountTable_.entries()) return true;
  if (*mountTable_.entries() != mounts_) {
    mounts_ = *mountTable_.entries();
    undescribable_.clear();
  }
  listing_ = selectVolumes(mounts_);
  names_.reserve(listing_.size());
  for (const MountedVolume& volume : listing_) names_.push_back(volume.mount.mountPoint);
  std::erase_if(slow_, [this](const auto& slow) {
    return std::find(names_.begin(), names_.end(), slow.first) == names_.end();
  });
  return true;
}

std::optional<std::vector<std::string>> LinuxDiskSource::volumeNames() {
  slowBudgetEnd_.reset();
  update();
  if (!mountTable_.entries()) return std::nullopt;
  return names_;
}

bool LinuxDiskSource::volumesMayHaveChanged() {
  slowBudgetEnd_.reset();  // the capacities asked for next share a new wait
  return update() || !mountTable_.entries();
}

std::optional<VolumeCapacity> LinuxDiskSource::capacity(const std::string& entry) {
  const std::string path = underRoot(root_, entry.empty() ? "/" : entry);
  const auto volume = std::find_if(listing_.begin(), listing_.end(),
                                   [&](const MountedVolume& v) { return v.mount.mountPoint == entry; });
  if (volume == listing_.end() || !mayHang(*volume)) return stat_(path);

  std::shared_ptr<SlowVolume>& slot = slow_[entry];
  if (!slot) slot = std::make_shared<SlowVolume>();
  std::unique_lock<std::mutex> lock(slot->mutex);
  if (!slot->asking) {
    slot->asking = true;
    try {
      std::thread([slow = slot, stat = stat_, path] {
        std::optional<VolumeCapacity> answer = stat(path);
        const std::lock_guard<std::mutex> lock(slow->mutex);
        slow->answer = answer;
        if (answer) slow->lastFigure = answer;
        slow->asking = false;
        slow->answered.notify_all();
      }).detach();
    } catch (const std::system_error&) {
      slot->asking = false;  // no thread to be had: asked again next time
      return std::nullopt;
    }
    // Every volume of one listing shares the wait: a cycle never waits longer than that in all.
    if (!slowBudgetEnd_) slowBudgetEnd_ = std::chrono::steady_clock::now() + kSlowVolumeWait;
    if (slot->answered.wait_until(lock, *slowBudgetEnd_, [&] { return !slot->asking; })) return slot->answer;
  }
  if (!slot->lastFigure) return std::nullopt;
  VolumeCapacity stale = *slot->lastFigure;
  stale.stale = true;
  return stale;
}

std::optional<VolumeDescription> LinuxDiskSource::describe(const std::string& entry) {
  const auto it = std::find_if(listing_.begin(), listing_.end(),
                               [&](const MountedVolume& volume) { return volume.mount.mountPoint == entry; });
  if (it == listing_.end() || undescribable_.contains(entry)) return std::nullopt;
  std::optional<VolumeDescription> description = describeVolume(*it);
  if (!description) undescribable_.insert(entry);
  return description;
}

std::optional<VolumeDescription> LinuxDiskSource::describeVolume(const MountedVolume& volume) const {
  const MountEntry& mount = volume.mount;

  VolumeDescription description;
  description.volumeName = mount.mountPoint;
  description.kind = mount.fsType;
  if (volume.network) {
    description.network = true;
    description.writable = hasOption(mount.options, "rw");
    return description;
  }

  const std::vector<fs::path> devices = blockDevicesOf(root_, mount);
  const std::vector<fs::path> disks = disksUnder(devices);
  if (disks.empty()) return std::nullopt;

  const std::string sysDevices = resolvedPath(underRoot(root_, "sys/devices")).value_or(fs::path()).string() + "/";
  description.writable = std::all_of(devices.begin(), devices.end(),
                                     [](const fs::path& device) { return readAttribute(device / "ro") == "0"; });
  description.internal = true;
  for (const fs::path& disk : disks) {
    if (readAttribute(disk / "ro") != "0") description.writable = false;
    if (readAttribute(disk / "removable") == "1" || readAttribute(disk / "device/type") == "SD") {
      description.removable = true;
    }
    if (onExternalBus(sysDevices, disk) || isVirtualDevice(sysDevices, disk)) description.internal = false;
  }
  for (const char* file : {"device/model", "device/name"}) {
    if (std::optional<std::string> model = readAttribute(disks.front() / file); model && !model->empty()) {
      description.model = std::move(*model);
      break;
    }
  }
  return description;
}

std::optional<std::vector<DriverHandle>> LinuxDiskSource::matchDrivers() {
  const std::optional<std::vector<std::string>> names = folderEntries(underRoot(root_, "sys/block"));
  if (!names) return std::nullopt;
  const std::string sysDevices = resolvedPath(underRoot(root_, "sys/devices")).value_or(fs::path()).string() + "/";
  std::vector<DriverHandle> handles;
  for (const std::string& name : *names) {
    const std::optional<fs::path> device = resolvedPath(underRoot(root_, "sys/block/" + name));
    if (!device || isVirtualDevice(sysDevices, *device)) continue;
    const int fd = openForReading(*device / "stat");
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
  const std::optional<std::string> text = readFromStart(drivers_[driver - 1].fd, kStatReadSize);
  if (!text) return std::nullopt;
  // A stat file that reads but is not the kernel's line counts as a driver without statistics.
  return parseBlockStat(*text).value_or(DriverCounters{});
}

void LinuxDiskSource::releaseDriver(DriverHandle driver) {
  if (driver == 0 || driver > drivers_.size()) return;
  closeFile(drivers_[driver - 1].fd);
  drivers_[driver - 1].fd = -1;
}

std::string LinuxDiskSource::driverName(DriverHandle driver) const {
  if (driver == 0 || driver > drivers_.size()) return {};
  return drivers_[driver - 1].name;
}

}  // namespace trellis::lnx

