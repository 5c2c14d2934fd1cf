// What only the hwmon transport does: sensors to keys on tests/fixtures/hwmon/ and built trees,
// sp78 and fpe2 conversion, sensor errors and the descriptors it holds.
#include "platform/linux/sensors/hwmon_smc.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <map>
#include <string>
#include <tuple>

#include "support/smc_support.h"
#include "support/temp_tree.h"

namespace trellis::lnx {
namespace {

std::string fixture(const std::string& name) { return std::string(TRELLIS_TEST_FIXTURES) + "/hwmon/" + name; }

// Every key but "#KEY", in the order of sources().
std::string keys(const HwmonSmc& smc) {
  std::string keys;
  for (const HwmonKeySource& source : smc.sources()) keys += (keys.empty() ? "" : " ") + source.key;
  return keys;
}

// `name` as a client reads it (testing::smcKey), a fan identifier as '<its label>'.
std::string value(HwmonSmc& smc, const std::string& name) {
  const std::string text = testing::smcKey(smc, name);
  if (!text.starts_with("{fds 00000000") || text.size() != 5 + 32) return text;
  std::string id;
  for (std::size_t i = 13; i < text.size(); i += 2) id += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  return "'" + id.erase(id.find_last_not_of('\0') + 1) + "'";
}

// The value of `name`, then the sensor it is read from.
std::string key(HwmonSmc& smc, const std::string& name) {
  for (const HwmonKeySource& source : smc.sources()) {
    if (source.key == name) return value(smc, name) + " from " + source.source;
  }
  return value(smc, name);
}

std::string deviceNumberOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0);
  return std::to_string(major(status.st_dev)) + ":" + std::to_string(minor(status.st_dev));
}

// Real file access with faults on request: opens of a path in `openErrors` and reads of one in
// `readErrors` fail with its errno; every descriptor is tracked.
class FaultyFiles final : public SensorFiles {
 public:
  int open(const std::string& path) override {
    if (auto it = openErrors.find(path); it != openErrors.end()) return -it->second;
    const int fd = SensorFiles::posix().open(path);
    if (fd >= 0) openPaths[fd] = path;
    return fd;
  }
  long read(int fd, char* buffer, std::size_t size) override {
    if (auto it = readErrors.find(openPaths[fd]); it != readErrors.end()) return -it->second;
    return SensorFiles::posix().read(fd, buffer, size);
  }
  void close(int fd) override {
    EXPECT_EQ(openPaths.erase(fd), 1u) << "closing a descriptor not open";
    SensorFiles::posix().close(fd);
  }

  std::map<std::string, int> openErrors, readErrors;
  std::map<int, std::string> openPaths;
};

TEST(HwmonTransportTest, EachMachineGetsTheKeysOfItsSensors) {
  auto smc = HwmonSmc::open(fixture("applesmc-new"), {.mainDisk = "sda"});
  ASSERT_NE(smc, nullptr);
  EXPECT_EQ(keys(*smc), "F0Ac F0ID F0Mn F0Mx F1Ac F1ID F1Mn F1Mx F2Ac F2ID FNum TA0P TC0D TC0P TH0P TH0x Th1H");
  smc = HwmonSmc::open(fixture("applesmc-old"));
  ASSERT_NE(smc, nullptr);
  EXPECT_EQ(keys(*smc), "F0Ac F0ID F0Mn F0Mx FNum TB0T TC0D TC0P Tm0P");
  // What the machine classes under machines/ do not show: the lowest x86_pkg_temp zone, an old
  // Intel Mac without the SMC's TC0P, the main disk given by name (nvme Composite under the
  // controller or the PCI function, drivetemp), the fan count and applesmc's fan labels first.
  const std::tuple<const char*, const char*, const char*, const char*> rows[] = {
      {"thermal-only", "", "TC0P", "sp78 3400 from thermal_zone2 x86_pkg_temp"},  // zone 2 before 10
      {"applesmc-old", "", "TC0P", "sp78 3000 from hottest of coretemp Core 0, coretemp Core 1"},
      {"intel-desktop", "nvme1n1", "TH0x", "sp78 37da from nvme Composite (nvme1n1)"},  // 55.85 C
      {"zenpower-nvme-pci", "nvme0n1", "TH0x", "sp78 28da from nvme Composite (nvme0n1)"},
      {"amd-tctl", "sdb", "TH0x", "sp78 2800 from drivetemp (sdb)"},
      {"amd-tctl", "nvme0n1", "TH0x", "missing"},
      {"amd-tctl", "", "TH0x", "missing"},  // the disk holding the root, which no fixture's sysfs knows
      {"intel-desktop", "", "FNum", "ui8  04 from 4 fans (amdgpu, nct6798)"},
      {"applesmc-new", "", "TA0P", "sp78 1f40 from applesmc TA0P"},
      {"applesmc-new", "", "F0ID", "'Left side' from applesmc fan1 \"Left side\""},
      {"applesmc-new", "", "F2ID", "'amdgpu fan1' from amdgpu fan1 \"amdgpu fan1\""},
      {"applesmc-old", "", "F0ID", "'Master' from applesmc fan1 \"Master\""},
  };
  for (const auto& [machine, disk, name, expected] : rows) {
    smc = HwmonSmc::open(fixture(machine), {.mainDisk = disk});
    ASSERT_NE(smc, nullptr) << machine;
    EXPECT_EQ(key(*smc, name), expected) << machine << " " << disk;
  }
  // The file each key is read from; none for a key made up.
  const std::tuple<const char*, const char*, std::string> paths[] = {
      {"intel-desktop", "TC0P", "/sys/class/hwmon/hwmon7/temp1_input"},
      {"intel-desktop", "FNum", ""},
      {"applesmc-old", "TB0T", "/sys/class/hwmon/hwmon0/device/temp1_input"},
  };
  for (const auto& [machine, name, path] : paths) {
    smc = HwmonSmc::open(fixture(machine));
    std::string found = "<no such key>";
    for (const HwmonKeySource& source : smc->sources()) found = source.key == name ? source.path : found;
    EXPECT_EQ(found, path.empty() ? path : fixture(machine) + path) << name;
  }
}

// Without a mount table the root folder's own device is followed, here through a partition; the
// mount table's way through volumes and multipath is machines_test.cc's main disk.
TEST(HwmonTransportTest, WithoutAMountTableFindsTheDiskHoldingTheRootFolder) {
  testing::TempTree amd;
  amd.copyFrom(fixture("amd-tctl"));
  const std::string sdb = "/sys/devices/pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0/block/sdb";
  amd.link("/sys/dev/block/" + deviceNumberOf(amd.root()), sdb + "/sdb2");
  auto smc = HwmonSmc::open(amd.root());
  ASSERT_NE(smc, nullptr);
  EXPECT_EQ(key(*smc, "TH0x"), "sp78 2800 from drivetemp (sdb)");
}

TEST(HwmonTransportTest, ReadsEveryValueAfreshConvertedToSp78OrFpe2) {
  testing::TempTree tree;
  tree.copyFrom(fixture("intel-desktop"));
  auto smc = HwmonSmc::open(tree.root());
  ASSERT_NE(smc, nullptr);
  // Millidegrees * 256 / 1000 rounded half away from zero, clamped; rpm << 2, clamped.
  const std::tuple<const char*, const char*, const char*> rows[] = {
      {"TC0P", "38850", "sp78 26da"}, {"TC0P", "1", "sp78 0000"}, {"TC0P", "2", "sp78 0001"},
      {"TC0P", "-5000", "sp78 fb00"}, {"TC0P", "-1002", "sp78 feff"}, {"TC0P", "127998", "sp78 7fff"},
      {"TC0P", "128000", "sp78 7fff"}, {"TC0P", "-999999", "sp78 8000"}, {"TC0P", "+40000", "sp78 2800"},
      {"TC0P", "  40000  ", "sp78 2800"}, {"TC0P", "", "sp78 failed"}, {"TC0P", "abc", "sp78 failed"},
      {"TC0P", "40000x", "sp78 failed"}, {"TC0P", "4 0", "sp78 failed"}, {"TC0P", "-", "sp78 failed"},
      {"F1Ac", "1200", "fpe2 12c0"}, {"F1Ac", "16383", "fpe2 fffc"}, {"F1Ac", "20000", "fpe2 fffc"},
      {"F1Ac", "-1", "fpe2 0000"}, {"F1Ac", "fast", "fpe2 failed"},
      {"TC0P", "123456789012345678901234567890123", "sp78 failed"},  // longer than any reading
  };
  for (const auto& [name, text, expected] : rows) {
    tree.write(std::string(name) == "TC0P" ? "/sys/devices/platform/coretemp.2/hwmon/hwmon7/temp1_input"
                                           : "/sys/devices/platform/nct6775.656/hwmon/hwmon5/fan1_input",
               std::string(text) + "\n");
    EXPECT_EQ(testing::smcKey(*smc, name), expected) << "\"" << text << "\"";
  }
}

TEST(HwmonTransportTest, ASensorErrorFailsOnlyItsExchangeAndEveryDescriptorIsClosed) {
  const std::string root = fixture("intel-desktop");
  const std::string package = root + "/sys/class/hwmon/hwmon7/temp1_input";
  FaultyFiles files;
  files.openErrors[package] = EACCES;  // passed over: Package id 1, 61 C
  auto smc = HwmonSmc::open(root, {.mainDisk = "nvme0n1", .files = &files});
  ASSERT_NE(smc, nullptr);
  EXPECT_EQ(key(*smc, "TC0P"), "sp78 3d00 from coretemp Package id 1");
  files.openErrors.clear();
  smc = HwmonSmc::open(root, {.mainDisk = "nvme0n1", .files = &files});
  for (int error : {EIO, ENODATA, ENXIO, EAGAIN, EINVAL}) {
    files.readErrors[package] = error;
    EXPECT_EQ(testing::smcKey(*smc, "TC0P") + ", " + testing::smcKey(*smc, "TH0x"), "sp78 failed, sp78 26da") << error;
    files.readErrors.erase(package);
    EXPECT_EQ(testing::smcKey(*smc, "TC0P"), "sp78 2f00") << "recovers once the sensor reads again";
  }
  smc = HwmonSmc::open(fixture("applesmc-new"), {.mainDisk = "sda", .files = &files});
  ASSERT_NE(smc, nullptr);
  // Each live key holds one descriptor; coretemp's overridden TC0P was given back at open.
  EXPECT_EQ(files.openPaths.size(), 13u);
  smc.reset();
  EXPECT_TRUE(files.openPaths.empty());
  EXPECT_EQ(HwmonSmc::open(fixture("no-sensors"), {.mainDisk = {}, .files = &files}), nullptr);
  EXPECT_TRUE(files.openPaths.empty());
}

TEST(HwmonTransportTest, NumbersAtMostNineFansAndFitsTheirNames) {
  testing::TempTree tree;
  const std::string ec = "/sys/devices/platform/asus-ec-sensors/hwmon/hwmon3";
  tree.write(ec + "/name", "asus_ec_sensors\n");
  for (int n = 1; n <= 7; ++n) tree.write(ec + "/fan" + std::to_string(n * 2) + "_input", std::to_string(1000 + n));
  tree.link("/sys/class/hwmon/hwmon3", ec);
  const std::string dell = "/sys/devices/platform/dell_smm_hwmon/hwmon/hwmon0";
  tree.write(dell + "/name", "dell_smm\n");
  const char* const labels[] = {"Processor Fan", "Lüfter Gehäuse", "Video Fan"};
  for (int n = 1; n <= 3; ++n) {
    tree.write(dell + "/fan" + std::to_string(n) + "_input", std::to_string(1900 + 100 * n) + "\n");
    tree.write(dell + "/fan" + std::to_string(n) + "_label", std::string(labels[n - 1]) + "\n");
  }
  tree.link("/sys/class/hwmon/hwmon0", dell);
  auto smc = HwmonSmc::open(tree.root());
  ASSERT_NE(smc, nullptr);
  // asus_ec_sensors before dell_smm; sysfs numbers in numeric order (fan10 after fan8); twelve
  // bytes would end inside the "ä": the name stops before it.
  EXPECT_EQ(keys(*smc),
            "F0Ac F0ID F1Ac F1ID F2Ac F2ID F3Ac F3ID F4Ac F4ID F5Ac F5ID F6Ac F6ID F7Ac F7ID F8Ac F8ID FNum");
  const std::map<std::string, std::string> expected = {
      {"FNum", "ui8  09"},   {"F0ID", "'asus_ec fan2'"}, {"F4ID", "'asus_e fan10'"},
      {"F4Ac", "fpe2 0fb4"}, {"F7ID", "'Processor Fa'"}, {"F8ID", "'Lüfter Geh'"},
  };
  for (const auto& [name, text] : expected) EXPECT_EQ(value(*smc, name), text) << name;
}

}  // namespace
}  // namespace trellis::lnx
