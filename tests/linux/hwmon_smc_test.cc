// The hwmon transport against sysfs trees: the committed machines under tests/fixtures/hwmon/ and
// trees built here where a case needs live edits, the test's own device number or many fans.
// Every value is checked through SMC exchanges, as the client sees it.
#include "platform/linux/sensors/hwmon_smc.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "support/smc_support.h"
#include "support/temp_tree.h"

namespace trellis::lnx {
namespace {

using trellis::testing::smcExchange;
using trellis::testing::smcRequest;

std::string fixture(const std::string& name) { return std::string(TRELLIS_TEST_FIXTURES) + "/hwmon/" + name; }

// As the client sees `key` (testing::smcKey), a fan identifier as "'<its twelve text bytes
// without the zero padding>'" when its four header bytes are zero.
std::string key(HwmonSmc& smc, const std::string& name) {
  const std::string text = testing::smcKey(smc, name);
  if (text.rfind("{fds 00000000", 0) != 0 || text.size() != 5 + 32) return text;
  std::string id;
  for (std::size_t i = 13; i < text.size(); i += 2) id += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  return "'" + id.erase(id.find_last_not_of('\0') + 1) + "'";
}

// The key listing a client makes: "#KEY", then key at index (8) for every index up to one past.
std::string listKeys(HwmonSmc& smc) {
  const std::string count = key(smc, "#KEY");
  const std::uint32_t n = count.size() == 13 ? std::stoul(count.substr(5), nullptr, 16) : 0;
  std::string keys;
  for (std::uint32_t i = 0; i <= n; ++i) {
    const testing::SmcExchange out = smcExchange(smc, 1, testing::smcIndexRequest(i));
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.reply.result, i == n ? kSmcKeyNotFound : kSmcSuccess) << i;
    if (i < n) keys += testing::smcKeyText(out.reply.key) + " ";
  }
  return keys;
}

const HwmonKeySource* sourceOf(const HwmonSmc& smc, const std::string& key) {
  for (const HwmonKeySource& source : smc.sources()) {
    if (source.key == key) return &source;
  }
  return nullptr;
}
std::string sourceText(const HwmonSmc& smc, const std::string& key) {
  const HwmonKeySource* source = sourceOf(smc, key);
  return source != nullptr ? source->source : "<no such key>";
}

std::string deviceNumberOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0);
  return std::to_string(major(status.st_dev)) + ":" + std::to_string(minor(status.st_dev));
}

// Real file access with faults on request: reads of a path fail with its errno while it is in
// `readErrors`, opens of a path in `openErrors` fail; every descriptor is tracked.
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

  std::map<std::string, int> openErrors;
  std::map<std::string, int> readErrors;
  std::map<int, std::string> openPaths;
};

TEST(HwmonSmcTest, IntelDesktopKeySpaceAndItsSources) {
  const std::string root = fixture("intel-desktop");
  auto smc = HwmonSmc::open(root, {.mainDisk = "nvme0n1"});
  ASSERT_NE(smc, nullptr);
  // Sorted by key code; amdgpu's fan first (drivers by name), then nct6798's three.
  EXPECT_EQ(listKeys(*smc), "#KEY F0Ac F0ID F0Mn F0Mx F1Ac F1ID F1Mn F2Ac F2ID F2Mn F3Ac F3ID FNum TC0P TH0x ");
  // TC0P: package id 0 (47.0 C), though packages 2 and 1 have the lower hwmon number and device
  // path. TH0x: nvme0's Composite, 38.85 C -> 9945.6 -> 9946. Speeds: 850, 0, 3300, 1019, 300,
  // 0 (stopped), 731 rpm. Unlabelled fans are named after their driver and sysfs number; fans
  // without a maximum or minimum lack those keys.
  const std::map<std::string, std::string> expected = {
      {"#KEY", "ui32 00000010"},  {"TC0P", "sp78 2f00"},      {"TH0x", "sp78 26da"}, {"FNum", "ui8  04"},
      {"F0Ac", "fpe2 0d48"},      {"F0Mn", "fpe2 0000"},      {"F0Mx", "fpe2 3390"}, {"F1Ac", "fpe2 0fec"},
      {"F1Mn", "fpe2 04b0"},      {"F2Ac", "fpe2 0000"},      {"F3Ac", "fpe2 0b6c"}, {"F0ID", "'amdgpu fan1'"},
      {"F1ID", "'nct6798 fan1'"}, {"F3ID", "'nct6798 fan3'"}, {"F1Mx", "missing"},   {"F2Mx", "missing"},
      {"F3Mn", "missing"},        {"F3Mx", "missing"},        {"F4Ac", "missing"},   {"TC0D", "missing"},
      {"Tp09", "missing"},
  };
  for (const auto& [name, value] : expected) EXPECT_EQ(key(*smc, name), value) << name;

  ASSERT_EQ(smc->sources().size(), 15u);  // every key but "#KEY", in key order
  EXPECT_EQ(smc->sources().front().key, "F0Ac");
  EXPECT_EQ(smc->sources().back().key, "TH0x");
  const std::tuple<const char*, std::string, const char*> sources[] = {
      {"TC0P", root + "/sys/class/hwmon/hwmon7/temp1_input", "coretemp Package id 0"},
      {"TH0x", root + "/sys/class/hwmon/hwmon2/temp1_input", "nvme Composite (nvme0n1)"},
      {"F1Mn", root + "/sys/class/hwmon/hwmon5/fan1_min", nullptr},
      {"FNum", "", "4 fans (amdgpu, nct6798)"},
  };
  for (const auto& [name, path, what] : sources) {
    const HwmonKeySource* source = sourceOf(*smc, name);
    ASSERT_NE(source, nullptr) << name;
    EXPECT_EQ(source->path, path);
    EXPECT_EQ(source->source, what != nullptr ? what : source->source);
  }
}

TEST(HwmonSmcTest, AnswersLikeAnSmc) {
  auto smc = HwmonSmc::open(fixture("intel-desktop"));
  ASSERT_NE(smc, nullptr);
  std::uint32_t connection = 0;
  ASSERT_EQ(smc->open(&connection), 0);
  SmcMessage write = smcRequest(kSmcWriteValue, "F0Mn");
  write.dataSize = 2;
  write.bytes[1] = 4;
  const testing::SmcExchange refused = smcExchange(*smc, connection, write);
  EXPECT_EQ(refused.status, 0);
  EXPECT_NE(refused.reply.result, 0) << "writes are refused";
  EXPECT_EQ(key(*smc, "F0Mn"), "fpe2 0000");
  testing::expectForeignCallsRefused(*smc, connection);
}

TEST(HwmonSmcTest, ChoosesTheCpuSensorInOrderOfPreference) {
  const std::tuple<const char*, const char*, const char*> rows[] = {
      {"intel-desktop", "sp78 2f00", "coretemp Package id 0"},
      {"amd-tctl", "sp78 3560", "k10temp Tctl"},                    // 53.375 C
      {"amd-tdie", "sp78 4100", "k10temp Tdie"},                    // 65 C; Tctl reads 75
      {"zenpower-nvme-pci", "sp78 3220", "zenpower Tdie"},          // 50.125 C at temp1
      {"thermal-only", "sp78 3400", "thermal_zone2 x86_pkg_temp"},  // zone 2 before zone 10
      {"applesmc-new", "sp78 33c0", "applesmc TC0P"},               // the SMC's own, not coretemp's 60 C
      {"applesmc-old", "missing", "<no such key>"},                 // an old coretemp knows only cores: nothing made up
  };
  for (const auto& [machine, tc0p, source] : rows) {
    auto smc = HwmonSmc::open(fixture(machine));
    ASSERT_NE(smc, nullptr) << machine;
    EXPECT_EQ(key(*smc, "TC0P"), tc0p) << machine;
    EXPECT_EQ(sourceText(*smc, "TC0P"), source) << machine;
  }

  // A sensor that cannot be opened is passed over.
  FaultyFiles files;
  files.openErrors[fixture("intel-desktop") + "/sys/class/hwmon/hwmon7/temp1_input"] = EACCES;
  auto smc = HwmonSmc::open(fixture("intel-desktop"), {.mainDisk = {}, .files = &files});
  ASSERT_NE(smc, nullptr);
  EXPECT_EQ(key(*smc, "TC0P"), "sp78 3d00");  // Package id 1: 61 C
  EXPECT_EQ(sourceText(*smc, "TC0P"), "coretemp Package id 1");
}

TEST(HwmonSmcTest, FindsTheMainDiskSensor) {
  // Without a name the disk is the one holding the root, which no fixture's sysfs knows.
  const std::tuple<const char*, const char*, const char*, const char*> rows[] = {
      {"intel-desktop", "nvme0n1", "sp78 26da", "nvme Composite (nvme0n1)"},  // hwmon under the controller
      {"intel-desktop", "nvme1n1", "sp78 37da", "nvme Composite (nvme1n1)"},  // 55.85 C
      {"intel-desktop", "nvme0n1p2", "sp78 26da", "nvme Composite (nvme0n1)"},
      {"zenpower-nvme-pci", "nvme0n1", "sp78 28da", "nvme Composite (nvme0n1)"},  // under the PCI function
      {"zenpower-nvme-pci", "nvme1n1", "sp78 3c00", "nvme Composite (nvme1n1)"},
      {"amd-tctl", "sda", "sp78 1f00", "drivetemp (sda)"},  // 31 C
      {"amd-tctl", "sdb", "sp78 2800", "drivetemp (sdb)"},  // 40 C
      {"amd-tctl", "sda1", "sp78 1f00", "drivetemp (sda)"},
      {"amd-tctl", "sdz", "missing", "<no such key>"},
      {"amd-tctl", "nvme0n1", "missing", "<no such key>"},
      {"amd-tctl", "", "missing", "<no such key>"},
  };
  for (const auto& [machine, disk, th0x, source] : rows) {
    auto smc = HwmonSmc::open(fixture(machine), {.mainDisk = disk});
    ASSERT_NE(smc, nullptr);
    EXPECT_EQ(key(*smc, "TH0x"), th0x) << machine << " " << disk;
    EXPECT_EQ(sourceText(*smc, "TH0x"), source) << machine << " " << disk;
  }

  // The disk holding the root, from its partition.
  testing::TempTree amd;
  amd.copyFrom(fixture("amd-tctl"));
  const std::string sdb = "/sys/devices/pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0/block/sdb";
  amd.link("/sys/dev/block/" + deviceNumberOf(amd.root()), sdb + "/sdb2");
  auto smc = HwmonSmc::open(amd.root());
  ASSERT_NE(smc, nullptr);
  EXPECT_EQ(key(*smc, "TH0x"), "sp78 2800");
  EXPECT_EQ(sourceText(*smc, "TH0x"), "drivetemp (sdb)");

  // Through LVM and multipath: the root's device is dm-0, an LVM volume on nvme0n1p3; nvme0n1 is a
  // namespace of subsystem nvme-subsys0, whose one controller nvme0 carries the hwmon device.
  testing::TempTree tree;
  const std::string pci = "/sys/devices/pci0000:00/0000:00:06.0/0000:02:00.0";
  const std::string controller = pci + "/nvme/nvme0";
  const std::string subsystem = "/sys/devices/virtual/nvme-subsystem/nvme-subsys0";
  tree.link(controller + "/device", pci);
  tree.write(controller + "/hwmon1/name", "nvme\n");
  tree.write(controller + "/hwmon1/temp1_label", "Composite\n");
  tree.write(controller + "/hwmon1/temp1_input", "44850\n");
  tree.link(controller + "/hwmon1/device", controller);
  tree.link("/sys/class/hwmon/hwmon1", controller + "/hwmon1");
  tree.link(subsystem + "/nvme0", controller);
  tree.link(subsystem + "/nvme0n1/device", subsystem);
  tree.write(subsystem + "/nvme0n1/nvme0n1p3/partition", "3\n");
  tree.link("/sys/devices/virtual/block/dm-0/slaves/nvme0n1p3", subsystem + "/nvme0n1/nvme0n1p3");
  tree.link("/sys/dev/block/" + deviceNumberOf(tree.root()), "/sys/devices/virtual/block/dm-0");
  smc = HwmonSmc::open(tree.root());
  ASSERT_NE(smc, nullptr);
  EXPECT_EQ(key(*smc, "TH0x"), "sp78 2cda");  // 44.85 C
  EXPECT_EQ(sourceText(*smc, "TH0x"), "nvme Composite (nvme0n1)");
}

TEST(HwmonSmcTest, IntelMacsInEitherLayout) {
  auto smc = HwmonSmc::open(fixture("applesmc-new"), {.mainDisk = "sda"});
  ASSERT_NE(smc, nullptr);
  EXPECT_EQ(listKeys(*smc),
            "#KEY F0Ac F0ID F0Mn F0Mx F1Ac F1ID F1Mn F1Mx F2Ac F2ID FNum TA0P TC0D TC0P TH0P TH0x Th1H ");
  // Every temperature under its own key, 0.25 C steps exact; applesmc's fans first, whatever the
  // other drivers are called; TH0x is the SATA disk's drivetemp.
  const std::map<std::string, std::string> expected = {
      {"TA0P", "sp78 1f40"},     {"TC0D", "sp78 3700"}, {"TC0P", "sp78 33c0"},   {"Th1H", "sp78 2d80"},
      {"TH0x", "sp78 2100"},     {"FNum", "ui8  03"},   {"F0ID", "'Left side'"}, {"F1ID", "'Right side'"},
      {"F2ID", "'amdgpu fan1'"}, {"F0Ac", "fpe2 1f44"}, {"F0Mn", "fpe2 1f40"},   {"F0Mx", "fpe2 6030"},
      {"F1Mx", "fpe2 5910"},
  };
  for (const auto& [name, value] : expected) EXPECT_EQ(key(*smc, name), value) << name;
  EXPECT_EQ(sourceText(*smc, "TA0P"), "applesmc TA0P");

  smc = HwmonSmc::open(fixture("applesmc-old"));
  ASSERT_NE(smc, nullptr);
  EXPECT_EQ(listKeys(*smc), "#KEY F0Ac F0ID F0Mn F0Mx FNum TB0T TC0D Tm0P ");
  EXPECT_EQ(key(*smc, "TC0D"), "sp78 3140");  // 49.25
  EXPECT_EQ(key(*smc, "F0Ac"), "fpe2 144c");  // 1299
  EXPECT_EQ(key(*smc, "F0Mx"), "fpe2 60e0");  // 6200
  EXPECT_EQ(key(*smc, "F0ID"), "'Master'");
  ASSERT_NE(sourceOf(*smc, "TB0T"), nullptr);
  EXPECT_EQ(sourceOf(*smc, "TB0T")->path, fixture("applesmc-old") + "/sys/class/hwmon/hwmon0/device/temp1_input");
}

TEST(HwmonSmcTest, ReadsEveryValueAfresh) {
  testing::TempTree tree;
  tree.copyFrom(fixture("intel-desktop"));
  auto smc = HwmonSmc::open(tree.root());
  ASSERT_NE(smc, nullptr);
  const std::string package = "/sys/devices/platform/coretemp.2/hwmon/hwmon7/temp1_input";  // TC0P
  const std::string fan = "/sys/devices/platform/nct6775.656/hwmon/hwmon5/fan1_input";      // F1Ac
  const std::tuple<const std::string*, const char*, const char*> rows[] = {
      {&package, "38850", "sp78 26da"},                                // 9945.6 rounds up
      {&package, "1", "sp78 0000"},                                    // 0.256
      {&package, "2", "sp78 0001"},                                    // 0.512
      {&package, "-5000", "sp78 fb00"},                                //
      {&package, "-1002", "sp78 feff"},                                // -256.512 rounds away from zero
      {&package, "127998", "sp78 7fff"},                               // 32767.49
      {&package, "128000", "sp78 7fff"},                               // clamped
      {&package, "-999999", "sp78 8000"},                              // clamped
      {&package, "+40000", "sp78 2800"},                               //
      {&package, "  40000  ", "sp78 2800"},                            //
      {&package, "", "sp78 failed"},                                   //
      {&package, "abc", "sp78 failed"},                                //
      {&package, "40000x", "sp78 failed"},                             //
      {&package, "4 0", "sp78 failed"},                                //
      {&package, "-", "sp78 failed"},                                  //
      {&package, "123456789012345678901234567890123", "sp78 failed"},  // longer than any reading
      {&fan, "1200", "fpe2 12c0"},                                     //
      {&fan, "16383", "fpe2 fffc"},                                    //
      {&fan, "20000", "fpe2 fffc"},                                    // clamped to what fpe2 holds
      {&fan, "-1", "fpe2 0000"},                                       //
      {&fan, "fast", "fpe2 failed"},                                   //
  };
  for (const auto& [file, text, expected] : rows) {
    tree.write(*file, std::string(text) + "\n");
    EXPECT_EQ(key(*smc, *file == package ? "TC0P" : "F1Ac"), expected) << "\"" << text << "\"";
  }
}

TEST(HwmonSmcTest, ASensorErrorFailsOnlyItsExchangeAndEveryDescriptorIsClosed) {
  const std::string root = fixture("intel-desktop");
  FaultyFiles files;
  auto smc = HwmonSmc::open(root, {.mainDisk = "nvme0n1", .files = &files});
  ASSERT_NE(smc, nullptr);
  const std::string package = root + "/sys/class/hwmon/hwmon7/temp1_input";
  for (int error : {EIO, ENODATA, ENXIO, EAGAIN, EINVAL}) {
    files.readErrors[package] = error;
    EXPECT_EQ(key(*smc, "TC0P"), "sp78 failed") << error;
    EXPECT_EQ(key(*smc, "TH0x"), "sp78 26da") << error;
    files.readErrors.erase(package);
    EXPECT_EQ(key(*smc, "TC0P"), "sp78 2f00") << "recovers once the sensor reads again";
  }
  files.readErrors[root + "/sys/class/hwmon/hwmon5/fan1_input"] = ENODATA;
  EXPECT_EQ(key(*smc, "F1Ac"), "fpe2 failed");
  EXPECT_EQ(key(*smc, "F1Mn"), "fpe2 04b0");
  EXPECT_EQ(key(*smc, "F1ID"), "'nct6798 fan1'");

  smc = HwmonSmc::open(fixture("applesmc-new"), {.mainDisk = "sda", .files = &files});
  ASSERT_NE(smc, nullptr);
  // Each live key holds one descriptor; coretemp's overridden TC0P was given back at open.
  EXPECT_EQ(files.openPaths.size(), 13u);
  smc.reset();
  EXPECT_TRUE(files.openPaths.empty());
  EXPECT_EQ(HwmonSmc::open(fixture("no-sensors"), {.mainDisk = {}, .files = &files}), nullptr);
  EXPECT_TRUE(files.openPaths.empty());
}

TEST(HwmonSmcTest, NumbersAtMostNineFansAndFitsTheirNames) {
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
  const std::map<std::string, std::string> expected = {
      {"FNum", "ui8  09"},   {"F0ID", "'asus_ec fan2'"}, {"F4ID", "'asus_e fan10'"},
      {"F4Ac", "fpe2 0fb4"}, {"F7ID", "'Processor Fa'"}, {"F8ID", "'Lüfter Geh'"},
      {"F8Ac", "fpe2 20d0"}, {"F9Ac", "missing"},        {"F9ID", "missing"},
  };
  for (const auto& [name, value] : expected) EXPECT_EQ(key(*smc, name), value) << name;
}

TEST(HwmonSmcTest, OpensNothingWithoutSensors) {
  EXPECT_EQ(HwmonSmc::open(fixture("no-sensors")), nullptr);
  EXPECT_EQ(HwmonSmc::open(fixture("no-such-machine")), nullptr);
  testing::TempTree tree;
  tree.write("sys/class/hwmon/.keep", "");
  EXPECT_EQ(HwmonSmc::open(tree.root()), nullptr);
}

}  // namespace
}  // namespace trellis::lnx
