// The Linux sources on machines laid out as the kernel lays them out (tests/fixtures/machines/,
// whose README names the kernel file each layout comes from): the CPU temperature of every common
// machine class, the main disk under ZFS, LVM, md, bcachefs, btrfs and a container's overlay, the
// primary service and byte counters behind VPNs, bridges and bonds; and the disk source with a
// network file system that stops answering. Test thread only, but for the stat threads the disk
// source starts.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "metrics/disk_info.h"
#include "metrics/network_info.h"
#include "platform/linux/io/block_device.h"
#include "platform/linux/metrics/disk_source.h"
#include "platform/linux/metrics/network_source.h"
#include "platform/linux/sensors/hwmon_smc.h"
#include "support/fake_sources.h"
#include "support/smc_support.h"
#include "support/temp_tree.h"

namespace trellis::lnx {
namespace {

std::string machine(const std::string& name) { return std::string(TRELLIS_TEST_FIXTURES) + "/machines/" + name; }

// The key's source and its value in degrees ("k10temp Tdie 46.00"), or what stands instead.
std::string reading(HwmonSmc& smc, const std::string& key) {
  const std::string value = testing::smcKey(smc, key);  // "sp78 2e00"
  if (!value.starts_with("sp78 ") || value.size() != 9) return value;
  const auto raw = static_cast<std::int16_t>(std::stoi(value.substr(5), nullptr, 16));
  char degrees[16];
  std::snprintf(degrees, sizeof degrees, " %.2f", raw / 256.0);
  for (const HwmonKeySource& source : smc.sources()) {
    if (source.key == key) return source.source + degrees;
  }
  return "no source" + std::string(degrees);
}

TEST(MachinesTest, EveryMachineClassGivesItsCpuTemperature) {
  const std::map<std::string, std::string> expected = {
      {"intel-coretemp-modern", "coretemp Package id 0 62.00"},
      {"intel-coretemp-old", "coretemp Physical id 0 45.00"},        // on the device, hwmon1 empty
      {"intel-coretemp-physid-newlayout", "coretemp Physical id 0 47.00"},
      {"intel-coretemp-no-package", "hottest of coretemp Core 0, coretemp Core 1, coretemp Core 2, coretemp Core 3 55.00"},
      {"intel-x86-pkg-temp-only", "thermal_zone1 x86_pkg_temp 55.00"},
      {"amd-k10temp-tctl-only", "k10temp Tctl 48.62"},
      {"amd-k10temp-tdie", "k10temp Tdie 46.00"},                    // temp2; Tctl is 66
      {"amd-k10temp-tdie-linux5.4", "k10temp Tdie 52.50"},           // temp1 on 5.4
      {"amd-k10temp-ccds", "k10temp Tctl 68.88"},                    // not a CCD
      {"amd-k10temp-fam15h", "k10temp temp1 (no label) 32.12"},
      {"amd-zenpower", "zenpower Tdie 45.75"},
      {"raspberry-pi", "thermal_zone0 cpu-thermal 48.69"},
      {"rockchip-rk3588", "thermal_zone0 package-thermal 44.38"},   // not the hotter big cores
      {"allwinner-a64", "hottest of thermal_zone0 cpu0-thermal 39.00"},
      {"amlogic-g12", "thermal_zone0 cpu-thermal 46.30"},
      {"mediatek-mt8183", "thermal_zone0 cpu-thermal 51.00"},
      {"qualcomm-x1e80100",
       "hottest of thermal_zone1 cpu0-0-top-thermal, thermal_zone2 cpu0-0-btm-thermal, thermal_zone3 "
       "cpu0-1-top-thermal, thermal_zone4 cpu0-1-btm-thermal, thermal_zone5 cpuss0-top-thermal, thermal_zone6 "
       "cpuss0-btm-thermal, thermal_zone10 cpu1-0-top-thermal, thermal_zone11 cpu1-0-btm-thermal 55.10"},
      {"apple-intel-mac-old", "applesmc TC0P 51.75"},                 // not coretemp's 60
      {"apple-intel-mac-new", "applesmc TC0P 51.75"},
      {"apple-intel-mac-hybrid", "applesmc TC0P 51.75"},              // hwmon0 has the name alone
      {"acpi-only", "thermal_zone0 acpitz (approximate) 40.00"},
  };
  for (const auto& [name, cpu] : expected) {
    auto smc = HwmonSmc::open(machine("cpu/" + name));
    ASSERT_NE(smc, nullptr) << name;
    EXPECT_EQ(reading(*smc, "TC0P"), cpu) << name;
  }

  // The others the machine has, best first, for `trellis doctor`.
  auto smc = HwmonSmc::open(machine("cpu/intel-coretemp-modern"));
  std::string passed;
  for (const HwmonKeySource& source : smc->passedOver()) passed += source.source + " @ " + source.path + "; ";
  const std::string zones = machine("cpu/intel-coretemp-modern") + "/sys/class/thermal/";
  EXPECT_EQ(passed, "thermal_zone4 x86_pkg_temp @ " + zones + "thermal_zone4/temp; " +
                        "hottest of coretemp Core 0, coretemp Core 1, coretemp Core 2, coretemp Core 3 @ " +
                        machine("cpu/intel-coretemp-modern") + "/sys/class/hwmon/hwmon5/temp2_input; " +
                        "thermal_zone0 acpitz (approximate) @ " + zones + "thermal_zone0/temp; ");
  // A Mac whose SMC driver hides behind an empty hwmon folder keeps its own keys and fans.
  smc = HwmonSmc::open(machine("cpu/apple-intel-mac-hybrid"));
  EXPECT_EQ(reading(*smc, "Th1H").substr(0, 14), "applesmc Th1H ");
  EXPECT_EQ(testing::smcKey(*smc, "FNum"), "ui8  02");
}

TEST(MachinesTest, TheMainDiskIsTheDiskThatHoldsTheRoot) {
  const struct {
    const char* machine;
    const char* account;  // findMainDisk's
    const char* disk;     // TH0x
    const char* volume;   // the disk collector's main volume
  } cases[] = {
      {"zfs-root", "sda: / is zfs from rpool/ROOT/debian on sda3, sdb3", "drivetemp (sda) 34.00", "/ zfs"},
      {"lvm-on-luks", "nvme0n1: / is ext4 from /dev/mapper/vgubuntu-root on dm-1", "nvme Composite (nvme0n1) 36.85",
       "/ ext4"},
      {"md-raid1", "sda: / is ext4 from /dev/md0 on md0", "drivetemp (sda) 38.00", "/ ext4"},
      {"bcachefs-multi", "sda: / is bcachefs from /dev/sda:/dev/sdb on sda, sdb", "drivetemp (sda) 35.00",
       "/ bcachefs"},
      {"btrfs-multi", "nvme0n1: / is btrfs from /dev/nvme0n1p2 on nvme0n1p2, nvme1n1p1",
       "nvme Composite (nvme0n1) 43.85", "/ btrfs"},
      {"overlay-container", "no main disk: / is overlay from overlay, whose upper folder is on no mount here",
       "no sensors", "none"},
  };
  for (const auto& c : cases) {
    const std::string root = machine(std::string("disk/") + c.machine);
    EXPECT_EQ(findMainDisk(root).account, c.account);
    auto smc = HwmonSmc::open(root);
    EXPECT_EQ(smc ? reading(*smc, "TH0x") : "no sensors", c.disk) << c.machine;
    LinuxDiskSource source(root, [](const std::string&) { return VolumeCapacity{1000, 500}; });
    DiskInfo disk(source, [](double* out) { return *out = 40.0, 0; });
    const std::shared_ptr<DiskModel> main = disk.getMainDisk();
    EXPECT_EQ(main ? main->name() + " " + main->kind() : "none", c.volume) << c.machine;
  }
}

TEST(MachinesTest, VpnsAndVirtualInterfaces) {
  const auto addresses = [] {
    return std::optional<std::vector<InterfaceAddress>>({{"enp0s31f6", "192.168.1.20"}, {"wg0", "10.8.0.2"},
                                                         {"eth0", "192.168.1.30"}, {"tun0", "10.8.0.6"},
                                                         {"enp3s0", "192.168.1.40"}, {"br0", "10.10.0.2"}});
  };
  testing::TempTree container;  // its one interface is a veth end
  container.write("proc/net/route", "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\n"
                                    "eth0\t00000000\t010011AC\t0003\t0\t0\t0\t00000000\n");
  container.write("sys/devices/virtual/net/eth0/type", "1\n");
  container.write("sys/devices/virtual/net/eth0/statistics/rx_bytes", "700\n");
  container.write("sys/devices/virtual/net/eth0/statistics/tx_bytes", "80\n");
  container.link("sys/class/net/eth0", "sys/devices/virtual/net/eth0");
  const struct {
    std::string root;
    const char* service;  // name, device, kind and address as the record has them
    ByteCounters counters;
  } cases[] = {
      // The tunnel carries the default route: its kind is empty, its address still given.
      {machine("net/wireguard-main-default"), "wg0 wg0  10.8.0.2", {5'012'345'678, 1'023'456'789}},
      // OpenVPN's two /1 routes win over the /0 one they leave in place.
      {machine("net/openvpn-def1"), "tun0 tun0  10.8.0.6", {812'345'678, 212'345'678}},
      // Only the NIC counts: not the bridges, nor the veths whose traffic it carries too.
      {machine("net/container-host"), "enp3s0 enp3s0 Ethernet 192.168.1.40", {98'765'432'109, 12'345'678'901}},
      // Both bonded NICs; not the bond, its VLAN, the bridge, tap, macvlan or ifb.
      {machine("net/vm-host"), "br0 br0 Ethernet 10.10.0.2", {101'111'111'100, 81'111'111'100}},
      {container.root(), "eth0 eth0 Ethernet 192.168.1.30", {700, 80}},
  };
  testing::FakeClock clock;
  for (const auto& c : cases) {
    LinuxNetworkSource::Options options;
    options.root = c.root;
    options.addresses = addresses;
    options.useNetworkManager = false;
    LinuxNetworkSource source(options);
    NetworkInfo network(source, clock);
    network.reloadInfo();
    const NetworkModel& record = *network.model();
    EXPECT_EQ(record.userDefinedName() + " " + record.deviceName() + " " + record.hardware() + " " + record.ip(),
              c.service) << c.root;
    EXPECT_EQ(source.byteCounters(), c.counters) << c.root;
  }
}

// A statvfs that answers from a table, and holds the paths marked hung until they are let go (or
// two seconds have passed: a cycle that waited for one is slow, not stuck).
struct StatGate {
  std::mutex mutex;
  std::condition_variable released;
  std::map<std::string, std::uint64_t> totals;  // by mount point
  std::set<std::string> hung;

  static LinuxDiskSource::StatFunction function(std::shared_ptr<StatGate> gate, std::string root) {
    return [gate, root](const std::string& path) -> std::optional<VolumeCapacity> {
      const std::string entry = path.substr(root.size());
      std::unique_lock<std::mutex> lock(gate->mutex);
      gate->released.wait_for(lock, std::chrono::seconds(2), [&] { return !gate->hung.contains(entry); });
      return VolumeCapacity{gate->totals[entry], 1};
    };
  }
  void set(const std::string& entry, std::uint64_t total, bool hang) {
    const std::lock_guard<std::mutex> lock(mutex);
    totals[entry] = total;
    if (hang) hung.insert(entry); else hung.erase(entry);
    released.notify_all();
  }
};

TEST(MachinesTest, NetworkFileSystemsThatStopAnsweringNeverHoldUpACycle) {
  const std::string root = std::string(TRELLIS_TEST_FIXTURES) + "/disks/laptop";
  auto gate = std::make_shared<StatGate>();
  for (const char* entry : {"/", "/media/ann/MY STICK", "/media/ann/CARD"}) gate->set(entry, 1, false);
  gate->set("/mnt/share", 7000, false);  // nfs4
  gate->set("/mnt/nas", 9000, false);    // cifs
  LinuxDiskSource source(root, StatGate::function(gate, root));
  const auto cycle = [&]() -> std::string {
    const auto start = std::chrono::steady_clock::now();
    DiskInfo disk(source, [](double* out) { return *out = 40.0, 0; });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    std::string totals;
    for (const auto& volume : disk.list()) totals += volume->total() > 1 ? std::to_string(volume->total()) + " " : "";
    return totals;
  };
  EXPECT_EQ(cycle(), "7000 9000 ");
  gate->set("/mnt/share", 8000, true);
  gate->set("/mnt/nas", 10000, true);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(cycle(), "7000 9000 ") << "the last figures stand in";
  EXPECT_EQ(source.capacity("/mnt/share"), (VolumeCapacity{7000, 1, true}));
  LinuxDiskSource fresh(root, StatGate::function(gate, root));
  fresh.volumeNames();
  EXPECT_EQ(fresh.capacity("/mnt/share"), std::nullopt) << "no figure to stand in yet";

  gate->set("/mnt/share", 8000, false);
  gate->set("/mnt/nas", 10000, false);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::string after;
  while (after != "8000 10000 " && std::chrono::steady_clock::now() < deadline) after = cycle();
  EXPECT_EQ(after, "8000 10000 ");
  EXPECT_EQ(source.capacity("/mnt/share"), (VolumeCapacity{8000, 1, false}));
}

TEST(MachinesTest, AVolumeThatCannotBeDescribedIsNotLookedUpAgainUntilTheMountsChange) {
  testing::TempTree tree;
  const std::string mounts = "1 0 8:1 / /data rw - ext4 /dev/sda1 rw\n";
  tree.write("proc/self/mountinfo", mounts);
  LinuxDiskSource source(tree.root());
  ASSERT_EQ(source.volumeNames(), std::vector<std::string>{"/data"});
  EXPECT_EQ(source.describe("/data"), std::nullopt);
  // The device shows up in sysfs; the failure is remembered while the table stays the same.
  const std::string disk = "sys/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda";
  tree.write(disk + "/sda1/partition", "1\n");
  tree.link("sys/dev/block/8:1", disk + "/sda1");
  source.volumeNames();
  EXPECT_EQ(source.describe("/data"), std::nullopt);
  tree.write("proc/self/mountinfo", mounts + "2 0 0:5 / /tmp rw - tmpfs tmpfs rw\n");
  source.volumeNames();
  EXPECT_NE(source.describe("/data"), std::nullopt);
}

}  // namespace
}  // namespace trellis::lnx
