// The Linux metric sources on committed machines under tests/fixtures/ and trees built here (disks,
// network with and without NetworkManager, CPU), their parsers fed every truncation, and the
// public-address lookup against a local HTTPS server (tests/support/https_reply_server.py).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "metrics/disk_info.h"
#include "metrics/network_info.h"
#include "platform/linux/https/https_fetcher.h"
#include "platform/linux/io/block_device.h"
#include "platform/linux/io/mount_table.h"
#include "platform/linux/metrics/cpu_source.h"
#include "platform/linux/metrics/disk_source.h"
#include "platform/linux/metrics/network_source.h"
#include "support/fake_network_manager.h"
#include "support/fake_sources.h"
#include "support/manual_run_loop.h"
#include "support/private_bus.h"
#include "support/temp_tree.h"

extern char** environ;

namespace trellis::lnx {
namespace {

using namespace std::chrono_literals;

std::string fixture(const std::string& name) { return std::string(TRELLIS_TEST_FIXTURES) + "/" + name; }
std::string readFixture(const std::string& relative) {
  std::ifstream in(fixture(relative), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// --- Disks -------------------------------------------------------------------------------------

// Capacities by mount point, as statvfs would give them under the fixture's root.
LinuxDiskSource::StatFunction capacities(std::string root, std::map<std::string, VolumeCapacity> table) {
  return [root = std::move(root) + "/", table = std::move(table)](const std::string& path) -> std::optional<VolumeCapacity> {
    const auto it = table.find("/" + path.substr(root.size()));
    return it == table.end() ? std::nullopt : std::optional(it->second);
  };
}

// "name model kind" and the flags internal, writable, removable, network as 0/1, per volume.
std::string described(LinuxDiskSource& source) {
  std::string text;
  for (const std::string& entry : source.volumeNames().value_or(std::vector<std::string>{})) {
    const std::optional<VolumeDescription> d = source.describe(entry);
    if (!d) continue;
    text += d->volumeName + "|" + d->model + "|" + d->kind + "|" + std::to_string(d->internal) + std::to_string(d->writable) +
            std::to_string(d->removable) + std::to_string(d->network) + "\n";
  }
  return text;
}

std::string driverNames(LinuxDiskSource& source, const std::optional<std::vector<DriverHandle>>& handles) {
  std::string names;
  for (DriverHandle handle : handles.value_or(std::vector<DriverHandle>{})) names += source.driverName(handle) + " ";
  return names;
}

TEST(LinuxDiskSourceTest, VolumesAndDriversOfTheCommittedMachines) {
  // Left out: pseudo file systems, the snap's loop device, the second mount of "/" and the bind
  // of /srv/www, the hidden /home/ann/.private, and /media/ann/old under the tmpfs over it. The
  // card reader is built in, but an SD card is removable whatever sysfs says.
  LinuxDiskSource laptop(fixture("disks/laptop"));
  EXPECT_EQ(described(laptop),
            "/|Samsung SSD 980 PRO 1TB|ext4|1100\n/boot/efi|Samsung SSD 980 PRO 1TB|vfat|1100\n"
            "/mnt/share||nfs4|0101\n/media/ann/MY STICK|Flash Drive|vfat|0110\n/media/ann/CARD|SD64G|exfat|1110\n"
            "/mnt/nas||cifs|0001\n");
  EXPECT_EQ(laptop.describe("/proc"), std::nullopt);
  // Subvolumes are volumes; /.snapshots is hidden, /mnt/again mounts "/@" a second time, the
  // overlay is no device. "/" is found by the device-mapper name of its source, down to the SATA
  // disk under the volume group.
  LinuxDiskSource btrfs(fixture("disks/btrfs-lvm"));
  EXPECT_EQ(described(btrfs), "/|Samsung SSD 860 EVO 500GB|btrfs|1100\n/home|Samsung SSD 860 EVO 500GB|btrfs|1100\n"
                              "/media/bob/DVD|DVD+-RW GU90N|iso9660|1010\n");
  EXPECT_EQ(driverNames(btrfs, btrfs.matchDrivers()), "sda sr0 ");
  EXPECT_EQ(blockDeviceOfMountPoint(fixture("disks/btrfs-lvm"), "/"), "dm-0");
  EXPECT_EQ(blockDeviceOfMountPoint(fixture("disks/btrfs-lvm"), "/media/bob/DVD"), "sr0");
  EXPECT_EQ(blockDeviceOfMountPoint(fixture("disks/btrfs-lvm"), "/nowhere"), std::nullopt);

  // Whole physical disks only: loop0 and zram0 are virtual; the NVMe namespace under its
  // multipath subsystem is not. A given-back slot is used again.
  const auto handles = laptop.matchDrivers();
  ASSERT_TRUE(handles);
  EXPECT_EQ(driverNames(laptop, handles), "mmcblk0 nvme0n1 sdb ");
  EXPECT_EQ(laptop.driverCounters((*handles)[0]), (DriverCounters{800 * 512, 0}));
  EXPECT_EQ(laptop.driverCounters((*handles)[1]), (DriverCounters{8633362ull * 512, 59115112ull * 512}));
  laptop.releaseDriver((*handles)[1]);
  for (DriverHandle gone : {(*handles)[1], DriverHandle{0}, DriverHandle{99}}) {
    EXPECT_EQ(laptop.driverCounters(gone), std::nullopt) << gone;
  }
  EXPECT_EQ(laptop.matchDrivers()->front(), (*handles)[1]);
}

TEST(LinuxDiskSourceTest, TheCollectorPicksTheRootNotAStickACardOrAnOverlay) {
  const std::string laptop = fixture("disks/laptop");
  LinuxDiskSource source(laptop, capacities(laptop, {{"/", {1'000'000, 400'000}}, {"/media/ann/MY STICK", {64'000, 1'000}},
                                                     {"/media/ann/CARD", {128'000, 2'000}}, {"/mnt/nas", {9, 9}}}));
  DiskInfo disk(source, [](double*) { return -1; });
  ASSERT_EQ(disk.list().size(), 4u) << "volumes whose capacity cannot be asked are left out";
  EXPECT_EQ(disk.getMainDisk()->name(), "/");
  EXPECT_EQ(disk.getMainDisk()->total(), 1'000'000u);
  EXPECT_FALSE(disk.list()[1]->isMain() || disk.list()[2]->isMain()) << "the USB stick and the SD card";
  EXPECT_TRUE(disk.list()[3]->isNetwork());
  std::uint64_t read = 0;
  disk.getReadAndWriteBytesWithHandler([&](std::uint64_t r, std::uint64_t) { read = r; });
  EXPECT_EQ(read, (800 + 8633362ull + 2048) * 512);

  // Where it is mounted, an overlay root is followed to the disk of its upper folder.
  testing::TempTree root;
  std::filesystem::create_directory_symlink(fixture("disks/btrfs-lvm/sys"), root.path("sys"));
  root.write("proc/self/mountinfo", "1 0 8:1 / /live rw - ext4 /dev/sda1 rw\n"
                                    "2 0 0:40 / / rw - overlay overlay rw,lowerdir=/ro,upperdir=/live/cow/upper,workdir=/w\n");
  EXPECT_EQ(blockDeviceOfMountPoint(root.root(), "/"), "sda1");
}

TEST(LinuxDiskSourceTest, MountTableIsReadAgainWhenItChanged) {
  // A fixture file is not procfs's, which flags changes: it is read again on every listing.
  namespace fs = std::filesystem;
  testing::TempTree tree;
  const auto capacity = [](const std::string&) { return std::optional<VolumeCapacity>(VolumeCapacity{2, 1}); };
  LinuxDiskSource source(tree.root(), capacity);
  tree.write("proc/self/mountinfo", "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n");
  EXPECT_EQ(source.volumeNames(), (std::vector<std::string>{"/"}));
  tree.write("proc/self/mountinfo", "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n2 1 8:2 / /home rw - ext4 /dev/sda2 rw\n");
  EXPECT_EQ(source.volumeNames(), (std::vector<std::string>{"/", "/home"}));
  fs::remove(tree.path("proc/self/mountinfo"));
  EXPECT_EQ(source.volumeNames(), std::nullopt);

  // This process's own table, in a mount namespace of a child's own: parsed again only after a
  // mount changed it.
  const std::string point = tree.path("point");
  fs::create_directories(point);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) ::_exit(77);
    MountTable table("/");
    const auto hasPoint = [&] {
      const auto& entries = *table.entries();
      return std::any_of(entries.begin(), entries.end(), [&](const MountEntry& e) { return e.mountPoint == point; });
    };
    if (!table.refresh() || !table.entries() || hasPoint()) ::_exit(1);
    if (table.refresh()) ::_exit(2);
    if (::mount("none", point.c_str(), "tmpfs", 0, nullptr) != 0) ::_exit(77);
    if (!table.refresh() || !hasPoint()) ::_exit(3);
    if (table.refresh()) ::_exit(4);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no user and mount namespaces here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: first read, 2: read again unchanged, 3: change missed, 4: change seen twice";
}

TEST(MountInfoTest, FieldsEscapesDamagedLinesEveryTruncationAndSelection) {
  const std::vector<MountEntry> entries = parseMountInfo(
      "36 35 98:0 /mnt1 /mnt\\0402\\134x rw,noatime master:1 shared:2 - ext3 /dev/root rw,errors=continue\n"
      "37 35 8:1 / /a rw - ext4 /dev/sda1 rw\n"
      "38 35 8:1 / /b rw shared:1 ext4 /dev/sda1 rw\n"      // no separator
      "39 35 8:x / /c rw - ext4 /dev/sda1 rw\n"             // device number
      "40 35 8:1 / relative rw - ext4 /dev/sda1 rw\n"       // mount point not absolute
      "41 35 4294967296:1 / /d rw - ext4 /dev/sda1 rw\n"    // major beyond 32 bits
      "42 35 8:1 / /e rw -\n"                               // cut after the separator
      "43 35 8:2 /  /f   rw   -   xfs   /dev/sda2   rw\n"   // runs of blanks
      "44 35 8:3 / /g rw - ext4 /dev/sda3 rw");             // no line end: cut short
  EXPECT_EQ(entries, (std::vector<MountEntry>{{98, 0, "/mnt1", "/mnt 2\\x", "rw,noatime", "ext3", "/dev/root", "rw,errors=continue"},
                                              {8, 1, "/", "/a", "rw", "ext4", "/dev/sda1", "rw"},
                                              {8, 2, "/", "/f", "rw", "xfs", "/dev/sda2", "rw"}}));

  const std::string text = readFixture("disks/laptop/proc/self/mountinfo");
  const std::vector<MountEntry> whole = parseMountInfo(text);
  ASSERT_EQ(whole.size(), 17u);
  for (std::size_t length = 0, lines = 0; length <= text.size(); ++length) {
    if (length > 0 && text[length - 1] == '\n') ++lines;
    ASSERT_EQ(parseMountInfo(std::string_view(text.data(), length)),
              std::vector(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(lines)))
        << "at length " << length;
  }

  std::string selected;
  for (const MountedVolume& volume : selectVolumes(parseMountInfo("1 0 8:1 / /data rw - ext4 /dev/sda1 rw\n"
                                                                  "2 0 8:1 / /again rw - ext4 /dev/sda1 rw\n"
                                                                  "3 0 8:2 / /x rw - ext4 /dev/sda2 rw\n"
                                                                  "4 0 0:9 / /x rw - tmpfs tmpfs rw\n"
                                                                  "5 0 1:0 / /ram rw - ext2 /dev/ram0 rw\n"
                                                                  "6 0 7:3 / /img rw - ext4 /dev/loop3 rw\n"
                                                                  "7 0 0:31 / /pool rw - btrfs pool rw\n"
                                                                  "8 0 0:44 / /srv rw - nfs4 a:/x rw\n"
                                                                  "9 0 0:44 / /srv2 rw - nfs4 a:/x rw\n"
                                                                  "10 0 0:45 /sub /sub rw - cifs //b/y rw\n"
                                                                  "11 0 0:46 / /home/u/.gvfs rw - fuse.sshfs u@h:/ rw\n"
                                                                  "12 0 0:47 / /remote rw - fuse.sshfs u@h:/ rw\n"))) {
    selected += volume.mount.mountPoint + (volume.network ? " (network) " : " ");
  }
  // Not: the same device or share again, a folder hidden by a later mount, RAM and loop disks,
  // btrfs without a /dev source, a hidden folder.
  EXPECT_EQ(selected, "/data /srv (network) /sub (network) /remote (network) ");
}

TEST(BlockStatTest, SectorsBecomeBytes) {
  const std::pair<const char*, std::optional<DriverCounters>> rows[] = {
      {"  1 2 3 4 5 6 7 8 9 10 11\n", DriverCounters{3 * 512, 7 * 512}},
      {"1 2 3 4 5 6 7", DriverCounters{3 * 512, 7 * 512}},
      {"0 0 36028797018963968 0 0 0 1 0", DriverCounters{0, 512}},  // 2^55 sectors wrap
      {"1 2 3 4 5 6", std::nullopt}, {"1 2 3 4 5 6 x 8", std::nullopt}, {"1 2 -3 4 5 6 7 8", std::nullopt},
      {"1 2 18446744073709551616 4 5 6 7", std::nullopt}, {"", std::nullopt}};
  for (const auto& [text, counters] : rows) EXPECT_EQ(parseBlockStat(text), counters) << text;
}

// --- Network -----------------------------------------------------------------------------------

// The record's five texts after one reload over a source on `tree`, with what getifaddrs would
// give on the fixture machines: "userDefinedName|deviceName|hardware|ip|ssid".
std::string recordOf(const std::string& tree, const std::string& bus = "unix:path=/nonexistent/trellis-no-bus",
                     std::vector<InterfaceAddress> addresses = {{"lo", "127.0.0.1"}, {"eth0", "192.168.1.20"},
                                                                {"eth0:1", "10.0.0.5"}, {"wlp2s0", "192.168.2.31"},
                                                                {"wlan0:home", "10.10.1.7"}, {"ppp0", "100.64.0.9"}}) {
  LinuxNetworkSource::Options options;
  options.root = fixture("network/" + tree);
  options.addresses = [addresses] { return std::optional(addresses); };
  options.networkManager.address = bus;
  options.networkManager.timeout = 300ms;
  LinuxNetworkSource source(options);
  testing::FakeClock clock;
  NetworkInfo network(source, clock);
  network.reloadInfo();
  const auto& m = *network.getNetworkInfo();
  return m.userDefinedName() + "|" + m.deviceName() + "|" + m.hardware() + "|" + m.ip() + "|" + m.ssid();
}

TEST(LinuxNetworkSourceTest, FixtureMachinesWithoutNetworkManagerAndTheirByteCounters) {
  // Wired: the lower metric wins over Wi-Fi; no route: only a subnet route, a rejected default
  // route and one that is not up; Wi-Fi known by its uevent, or by its wireless folder (its only
  // address carries a label). Tunnels are machines_test.cc's VPNs.
  for (const auto& [tree, record] : {std::pair{"wired", "eth0|eth0|Ethernet|192.168.1.20|"}, {"no-route", "||||"},
                                     {"wifi", "wlp2s0|wlp2s0|AirPort|192.168.2.31|"},
                                     {"wifi-wext", "wlan0|wlan0|AirPort|10.10.1.7|"}, {"ppp", "ppp0|ppp0|PPP|100.64.0.9|"}}) {
    EXPECT_EQ(recordOf(tree), record) << tree;
  }
  // An interface without an IPv4 address ends the walk before the network name.
  EXPECT_EQ(recordOf("wifi", "unix:path=/nonexistent/trellis-no-bus", {}), "wlp2s0|wlp2s0|AirPort||");

  // eth0 + wlan0 + ppp0; not lo, the bridge, the VLAN, the bond, nor eth1 (no counters).
  for (const auto& [tree, counters] : {std::pair{"wired", std::optional(ByteCounters{1'030'500, 204'060})},
                                       {"wifi", ByteCounters{123'456, 7'890}},
                                       {"no-route", std::nullopt}}) {  // no sys/class/net to list
    EXPECT_EQ(LinuxNetworkSource(fixture(std::string("network/") + tree)).byteCounters(), counters) << tree;
  }
}

TEST(LinuxNetworkSourceTest, NamesAndTheNetworkNameComeFromNetworkManagerWhenItCanTell) {
  testing::PrivateBus bus;
  ASSERT_TRUE(bus.ok()) << "dbus-daemon could not be started";
  using Device = testing::FakeNetworkManager::Device;
  const Device wifi{"wlp2s0", "Home Wi-Fi", true, "HomeNet"}, wired{"eth0", "Wired connection 1", false, std::nullopt};
  const std::string byInterface = "eth0|eth0|Ethernet|192.168.1.20|";
  const struct {
    const char* tree;
    std::vector<Device> devices;
    std::string record;
    testing::FakeNetworkManager::Mode mode = testing::FakeNetworkManager::Mode::Answer;
  } rows[] = {
      {"wifi", {wired, wifi}, "Home Wi-Fi|wlp2s0|AirPort|192.168.2.31|HomeNet"},
      {"wired", {wired, wifi}, "Wired connection 1|eth0|Ethernet|192.168.1.20|"},
      {"wifi", {{"wlp2s0", "Home Wi-Fi", true, std::nullopt}}, "Home Wi-Fi|wlp2s0|AirPort|192.168.2.31|"},  // no access point
      {"wired", {{"eth0", "", false, std::nullopt}}, "||||"},  // an active connection without a name
      {"wired", {wifi}, byInterface},                           // not one of its devices
      {"wired", {{"eth0", std::nullopt, false, std::nullopt}}, byInterface},  // no active connection
      {"wired", {wired}, byInterface, testing::FakeNetworkManager::Mode::Silent},  // gives up at its timeout
  };
  for (const auto& row : rows) {
    testing::FakeNetworkManager manager(bus.address(), row.devices, row.mode);
    ASSERT_TRUE(manager.ok());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(recordOf(row.tree, bus.address()), row.record);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  }
  EXPECT_EQ(recordOf("wired", bus.address()), byInterface) << "not on the bus, and not started on demand";
}

TEST(RouteParserTest, DefaultRouteWithTheLowestMetricAndEveryTruncationOfARealTable) {
  const auto route = [](const char* iface, const char* destination, const char* flags, const char* metric,
                        const char* mask = "00000000") {
    return std::string(iface) + "\t" + destination + "\t0101A8C0\t" + flags + "\t0\t0\t" + metric + "\t" + mask + "\t0\t0\t0\n";
  };
  const std::string header = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {header, std::nullopt},
      {"", std::nullopt},
      {header + route("wlan0", "00000000", "0003", "600") + route("eth0", "00000000", "0003", "100"), "eth0"},
      {route("eth1", "00000000", "0003", "7") + route("eth0", "00000000", "0003", "7"), "eth1"},  // equal: the first
      {route("eth0", "0001A8C0", "0001", "0", "00FFFFFF") + route("eth1", "00000000", "0001", "0", "000000FF"),
       std::nullopt},  // not default: a destination or a mask
      {route("eth0", "00000000", "0002", "0") + route("eth1", "00000000", "0201", "0"), std::nullopt},  // not up, rejected
      {route("eth0", "0000000G", "0003", "0") + "eth1\t00000000\n" + route("eth2", "00000000", "0003", "-1") +
           route("eth3", "00000000", "0003", "5"),
       "eth3"},  // a malformed line is skipped, not the file
      {route("*", "00000000", "0003", "0") + route("sixteen-bytes-xx", "00000000", "0003", "0") +
           route("..", "00000000", "0003", "0") + route("ok0", "00000000", "0003", "9"),
       "ok0"},  // names that are not interface names
      {route("eth0", "00000000", "0003", "4294967296"), std::nullopt},  // a metric past 32 bits
      {"eth0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0", "eth0"},  // no line end on the last line
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseDefaultRouteInterface(text), expected) << text;
  const std::string text = readFixture("network/wired/proc/net/route");
  for (std::size_t n = 0; n <= text.size(); ++n) {
    const std::optional<std::string> found = parseDefaultRouteInterface(text.substr(0, n));
    EXPECT_TRUE(!found || *found == "eth0" || *found == "wlan0") << n << ": " << *found;
  }
  EXPECT_EQ(parseDefaultRouteInterface(text), "eth0");
}

// --- CPU ---------------------------------------------------------------------------------------

// Every reading: "brand | count | tasks/threads | load averages | ticks", empty for one that fails;
// ticks as "user,system,idle,nice" per processor.
std::string readings(ProcCpuSource& source) {
  std::ostringstream out;
  out << source.brand().value_or("-") << " | ";
  if (auto count = source.processorCount()) out << *count;
  out << " | ";
  if (auto tasks = source.taskAndThreadCount()) out << tasks->tasks << "/" << tasks->threads;
  out << " |";
  if (auto load = source.loadAverages()) out << " " << (*load)[0] << " " << (*load)[1] << " " << (*load)[2];
  out << " |";
  for (const ProcessorTicks& t : source.processorTicks().value_or(std::vector<ProcessorTicks>{})) {
    out << " " << t.user << "," << t.system << "," << t.idle << "," << t.nice;
  }
  return out.str();
}

TEST(ProcCpuSourceTest, CommittedMachinesGiveEveryReadingAndDamagedFilesFailTheirsCleanly) {
  // x86: five numeric folders ("sys" and "driver" are not processes, files are not folders);
  // system + irq + softirq, idle + iowait, steal and guest left out. arm64: a Hardware line and
  // no online file (the processor lines of proc/stat are counted), lines of four numbers; only
  // part numbers: no brand. An offline processor is left out of count and list.
  for (const auto& [machine, expected] : {
           std::pair{"x86-4cpu", "Intel(R) Core(TM) i5-7500 CPU @ 3.40GHz | 4 | 5/1234 | 0.52 0.58 0.59 | "
                                 "3000,975,40200,100 4000,1100,39300,200 2500,860,41100,50 2500,965,40200,50"},
           {"arm64-hardware", "Qualcomm Technologies, Inc SM8150 | 4 | 1/300 | 1 0.5 0.25 | 100,50,350,0 100,50,350,0 "
                              "100,50,350,0 100,50,350,0"},
           {"arm64-plain", "- | 2 | 0/64 | 0 0 0 | 5,5,40,0 5,5,40,0"},
           {"offline-gap", "AMD Ryzen 5 3600 6-Core Processor | 3 | 1/150 | 0.1 0.2 0.3 | 200,110,1010,10 "
                           "200,110,1010,10 200,110,1010,10"}}) {
    ProcCpuSource source(fixture(std::string("proc/") + machine));
    EXPECT_EQ(readings(source), expected) << machine;
  }

  testing::TempTree tree;
  ProcCpuSource source(tree.root());
  EXPECT_EQ(readings(source), "- |  |  | |");
  // The processor count falls back to proc/stat when the online file is damaged, and the online
  // file wins when it reads.
  tree.write("proc/stat", "cpu  1 2 3 4\ncpu0 1 2 3 4\ncpu1 1 2 3 4\ncpu5 1 2 3 4\n");
  for (const auto& [text, count] : {std::pair{"0-1,5\n", 3}, {"0-15\n", 16}, {"0-\n", 3}, {"", 3}}) {
    tree.write("sys/devices/system/cpu/online", text);
    EXPECT_EQ(source.processorCount(), count) << text;
  }
  tree.write("proc/stat", "cpu  1 2 3 4\ncpu0 1 2 3\n");
  EXPECT_EQ(source.processorCount(), std::nullopt);
  // Tasks are the numeric folders, and need the total of proc/loadavg.
  for (const char* name : {"1", "2", "300", "self", "12a", "sys"}) tree.write("proc/" + std::string(name) + "/x", "");
  tree.write("proc/4242", "a numeric file is no process folder");
  EXPECT_EQ(source.taskAndThreadCount(), std::nullopt);
  tree.write("proc/loadavg", "0.00 0.00 0.00 1/77 9\n");
  EXPECT_EQ(source.taskAndThreadCount(), (TaskAndThreadCount{3, 77}));
  tree.write("proc/loadavg", "0.00 0.00 0.00\n");
  EXPECT_EQ(source.taskAndThreadCount(), std::nullopt);
  EXPECT_EQ(source.loadAverages(), std::nullopt);
}

TEST(ProcCpuParsersTest, ProcStatFieldsWrapAsThirtyTwoBitCountersAndDamagedLinesFailTheReading) {
  const auto T = [](std::uint32_t user, std::uint32_t system, std::uint32_t idle, std::uint32_t nice) {
    return ProcessorTicks{user, system, idle, nice};
  };
  // 2^64 - 1 keeps its low 32 bits; 2^32 reads as 0; system + irq + softirq and idle + iowait
  // wrap modulo 2^32. Other lines, the machine-wide line, odd labels and tabs; extra fields
  // ignored; no final newline.
  EXPECT_EQ(parseProcStat("cpu0 18446744073709551615 4294967296 4294967295 4294967295 2 1 0\n"),
            (std::vector{T(0xFFFFFFFFu, 0u, 1u, 0u)}));
  EXPECT_EQ(parseProcStat("intr 1 2 3\ncpu 9 9 9 9\ncpuX 1 2 3 4\ncpu0\t1\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\n"
                          "  ctxt 5\ncpu12 10 20 30 40"),
            (std::vector{T(1, 3 + 6 + 7, 4 + 5, 2), T(10, 30, 40, 20)}));
  for (const char* text : {"", "cpu  1 2 3 4\n", "cpu0\n", "cpu0 1 2 3\n", "cpu0 1 2 x 4\n", "cpu0 1 2 3 4\ncpu1 1 2 -3 4\n",
                           "cpu0 1 2 3 4\ncpu1 1 2 3 4.5\n", "cpu0 18446744073709551616 0 0 0\n",
                           "cpu0 1 2 3 4 5 6 7 8 9 10 junk\n", "cpu0 1 2 3 4\r\n"}) {
    EXPECT_EQ(parseProcStat(text), std::nullopt) << text;
  }
  // Every truncation: nothing, or the lines so far (a line cut inside its numbers reads as that
  // line with the missing fields 0, so one more than the complete lines at most).
  const std::string full = readFixture("proc/x86-4cpu/proc/stat");
  const std::vector<ProcessorTicks> whole = parseProcStat(full).value();
  ASSERT_EQ(whole.size(), 4u);
  for (std::size_t length = 0; length <= full.size(); ++length) {
    const std::string_view prefix(full.data(), length);
    std::size_t complete = 0;  // processor lines ended by a newline within the prefix
    for (std::size_t at = 0; (at = prefix.find("\ncpu", at)) != std::string_view::npos; ++at) {
      if (prefix.find('\n', at + 1) != std::string_view::npos && prefix.substr(at + 4, 1) != " ") ++complete;
    }
    const auto parsed = parseProcStat(prefix);
    if (!parsed) continue;
    ASSERT_GE(parsed->size(), complete) << length;
    ASSERT_LE(parsed->size(), std::min(complete + 1, whole.size())) << length;
    EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(complete), parsed->begin())) << length;
    if (length > 0 && full[length - 1] == '\n') {
      EXPECT_EQ(parsed->size(), complete) << length;
    }
  }
}

TEST(ProcCpuParsersTest, BrandLoadAveragesAndRangeListsOfWholeTextOnly) {
  for (const auto& [text, brand] : {
           std::pair<const char*, std::optional<std::string>>{
               "processor\t: 0\nmodel name\t: First  \nprocessor\t: 1\nmodel name\t: Second\n", "First"},
           {"model name\t:\nmodel name\t:   \t\nmodel name : Late\n", "Late"},
           {"Hardware\t: SoC\nprocessor\t: 0\nmodel name\t: ARMv7 Processor rev 4 (v7l)\n", "ARMv7 Processor rev 4 (v7l)"},
           {"CPU part\t: 0xd08\nHardware\t: BCM2835\nHardware\t: Other", "BCM2835"},
           {"model name\t: A: B", "A: B"},  // colons inside the value stay
           {"", std::nullopt},
           {"model name Intel\nmodelname: x\nModel Name: y\n", std::nullopt}}) {
    EXPECT_EQ(parseCpuInfoBrand(text), brand) << text;
  }
  const std::string cpuinfo = readFixture("proc/x86-4cpu/proc/cpuinfo");
  const std::string name = "Intel(R) Core(TM) i5-7500 CPU @ 3.40GHz";
  const std::size_t valueEnd = cpuinfo.find("model name\t: " + name) + 13 + name.size();
  for (std::size_t length = 0; length <= cpuinfo.size(); ++length) {
    const auto brand = parseCpuInfoBrand(std::string_view(cpuinfo.data(), length));
    EXPECT_TRUE(length >= valueEnd ? brand == name : !brand || name.starts_with(*brand)) << length;
  }

  const auto parsed = parseLoadAvg("0.52 0.58 0.59 2/1234 56789\n");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->averages, (std::array<double, 3>{0.52, 0.58, 0.59}));
  EXPECT_EQ(std::pair(parsed->running, parsed->total), std::pair(2, 1234));
  const auto busy = parseLoadAvg("123.45 0.00 7 10/2147483647");
  ASSERT_TRUE(busy.has_value());
  EXPECT_EQ(busy->averages, (std::array<double, 3>{123.45, 0.0, 7.0}));
  EXPECT_EQ(busy->total, 2147483647);
  for (const char* text : {"", "0.52 0.58 0.59", "0.52 0.58 0.59 2\n", "0.52 0.58 0.59 2/\n", "0.52 0.58 0.59 /5\n",
                           "0.52 0.58 0.59 2/x\n", "-0.5 0.58 0.59 2/3\n", "inf 0.58 0.59 2/3\n", "nan 0.58 0.59 2/3\n",
                           "1e5 0.58 0.59 2/3\n", "0.52x 0.58 0.59 2/3\n", "0.52 0.58 0.59 2/2147483648\n",
                           "0.52 0.58 0.59 -2/3\n", ".5 0.58 0.59 2/3\n"}) {
    EXPECT_EQ(parseLoadAvg(text), std::nullopt) << text;
  }
  const std::string loadavg = "0.52 0.58 0.59 2/1234 56789\n";
  for (std::size_t length = 0; length < loadavg.size(); ++length) {  // through the first digit of the total
    EXPECT_EQ(parseLoadAvg(std::string_view(loadavg.data(), length)).has_value(), length >= loadavg.find('/') + 2) << length;
  }

  for (const auto& [text, count] : {std::pair{"0\n", 1}, {"0-3\n", 4}, {"0-1,3", 3}, {"0-3,5,7-8\n", 7},
                                    {"0-2147483646", 2147483647}}) {
    EXPECT_EQ(parseCpuRangeList(text), count) << text;
  }
  for (const char* text : {"", "\n", "3-1", "0-3,2", "0-3,3-4", "0,,1", "0,", ",0", "a", "-1", "0-", "-", "0 - 3", "0-3x",
                           "0-4294967295", "0-4294967296", "1-2147483647,2147483648-4294967295"}) {
    EXPECT_EQ(parseCpuRangeList(text), std::nullopt) << text;
  }
}

TEST(ProcCpuSourceTest, ThisMachinesProcAgreesWithTheCLibrary) {
  ProcCpuSource source;
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  EXPECT_EQ(source.processorCount(), online);
  EXPECT_EQ(source.processorTicks().value_or(std::vector<ProcessorTicks>{}).size(), static_cast<std::size_t>(online));
  const auto counts = source.taskAndThreadCount().value_or(TaskAndThreadCount{0, 0});
  EXPECT_GE(counts.tasks, 1);  // this process at least
  EXPECT_GE(counts.threads, counts.tasks);
  EXPECT_TRUE(source.loadAverages().has_value());
}

// --- The public address ------------------------------------------------------------------------

// Starts `argv`; its standard output goes to `stdoutFd` (or /dev/null when -1).
pid_t spawn(const std::vector<std::string>& argv, int stdoutFd) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  if (stdoutFd < 0) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// The handler gets the address or "0.0.0.0", on the main thread, exactly once. Each answer of the
// server is a port of its own.
class PublicAddressLookupTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The server is on this machine: no proxy from the environment may stand in between.
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);
    folder_ = std::make_unique<testing::TempTree>();
    const std::string cert = folder_->path("cert.pem"), key = folder_->path("key.pem");
    cert_ = cert;
    const pid_t openssl = spawn({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                 "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
                                 "-addext", "subjectAltName=IP:127.0.0.1"},
                                -1);
    int status = 0;
    if (openssl < 0 || waitpid(openssl, &status, 0) != openssl || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return fail("openssl could not make a certificate (scripts/install-deps installs it)");
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return fail("no pipe");
    // The system's interpreter when there is one: version-manager shims add a second per start.
    server_ = spawn({::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3",
                     std::string(TRELLIS_TEST_FIXTURES) + "/../support/https_reply_server.py", cert, key},
                    fds[1]);
    ::close(fds[1]);
    std::string line;
    for (char c; server_ > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n';) line += c;
    ::close(fds[0]);
    const nlohmann::json ports = nlohmann::json::parse(line, nullptr, false);
    if (!ports.is_object()) return fail("the HTTPS server did not start: " + line);
    for (const auto& [name, port] : ports.items()) ports_[name] = port.get<int>();
  }
  static void TearDownTestSuite() {
    if (server_ > 0) {
      ::kill(server_, SIGTERM);
      ::waitpid(server_, nullptr, 0);
    }
    folder_.reset();
  }
  static void fail(std::string why) { setupError_ = std::move(why); }
  void SetUp() override { ASSERT_TRUE(setupError_.empty()) << setupError_; }
  static std::string host(const std::string& answer) { return "127.0.0.1:" + std::to_string(ports_.at(answer)); }

  // One lookup; waits for the handler (or destroys the fetcher after `destroyAfter`), then for the
  // fetcher's threads, then runs the queue once more so that a second call would be seen. Returns
  // "address, calls, on the main thread or not" and sets `took`.
  static std::string lookUp(const std::string& hostText, HttpsFetcher::Limits limits = {},
                            std::chrono::milliseconds destroyAfter = 0ms) {
    testing::ManualRunLoop loop;
    int calls = 0;
    bool onMainThread = true;
    std::string address;
    const auto start = std::chrono::steady_clock::now();
    {
      CurlHttpsFetcher fetcher(CurlHttpsFetcher::Options{cert_});
      PublicAddressLookup lookup{&fetcher, &loop, [hostText] { return hostText; }, limits};
      NetworkModel().getNetwortIpWithHandler(
          [&, main = std::this_thread::get_id()](const std::string& ip) {
            ++calls;
            onMainThread = onMainThread && std::this_thread::get_id() == main;
            address = ip;
          },
          lookup);
      EXPECT_EQ(calls, 0) << "the handler must not run before the call returns";
      std::this_thread::sleep_for(destroyAfter);
      while (destroyAfter == 0ms && calls == 0 && std::chrono::steady_clock::now() - start < 20s) {
        loop.runQueued();
        std::this_thread::sleep_for(5ms);
      }
    }
    loop.runQueued();
    took = std::chrono::steady_clock::now() - start;
    return address + ", " + std::to_string(calls) + (onMainThread ? ", main" : ", elsewhere");
  }

  static inline std::unique_ptr<testing::TempTree> folder_;
  static inline std::string setupError_, cert_;
  static inline pid_t server_ = -1;
  static inline std::map<std::string, int> ports_;
  static inline std::chrono::steady_clock::duration took;
};

TEST_F(PublicAddressLookupTest, EachReplyGivesTheAddressOrTheFallbackOnceOnTheMainThread) {
  // A 503's body holds an "ip_addr" too: a failed status must not be read.
  for (const auto& [answer, expected] : {std::pair{"good", "203.0.113.7"}, {"no-ip", "0.0.0.0"}, {"plain-text", "0.0.0.0"},
                                         {"server-error", "0.0.0.0"}, {"at-limit", "203.0.113.8"}, {"over-limit", "0.0.0.0"},
                                         {"over-limit-announced", "0.0.0.0"}}) {
    EXPECT_EQ(lookUp(host(answer)), std::string(expected) + ", 1, main") << answer;
  }
  EXPECT_EQ(lookUp(host("silent"), {500ms, 64 * 1024}), "0.0.0.0, 1, main");
  EXPECT_GE(took, 450ms);
  EXPECT_LT(took, 5s);
  // A host that would change the URL's meaning (trust and a closed port: network_commands).
  EXPECT_EQ(lookUp(host("good") + "/x?"), "0.0.0.0, 1, main");
  // A fetcher destroyed while its request waits on a silent server ends the request at once and
  // still answers, once.
  EXPECT_EQ(lookUp(host("silent"), {}, /*destroyAfter=*/300ms), "0.0.0.0, 1, main");
  EXPECT_LT(took, 4s);
}

}  // namespace
}  // namespace trellis::lnx
