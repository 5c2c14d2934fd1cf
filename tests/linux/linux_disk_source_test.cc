// Tests of the Linux disk source on the committed machines under tests/fixtures/disks/ (a laptop
// with NVMe, a USB stick, an SD card, snaps and network shares; btrfs on LVM with an internal DVD
// drive; a container with an overlay root), the mountinfo and block-stat parsers fed every
// truncation and kinds of damage, the disk collector over the source, and this machine's "/".
#include "platform/linux/metrics/disk_source.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "metrics/disk_info.h"
#include "platform/linux/io/block_device.h"
#include "platform/linux/sensors/hwmon_smc.h"

namespace trellis::lnx {
namespace {

namespace fs = std::filesystem;

std::string machine(const std::string& name) { return std::string(TRELLIS_TEST_FIXTURES) + "/disks/" + name; }

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Capacities by mount point, as statvfs would give them under the fixture's root.
LinuxDiskSource::StatFunction capacities(std::string root, std::map<std::string, VolumeCapacity> table) {
  return [root = std::move(root) + "/", table = std::move(table)](const std::string& path) -> std::optional<VolumeCapacity> {
    const auto it = table.find("/" + path.substr(root.size()));
    if (it == table.end()) return std::nullopt;
    return it->second;
  };
}

std::vector<std::string> driverNames(LinuxDiskSource& source, const std::vector<DriverHandle>& handles) {
  std::vector<std::string> names;
  for (DriverHandle handle : handles) names.push_back(source.driverName(handle));
  return names;
}

VolumeDescription D(std::string name, std::string model, std::string kind, bool internal, bool writable,
                    bool removable, bool network = false) {
  return {std::move(name), std::move(model), std::move(kind), internal, writable, removable, network};
}

TEST(LinuxDiskSourceTest, LaptopVolumesAndDrivers) {
  LinuxDiskSource source(machine("laptop"));
  // Left out: pseudo file systems, the snap's loop device, the second mount of "/" and the bind
  // of /srv/www, the hidden /home/ann/.private, and /media/ann/old under the tmpfs over it.
  ASSERT_EQ(source.volumeNames(), (std::vector<std::string>{"/", "/boot/efi", "/mnt/share", "/media/ann/MY STICK",
                                                            "/media/ann/CARD", "/mnt/nas"}));
  const std::map<std::string, VolumeDescription> expected = {
      {"/", D("/", "Samsung SSD 980 PRO 1TB", "ext4", true, true, false)},
      {"/boot/efi", D("/boot/efi", "Samsung SSD 980 PRO 1TB", "vfat", true, true, false)},
      {"/mnt/share", D("/mnt/share", "", "nfs4", false, true, false, true)},
      {"/media/ann/MY STICK", D("/media/ann/MY STICK", "Flash Drive", "vfat", false, true, true)},
      // The card reader is built in, but an SD card is removable whatever sysfs says.
      {"/media/ann/CARD", D("/media/ann/CARD", "SD64G", "exfat", true, true, true)},
      {"/mnt/nas", D("/mnt/nas", "", "cifs", false, false, false, true)},
  };
  for (const auto& [entry, description] : expected) EXPECT_EQ(source.describe(entry), description) << entry;
  EXPECT_EQ(source.describe("/proc"), std::nullopt);

  // Whole physical disks only: loop0 and zram0 are virtual; the NVMe namespace under its
  // multipath subsystem is not.
  const auto handles = source.matchDrivers();
  ASSERT_TRUE(handles);
  EXPECT_EQ(driverNames(source, *handles), (std::vector<std::string>{"mmcblk0", "nvme0n1", "sdb"}));
  EXPECT_EQ(source.driverCounters((*handles)[0]), (DriverCounters{800 * 512, 0}));
  EXPECT_EQ(source.driverCounters((*handles)[1]), (DriverCounters{8633362ull * 512, 59115112ull * 512}));
  source.releaseDriver((*handles)[1]);
  EXPECT_EQ(source.driverCounters((*handles)[1]), std::nullopt);
  EXPECT_EQ(source.driverCounters(0), std::nullopt);
  EXPECT_EQ(source.driverCounters(99), std::nullopt);
  const auto again = source.matchDrivers();
  EXPECT_EQ(again->front(), (*handles)[1]) << "a given-back slot is used again";
}

TEST(LinuxDiskSourceTest, BtrfsOnLvmWithAnInternalDvdDrive) {
  LinuxDiskSource source(machine("btrfs-lvm"));
  // Subvolumes are volumes; /.snapshots is hidden, /mnt/again mounts "/@" a second time, the
  // overlay is no device.
  ASSERT_EQ(source.volumeNames(), (std::vector<std::string>{"/", "/home", "/media/bob/DVD"}));
  // Found by the device-mapper name of its source, down to the SATA disk under the volume group.
  EXPECT_EQ(source.describe("/"), D("/", "Samsung SSD 860 EVO 500GB", "btrfs", true, true, false));
  EXPECT_EQ(source.describe("/media/bob/DVD"), D("/media/bob/DVD", "DVD+-RW GU90N", "iso9660", true, false, true));
  const auto handles = source.matchDrivers();
  EXPECT_EQ(driverNames(source, *handles), (std::vector<std::string>{"sda", "sr0"}));
  EXPECT_EQ(blockDeviceOfMountPoint(machine("btrfs-lvm"), "/"), "dm-0");
  EXPECT_EQ(blockDeviceOfMountPoint(machine("btrfs-lvm"), "/media/bob/DVD"), "sr0");
  EXPECT_EQ(blockDeviceOfMountPoint(machine("btrfs-lvm"), "/nowhere"), std::nullopt);
}

TEST(LinuxDiskSourceTest, CollectorOnTheLaptopPicksTheRootAndNotTheStickOrCard) {
  const std::string root = machine("laptop");
  LinuxDiskSource source(root, capacities(root, {{"/", {1'000'000, 400'000}},
                                                 {"/media/ann/MY STICK", {64'000, 1'000}},
                                                 {"/media/ann/CARD", {128'000, 2'000}},
                                                 {"/mnt/nas", {9, 9}}}));
  double reading = 38.5;
  DiskInfo disk(source, [&](double* out) {
    *out = reading;
    return 0;
  });
  ASSERT_EQ(disk.list().size(), 4u) << "volumes whose capacity cannot be asked are left out";
  EXPECT_EQ(disk.getMainDisk()->name(), "/");
  EXPECT_EQ(disk.getMainDisk()->total(), 1'000'000u);
  EXPECT_FALSE(disk.list()[1]->isMain()) << "USB stick";
  EXPECT_FALSE(disk.list()[2]->isMain()) << "SD card";
  EXPECT_TRUE(disk.list()[3]->isNetwork());
  EXPECT_EQ(disk.getMainDisk()->temperature(), 0.0f);
  disk.reloadInfo();
  EXPECT_EQ(disk.getMainDisk()->temperature(), 38.5f);
  EXPECT_EQ(disk.list()[1]->temperature(), 38.5f);

  std::uint64_t read = 0;
  disk.getReadAndWriteBytesWithHandler([&](std::uint64_t r, std::uint64_t) { read = r; });
  EXPECT_EQ(read, (800 + 8633362ull + 2048) * 512);
}

TEST(LinuxDiskSourceTest, ContainerWithOverlayRootHasNoMainDisk) {
  const std::string root = machine("container");
  LinuxDiskSource source(root, capacities(root, {{"/media/stick", {10, 5}}, {"/etc/hosts", {10, 5}}}));
  DiskInfo disk(source, [](double* out) {
    *out = 40.0;
    return 0;
  });
  // The host's files bound in (/etc/hosts, ...) are parts of a file system, not volumes.
  ASSERT_EQ(disk.list().size(), 1u);
  EXPECT_EQ(disk.list()[0]->name(), "/media/stick");
  EXPECT_EQ(disk.getMainDisk(), nullptr);
  EXPECT_EQ(blockDeviceOfMountPoint(root, "/"), std::nullopt) << "the overlay's upper folder is not mounted here";
}

TEST(LinuxDiskSourceTest, OverlayRootIsFollowedToTheDiskOfItsUpperFolder) {
  std::string pattern = (fs::temp_directory_path() / "trellis-disks-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path root = pattern;
  fs::create_directories(root / "proc/self");
  fs::create_symlink(fs::path(machine("btrfs-lvm")) / "sys", root / "sys");
  std::ofstream(root / "proc/self/mountinfo")
      << "1 0 8:1 / /live rw - ext4 /dev/sda1 rw\n"
         "2 0 0:40 / / rw - overlay overlay rw,lowerdir=/ro,upperdir=/live/cow/upper,workdir=/live/cow/work\n";
  EXPECT_EQ(blockDeviceOfMountPoint(root.string(), "/"), "sda1");
  std::error_code ec;
  fs::remove_all(root, ec);
}

TEST(LinuxDiskSourceTest, HwmonFindsTheDiskTemperatureOfABtrfsRootThroughTheMountTable) {
  // The btrfs root's device number (0:31) is no block device's: only the mount table leads from
  // "/" through /dev/mapper/vg-root and dm-0 down to sda and its drivetemp sensor. (A machine
  // whose own root has a device number the fixture also has would find a disk by number first.)
  auto smc = HwmonSmc::open(machine("btrfs-lvm"));
  ASSERT_NE(smc, nullptr);
  const auto sources = smc->sources();
  const auto disk = std::find_if(sources.begin(), sources.end(), [](const HwmonKeySource& s) { return s.key == "TH0x"; });
  ASSERT_NE(disk, sources.end());
  EXPECT_EQ(disk->source, "drivetemp (sda)");
}

// --- Parsers -----------------------------------------------------------------------------------

TEST(MountInfoTest, FieldsEscapesAndDamagedLines) {
  const std::vector<MountEntry> entries = parseMountInfo(
      "36 35 98:0 /mnt1 /mnt\\0402\\134x rw,noatime master:1 shared:2 - ext3 /dev/root rw,errors=continue\n"
      "37 35 8:1 / /a rw - ext4 /dev/sda1 rw\n"
      "38 35 8:1 / /b rw shared:1 ext4 /dev/sda1 rw\n"          // no separator
      "39 35 8:x / /c rw - ext4 /dev/sda1 rw\n"                 // device number
      "40 35 8:1 / relative rw - ext4 /dev/sda1 rw\n"           // mount point not absolute
      "41 35 4294967296:1 / /d rw - ext4 /dev/sda1 rw\n"        // major beyond 32 bits
      "42 35 8:1 / /e rw -\n"                                   // cut after the separator
      "43 35 8:2 /  /f   rw   -   xfs   /dev/sda2   rw\n"       // runs of blanks
      "44 35 8:3 / /g rw - ext4 /dev/sda3 rw");                 // no line end: cut short
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], (MountEntry{98, 0, "/mnt1", "/mnt 2\\x", "rw,noatime", "ext3", "/dev/root", "rw,errors=continue"}));
  EXPECT_EQ(entries[1].mountPoint, "/a");
  EXPECT_EQ(entries[2], (MountEntry{8, 2, "/", "/f", "rw", "xfs", "/dev/sda2", "rw"}));
}

TEST(MountInfoTest, EveryTruncationGivesTheCompleteLinesOnly) {
  const std::string text = readText(machine("laptop") + "/proc/self/mountinfo");
  const std::vector<MountEntry> whole = parseMountInfo(text);
  ASSERT_EQ(whole.size(), 17u);
  std::size_t lines = 0;
  for (std::size_t length = 0; length <= text.size(); ++length) {
    if (length > 0 && text[length - 1] == '\n') ++lines;
    const std::vector<MountEntry> part = parseMountInfo(std::string_view(text.data(), length));
    ASSERT_EQ(part, std::vector<MountEntry>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(lines)))
        << "at length " << length;
  }
}

TEST(MountInfoTest, SelectionRules) {
  const auto selected = [](const char* text) {
    std::vector<std::string> points;
    for (const MountedVolume& volume : selectVolumes(parseMountInfo(text))) {
      points.push_back(volume.mount.mountPoint + (volume.network ? " (network)" : ""));
    }
    return points;
  };
  EXPECT_EQ(selected("1 0 8:1 / /data rw - ext4 /dev/sda1 rw\n"
                     "2 0 8:1 / /again rw - ext4 /dev/sda1 rw\n"          // the same device again
                     "3 0 8:2 / /x rw - ext4 /dev/sda2 rw\n"
                     "4 0 0:9 / /x rw - tmpfs tmpfs rw\n"                 // hides /x
                     "5 0 1:0 / /ram rw - ext2 /dev/ram0 rw\n"
                     "6 0 7:3 / /img rw - ext4 /dev/loop3 rw\n"
                     "7 0 0:31 / /pool rw - btrfs pool rw\n"              // btrfs without a /dev source
                     "8 0 0:44 / /srv rw - nfs4 a:/x rw\n"
                     "9 0 0:44 / /srv2 rw - nfs4 a:/x rw\n"               // the same share again
                     "10 0 0:45 /sub /sub rw - cifs //b/y rw\n"
                     "11 0 0:46 / /home/u/.gvfs rw - fuse.sshfs u@h:/ rw\n"
                     "12 0 0:47 / /remote rw - fuse.sshfs u@h:/ rw\n"),
            (std::vector<std::string>{"/data", "/srv (network)", "/sub (network)", "/remote (network)"}));
}

TEST(BlockStatTest, SectorsBecomeBytes) {
  EXPECT_EQ(parseBlockStat("  1 2 3 4 5 6 7 8 9 10 11\n"), (DriverCounters{3 * 512, 7 * 512}));
  EXPECT_EQ(parseBlockStat("1 2 3 4 5 6 7"), (DriverCounters{3 * 512, 7 * 512}));
  EXPECT_EQ(parseBlockStat("0 0 36028797018963968 0 0 0 1 0"), (DriverCounters{0, 512})) << "2^55 sectors wrap";
  EXPECT_EQ(parseBlockStat("1 2 3 4 5 6"), std::nullopt);
  EXPECT_EQ(parseBlockStat("1 2 3 4 5 6 x 8"), std::nullopt);
  EXPECT_EQ(parseBlockStat("1 2 -3 4 5 6 7 8"), std::nullopt);
  EXPECT_EQ(parseBlockStat("1 2 18446744073709551616 4 5 6 7"), std::nullopt);
  EXPECT_EQ(parseBlockStat(""), std::nullopt);
}

// --- This machine ------------------------------------------------------------------------------

TEST(LinuxDiskSourceTest, ThisMachinesRootIsItsMainDiskWithStatvfsCapacities) {
  const std::vector<MountEntry> mounts = parseMountInfo(readText("/proc/self/mountinfo"));
  const MountedVolume* rootVolume = nullptr;
  const std::vector<MountedVolume> volumes = selectVolumes(mounts);
  for (const MountedVolume& volume : volumes) {
    if (volume.mount.mountPoint == "/") rootVolume = &volume;
  }
  if (rootVolume == nullptr || rootVolume->network) GTEST_SKIP() << "/ is not on a block device here";
  if (!blockDeviceOf("/", rootVolume->mount)) GTEST_SKIP() << "/'s device is not in /sys here";

  LinuxDiskSource source;
  DiskInfo disk(source, [](double*) { return -1; });
  const std::shared_ptr<DiskModel> main = disk.getMainDisk();
  ASSERT_NE(main, nullptr);
  struct statvfs status {};
  ASSERT_EQ(::statvfs("/", &status), 0);
  EXPECT_EQ(main->name(), "/");
  EXPECT_EQ(main->total(), static_cast<std::uint64_t>(status.f_blocks) * status.f_frsize);
  EXPECT_EQ(main->kind(), rootVolume->mount.fsType);
}

}  // namespace
}  // namespace trellis::lnx
