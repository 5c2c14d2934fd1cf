// Tests of the hwmon transport against sysfs trees: the committed machines under
// tests/fixtures/hwmon/ and trees built here where a case needs live edits, the test's own device
// number or many fans. Every value is checked through SMC exchanges, as the client sees it.
#include "platform/linux/hwmon_smc.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace trellis::linux {
namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<std::uint8_t>;

std::string fixture(const std::string& name) { return std::string(TRELLIS_TEST_FIXTURES) + "/hwmon/" + name; }

std::string fourCC(std::uint32_t code) {
  return {static_cast<char>(code >> 24), static_cast<char>(code >> 16), static_cast<char>(code >> 8),
          static_cast<char>(code)};
}

std::uint32_t code(const std::string& name) { return smcFourCC(name.c_str()); }

// What a client learns about one key: key information (9), then read value (5).
struct Reading {
  int call = 0;  // kernel-call code of the failing exchange, or 0
  std::uint8_t result = 0;
  std::string type;
  Bytes bytes;
};

Reading readKey(HwmonSmc& smc, const std::string& key) {
  std::uint32_t connection = 0;
  EXPECT_EQ(smc.open(&connection), 0);
  EXPECT_NE(connection, 0u);

  Reading reading;
  SmcMessage request{};
  SmcMessage reply{};
  std::size_t size = sizeof reply;
  request.key = code(key);
  request.command = kSmcKeyInformation;
  reading.call = smc.call(connection, kSmcSelector, request, &reply, &size);
  reading.result = reply.result;
  if (reading.call != 0 || reading.result != 0) return reading;
  EXPECT_EQ(size, sizeof(SmcMessage));
  reading.type = fourCC(reply.dataType);
  const std::uint32_t dataSize = reply.dataSize;

  request = {};
  request.key = code(key);
  request.command = kSmcReadValue;
  request.dataSize = dataSize;
  reply = {};
  size = sizeof reply;
  reading.call = smc.call(connection, kSmcSelector, request, &reply, &size);
  reading.result = reply.result;
  if (reading.call == 0 && reading.result == 0) reading.bytes.assign(reply.bytes, reply.bytes + dataSize);
  return reading;
}

// The value bytes of a key that must read; a failure shows as a test failure and no bytes.
Bytes valueOf(HwmonSmc& smc, const std::string& key) {
  Reading reading = readKey(smc, key);
  EXPECT_EQ(reading.call, 0) << key;
  EXPECT_EQ(reading.result, 0) << key;
  return reading.bytes;
}

// The key listing a client makes: "#KEY", then key at index (8) for every index.
std::vector<std::string> listKeys(HwmonSmc& smc) {
  const Bytes count = valueOf(smc, "#KEY");
  if (count.size() != 4) return {};
  const std::uint32_t n = (std::uint32_t{count[0]} << 24) | (count[1] << 16) | (count[2] << 8) | count[3];
  std::vector<std::string> keys;
  for (std::uint32_t i = 0; i <= n; ++i) {
    SmcMessage request{};
    SmcMessage reply{};
    std::size_t size = sizeof reply;
    request.command = kSmcKeyAtIndex;
    request.index = i;
    EXPECT_EQ(smc.call(1, kSmcSelector, request, &reply, &size), 0);
    if (i == n) {
      EXPECT_EQ(reply.result, kSmcKeyNotFound) << "index past the last key";
    } else {
      EXPECT_EQ(reply.result, 0);
      keys.push_back(fourCC(reply.key));
    }
  }
  return keys;
}

// The fan identifier a client would show: bytes 4 on, up to the first zero.
std::string fanId(const Bytes& bytes) {
  if (bytes.size() < 4) return "<short>";
  std::string text(bytes.begin() + 4, bytes.end());
  return text.substr(0, text.find('\0'));
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

// A sysfs tree of the test's own, removed afterwards. Paths are given from the tree's root.
class TempTree {
 public:
  TempTree() {
    char name[] = "/tmp/trellis-hwmon-XXXXXX";
    root_ = mkdtemp(name) != nullptr ? name : "";
  }
  ~TempTree() {
    std::error_code error;
    fs::remove_all(root_, error);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + relative; }

  void copyFrom(const std::string& source) {
    fs::copy(source, root_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }
  void file(const std::string& relative, const std::string& content) {
    fs::create_directories(fs::path(path(relative)).parent_path());
    std::ofstream(path(relative)) << content << "\n";
  }
  // A link at `relative` to `target`, both from the root, written relative as sysfs does.
  void link(const std::string& relative, const std::string& target) {
    fs::create_directories(fs::path(path(relative)).parent_path());
    fs::create_directory_symlink(fs::path(target).lexically_relative(fs::path(relative).parent_path()), path(relative));
  }

 private:
  std::string root_;
};

// Real file access with faults put in on request: a path's reads fail with a chosen errno while
// it is marked, opens of a marked path fail; every descriptor is tracked.
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

// ---- A whole machine ---------------------------------------------------------------------------

TEST(HwmonSmcTest, IntelDesktopKeySpace) {
  auto smc = HwmonSmc::open(fixture("intel-desktop"), {.mainDisk = "nvme0n1"});
  ASSERT_NE(smc, nullptr);

  // Sorted by key code; amdgpu's fan first (drivers by name), then nct6798's three.
  const std::vector<std::string> expected = {"#KEY", "F0Ac", "F0ID", "F0Mn", "F0Mx", "F1Ac", "F1ID", "F1Mn",
                                             "F2Ac", "F2ID", "F2Mn", "F3Ac", "F3ID", "FNum", "TC0P", "TH0x"};
  EXPECT_EQ(listKeys(*smc), expected);
  EXPECT_EQ(valueOf(*smc, "#KEY"), (Bytes{0, 0, 0, 16}));

  // Package id 0 (47.0 C), although packages 2 and 1 have the lower hwmon number and device path.
  Reading cpu = readKey(*smc, "TC0P");
  EXPECT_EQ(cpu.type, "sp78");
  EXPECT_EQ(cpu.bytes, (Bytes{0x2F, 0x00}));
  // nvme0's Composite, 38.85 C -> 9945.6 -> 9946; nvme1 reads 55.85.
  EXPECT_EQ(readKey(*smc, "TH0x").bytes, (Bytes{0x26, 0xDA}));

  Reading count = readKey(*smc, "FNum");
  EXPECT_EQ(count.type, "ui8 ");
  EXPECT_EQ(count.bytes, Bytes{4});

  Reading speed = readKey(*smc, "F0Ac");
  EXPECT_EQ(speed.type, "fpe2");
  EXPECT_EQ(speed.bytes, (Bytes{0x0D, 0x48}));            // 850 rpm
  EXPECT_EQ(valueOf(*smc, "F0Mn"), (Bytes{0x00, 0x00}));  // 0
  EXPECT_EQ(valueOf(*smc, "F0Mx"), (Bytes{0x33, 0x90}));  // 3300
  EXPECT_EQ(valueOf(*smc, "F1Ac"), (Bytes{0x0F, 0xEC}));  // 1019
  EXPECT_EQ(valueOf(*smc, "F1Mn"), (Bytes{0x04, 0xB0}));  // 300
  EXPECT_EQ(valueOf(*smc, "F2Ac"), (Bytes{0x00, 0x00}));  // stopped
  EXPECT_EQ(valueOf(*smc, "F3Ac"), (Bytes{0x0B, 0x6C}));  // 731

  // Unlabelled fans are named after their driver and sysfs number.
  Reading id = readKey(*smc, "F0ID");
  EXPECT_EQ(id.type, "{fds");
  ASSERT_EQ(id.bytes.size(), 16u);
  EXPECT_EQ(id.bytes, (Bytes{0, 0, 0, 0, 'a', 'm', 'd', 'g', 'p', 'u', ' ', 'f', 'a', 'n', '1', 0}));
  EXPECT_EQ(fanId(valueOf(*smc, "F1ID")), "nct6798 fan1");
  EXPECT_EQ(fanId(valueOf(*smc, "F3ID")), "nct6798 fan3");

  // Keys the machine does not have: fans without a maximum or minimum, anything else.
  for (const char* absent : {"F1Mx", "F2Mx", "F3Mn", "F3Mx", "F4Ac", "TC0D", "Tp09"}) {
    Reading reading = readKey(*smc, absent);
    EXPECT_EQ(reading.call, 0) << absent;
    EXPECT_EQ(reading.result, kSmcKeyNotFound) << absent;
  }
}

TEST(HwmonSmcTest, DescribesWhereEachKeyComesFrom) {
  const std::string root = fixture("intel-desktop");
  auto smc = HwmonSmc::open(root, {.mainDisk = "nvme0n1"});
  ASSERT_NE(smc, nullptr);

  ASSERT_EQ(smc->sources().size(), 15u);  // every key but "#KEY", in key order
  EXPECT_EQ(smc->sources().front().key, "F0Ac");
  EXPECT_EQ(smc->sources().back().key, "TH0x");

  const HwmonKeySource* cpu = sourceOf(*smc, "TC0P");
  ASSERT_NE(cpu, nullptr);
  EXPECT_EQ(cpu->path, root + "/sys/class/hwmon/hwmon7/temp1_input");
  EXPECT_EQ(cpu->source, "coretemp Package id 0");
  const HwmonKeySource* disk = sourceOf(*smc, "TH0x");
  ASSERT_NE(disk, nullptr);
  EXPECT_EQ(disk->path, root + "/sys/class/hwmon/hwmon2/temp1_input");
  EXPECT_EQ(disk->source, "nvme Composite (nvme0n1)");
  const HwmonKeySource* fan = sourceOf(*smc, "F1Mn");
  ASSERT_NE(fan, nullptr);
  EXPECT_EQ(fan->path, root + "/sys/class/hwmon/hwmon5/fan1_min");
  const HwmonKeySource* count = sourceOf(*smc, "FNum");
  ASSERT_NE(count, nullptr);
  EXPECT_EQ(count->path, "");
  EXPECT_EQ(count->source, "4 fans (amdgpu, nct6798)");
}

TEST(HwmonSmcTest, AnswersLikeAnSmc) {
  auto smc = HwmonSmc::open(fixture("intel-desktop"));
  ASSERT_NE(smc, nullptr);
  std::uint32_t connection = 0;
  ASSERT_EQ(smc->open(&connection), 0);

  SmcMessage request{};
  SmcMessage reply{};
  std::size_t size = sizeof reply;
  request.key = code("F0Mn");
  request.command = kSmcWriteValue;
  request.dataSize = 2;
  request.bytes[1] = 4;
  EXPECT_EQ(smc->call(connection, kSmcSelector, request, &reply, &size), 0);
  EXPECT_NE(reply.result, 0) << "writes are refused";
  EXPECT_EQ(valueOf(*smc, "F0Mn"), (Bytes{0x00, 0x00}));

  request = {};
  request.key = code("TC0P");
  request.command = kSmcReadValue;
  request.dataSize = 2;
  EXPECT_EQ(smc->call(connection, 3, request, &reply, &size), kSmcIOError) << "wrong selector";
  EXPECT_EQ(smc->call(connection + 1, kSmcSelector, request, &reply, &size), kSmcIOError) << "wrong connection";
  size = sizeof reply - 1;
  EXPECT_EQ(smc->call(connection, kSmcSelector, request, &reply, &size), kSmcIOError) << "short reply buffer";
  size = sizeof reply;
  EXPECT_EQ(smc->call(connection, kSmcSelector, request, &reply, &size), 0);
  EXPECT_EQ(size, sizeof(SmcMessage));
}

// ---- Which sensor stands for the CPU -----------------------------------------------------------

struct CpuCase {
  const char* machine;
  Bytes tc0p;
  const char* source;
};

TEST(HwmonSmcTest, ChoosesTheCpuSensorInOrderOfPreference) {
  const CpuCase cases[] = {
      {"intel-desktop", {0x2F, 0x00}, "coretemp Package id 0"},
      {"amd-tctl", {0x35, 0x60}, "k10temp Tctl"},                    // 53.375 C
      {"amd-tdie", {0x41, 0x00}, "k10temp Tdie"},                    // 65 C; Tctl reads 75
      {"zenpower-nvme-pci", {0x32, 0x20}, "zenpower Tdie"},          // 50.125 C at temp1
      {"thermal-only", {0x34, 0x00}, "thermal_zone2 x86_pkg_temp"},  // zone 2 before zone 10
      {"applesmc-new", {0x33, 0xC0}, "applesmc TC0P"},               // the SMC's own, not coretemp's 60 C
  };
  for (const CpuCase& c : cases) {
    SCOPED_TRACE(c.machine);
    auto smc = HwmonSmc::open(fixture(c.machine));
    ASSERT_NE(smc, nullptr);
    Reading reading = readKey(*smc, "TC0P");
    EXPECT_EQ(reading.type, "sp78");
    EXPECT_EQ(reading.bytes, c.tc0p);
    const HwmonKeySource* source = sourceOf(*smc, "TC0P");
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->source, c.source);
  }

  // An old coretemp knows only cores: no package temperature is made up from them.
  auto old = HwmonSmc::open(fixture("applesmc-old"));
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(readKey(*old, "TC0P").result, kSmcKeyNotFound);
}

TEST(HwmonSmcTest, PassesOverACpuSensorThatCannotBeOpened) {
  const std::string root = fixture("intel-desktop");
  FaultyFiles files;
  files.openErrors[root + "/sys/class/hwmon/hwmon7/temp1_input"] = EACCES;
  auto smc = HwmonSmc::open(root, {.mainDisk = {}, .files = &files});
  ASSERT_NE(smc, nullptr);
  EXPECT_EQ(valueOf(*smc, "TC0P"), (Bytes{0x3D, 0x00}));  // Package id 1: 61 C
  EXPECT_EQ(sourceText(*smc, "TC0P"), "coretemp Package id 1");
}

// ---- The main disk -------------------------------------------------------------------------------

struct DiskCase {
  const char* machine;
  const char* disk;
  Bytes th0x;  // empty: no TH0x
  const char* source;
};

TEST(HwmonSmcTest, FindsTheMainDiskSensor) {
  const DiskCase cases[] = {
      {"intel-desktop", "nvme0n1", {0x26, 0xDA}, "nvme Composite (nvme0n1)"},  // hwmon under the controller
      {"intel-desktop", "nvme1n1", {0x37, 0xDA}, "nvme Composite (nvme1n1)"},  // 55.85 C
      {"intel-desktop", "nvme0n1p2", {0x26, 0xDA}, "nvme Composite (nvme0n1)"},
      {"zenpower-nvme-pci", "nvme0n1", {0x28, 0xDA}, "nvme Composite (nvme0n1)"},  // under the PCI function
      {"zenpower-nvme-pci", "nvme1n1", {0x3C, 0x00}, "nvme Composite (nvme1n1)"},
      {"amd-tctl", "sda", {0x1F, 0x00}, "drivetemp (sda)"},  // 31 C
      {"amd-tctl", "sdb", {0x28, 0x00}, "drivetemp (sdb)"},  // 40 C
      {"amd-tctl", "sda1", {0x1F, 0x00}, "drivetemp (sda)"},
      {"amd-tctl", "sdz", {}, nullptr},
      {"amd-tctl", "nvme0n1", {}, nullptr},
      // Without a name the disk is the one holding the root, which no fixture's sysfs knows.
      {"amd-tctl", "", {}, nullptr},
  };
  for (const DiskCase& c : cases) {
    SCOPED_TRACE(std::string(c.machine) + " " + c.disk);
    auto smc = HwmonSmc::open(fixture(c.machine), {.mainDisk = c.disk});
    ASSERT_NE(smc, nullptr);
    Reading reading = readKey(*smc, "TH0x");
    if (c.th0x.empty()) {
      EXPECT_EQ(reading.result, kSmcKeyNotFound);
      continue;
    }
    EXPECT_EQ(reading.type, "sp78");
    EXPECT_EQ(reading.bytes, c.th0x);
    EXPECT_EQ(sourceText(*smc, "TH0x"), c.source);
  }
}

std::string deviceNumberOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0);
  return std::to_string(major(status.st_dev)) + ":" + std::to_string(minor(status.st_dev));
}

TEST(HwmonSmcTest, FindsTheDiskHoldingTheRootThroughLvmAndMultipath) {
  // The root's device is dm-0, an LVM volume on nvme0n1p3; nvme0n1 is a multipath namespace of
  // subsystem nvme-subsys0, whose one controller nvme0 carries the hwmon device.
  TempTree tree;
  ASSERT_FALSE(tree.root().empty());
  const std::string pci = "/sys/devices/pci0000:00/0000:00:06.0/0000:02:00.0";
  const std::string controller = pci + "/nvme/nvme0";
  const std::string subsystem = "/sys/devices/virtual/nvme-subsystem/nvme-subsys0";
  const std::string dm = "/sys/devices/virtual/block/dm-0";
  tree.link(controller + "/device", pci);
  tree.file(controller + "/hwmon1/name", "nvme");
  tree.file(controller + "/hwmon1/temp1_label", "Composite");
  tree.file(controller + "/hwmon1/temp1_input", "44850");
  tree.link(controller + "/hwmon1/device", controller);
  tree.link("/sys/class/hwmon/hwmon1", controller + "/hwmon1");
  tree.link(subsystem + "/nvme0", controller);
  tree.link(subsystem + "/nvme0n1/device", subsystem);
  tree.file(subsystem + "/nvme0n1/nvme0n1p3/partition", "3");
  tree.link(dm + "/slaves/nvme0n1p3", subsystem + "/nvme0n1/nvme0n1p3");
  tree.link("/sys/dev/block/" + deviceNumberOf(tree.root()), dm);

  auto smc = HwmonSmc::open(tree.root());
  ASSERT_NE(smc, nullptr);
  EXPECT_EQ(valueOf(*smc, "TH0x"), (Bytes{0x2C, 0xDA}));  // 44.85 C
  EXPECT_EQ(sourceText(*smc, "TH0x"), "nvme Composite (nvme0n1)");
}

TEST(HwmonSmcTest, FindsTheDiskHoldingTheRootFromItsPartition) {
  TempTree tree;
  ASSERT_FALSE(tree.root().empty());
  tree.copyFrom(fixture("amd-tctl"));
  const std::string sdb = "/sys/devices/pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0/block/sdb";
  tree.link("/sys/dev/block/" + deviceNumberOf(tree.root()), sdb + "/sdb2");

  auto smc = HwmonSmc::open(tree.root());
  ASSERT_NE(smc, nullptr);
  EXPECT_EQ(valueOf(*smc, "TH0x"), (Bytes{0x28, 0x00}));
  EXPECT_EQ(sourceText(*smc, "TH0x"), "drivetemp (sdb)");
}

// ---- Intel Macs ----------------------------------------------------------------------------------

TEST(HwmonSmcTest, AppleSmcInItsHwmonDirectory) {
  auto smc = HwmonSmc::open(fixture("applesmc-new"), {.mainDisk = "sda"});
  ASSERT_NE(smc, nullptr);
  const std::vector<std::string> expected = {"#KEY", "F0Ac", "F0ID", "F0Mn", "F0Mx", "F1Ac", "F1ID", "F1Mn", "F1Mx",
                                             "F2Ac", "F2ID", "FNum", "TA0P", "TC0D", "TC0P", "TH0P", "TH0x", "Th1H"};
  EXPECT_EQ(listKeys(*smc), expected);

  // Every temperature under its own key; 0.25 C steps come back exact.
  EXPECT_EQ(valueOf(*smc, "TA0P"), (Bytes{0x1F, 0x40}));  // 31.25
  EXPECT_EQ(valueOf(*smc, "TC0D"), (Bytes{0x37, 0x00}));  // 55
  EXPECT_EQ(valueOf(*smc, "TC0P"), (Bytes{0x33, 0xC0}));  // 51.75
  EXPECT_EQ(valueOf(*smc, "Th1H"), (Bytes{0x2D, 0x80}));  // 45.5
  EXPECT_EQ(readKey(*smc, "Th1H").type, "sp78");
  EXPECT_EQ(valueOf(*smc, "TH0x"), (Bytes{0x21, 0x00}));  // the SATA disk's drivetemp, 33 C
  EXPECT_EQ(sourceText(*smc, "TA0P"), "applesmc TA0P");

  // applesmc's fans come first, whatever the other drivers are called.
  EXPECT_EQ(valueOf(*smc, "FNum"), Bytes{3});
  EXPECT_EQ(fanId(valueOf(*smc, "F0ID")), "Left side");
  EXPECT_EQ(fanId(valueOf(*smc, "F1ID")), "Right side");
  EXPECT_EQ(fanId(valueOf(*smc, "F2ID")), "amdgpu fan1");
  EXPECT_EQ(valueOf(*smc, "F0Ac"), (Bytes{0x1F, 0x44}));  // 2001
  EXPECT_EQ(valueOf(*smc, "F0Mn"), (Bytes{0x1F, 0x40}));  // 2000
  EXPECT_EQ(valueOf(*smc, "F0Mx"), (Bytes{0x60, 0x30}));  // 6156
  EXPECT_EQ(valueOf(*smc, "F1Mx"), (Bytes{0x59, 0x10}));  // 5700
}

TEST(HwmonSmcTest, AppleSmcInItsPlatformDeviceDirectory) {
  auto smc = HwmonSmc::open(fixture("applesmc-old"));
  ASSERT_NE(smc, nullptr);
  const std::vector<std::string> expected = {"#KEY", "F0Ac", "F0ID", "F0Mn", "F0Mx", "FNum", "TB0T", "TC0D", "Tm0P"};
  EXPECT_EQ(listKeys(*smc), expected);
  EXPECT_EQ(valueOf(*smc, "TC0D"), (Bytes{0x31, 0x40}));  // 49.25
  EXPECT_EQ(valueOf(*smc, "F0Ac"), (Bytes{0x14, 0x4C}));  // 1299
  EXPECT_EQ(valueOf(*smc, "F0Mx"), (Bytes{0x60, 0xE0}));  // 6200
  EXPECT_EQ(fanId(valueOf(*smc, "F0ID")), "Master");
  const HwmonKeySource* source = sourceOf(*smc, "TB0T");
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->path, fixture("applesmc-old") + "/sys/class/hwmon/hwmon0/device/temp1_input");
}

// ---- Values ----------------------------------------------------------------------------------------

TEST(HwmonSmcTest, ReadsEveryValueAfresh) {
  TempTree tree;
  ASSERT_FALSE(tree.root().empty());
  tree.copyFrom(fixture("intel-desktop"));
  auto smc = HwmonSmc::open(tree.root());
  ASSERT_NE(smc, nullptr);
  const std::string package = "/sys/devices/platform/coretemp.2/hwmon/hwmon7/temp1_input";
  const std::string fan = "/sys/devices/platform/nct6775.656/hwmon/hwmon5/fan1_input";  // F1Ac

  struct Case {
    const char* text;
    std::optional<Bytes> tc0p;  // nothing: the exchange fails
  };
  const Case temperatures[] = {
      {"38850", Bytes{0x26, 0xDA}},    // 9945.6 rounds up
      {"1", Bytes{0x00, 0x00}},        // 0.256
      {"2", Bytes{0x00, 0x01}},        // 0.512
      {"-5000", Bytes{0xFB, 0x00}},    // -5 C
      {"-1002", Bytes{0xFE, 0xFF}},    // -256.512 rounds away from zero
      {"127998", Bytes{0x7F, 0xFF}},   // 32767.49
      {"128000", Bytes{0x7F, 0xFF}},   // clamped
      {"-999999", Bytes{0x80, 0x00}},  // clamped
      {"+40000", Bytes{0x28, 0x00}},
      {"  40000  ", Bytes{0x28, 0x00}},
      {"", std::nullopt},
      {"abc", std::nullopt},
      {"40000x", std::nullopt},
      {"4 0", std::nullopt},
      {"-", std::nullopt},
      {"123456789012345678901234567890123", std::nullopt},  // longer than any reading
  };
  for (const Case& c : temperatures) {
    SCOPED_TRACE(std::string("temperature \"") + c.text + "\"");
    tree.file(package, c.text);
    Reading reading = readKey(*smc, "TC0P");
    if (c.tc0p) {
      EXPECT_EQ(reading.call, 0);
      EXPECT_EQ(reading.bytes, *c.tc0p);
    } else {
      EXPECT_EQ(reading.call, kSmcIOError);
    }
  }

  const Case speeds[] = {
      {"1200", Bytes{0x12, 0xC0}},  {"16383", Bytes{0xFF, 0xFC}},
      {"20000", Bytes{0xFF, 0xFC}},  // clamped to what fpe2 holds
      {"-1", Bytes{0x00, 0x00}},    {"fast", std::nullopt},
  };
  for (const Case& c : speeds) {
    SCOPED_TRACE(std::string("speed \"") + c.text + "\"");
    tree.file(fan, c.text);
    Reading reading = readKey(*smc, "F1Ac");
    if (c.tc0p) {
      EXPECT_EQ(reading.call, 0);
      EXPECT_EQ(reading.bytes, *c.tc0p);
    } else {
      EXPECT_EQ(reading.call, kSmcIOError);
    }
  }
}

TEST(HwmonSmcTest, ASensorErrorFailsTheExchange) {
  const std::string root = fixture("intel-desktop");
  FaultyFiles files;
  auto smc = HwmonSmc::open(root, {.mainDisk = "nvme0n1", .files = &files});
  ASSERT_NE(smc, nullptr);
  const std::string package = root + "/sys/class/hwmon/hwmon7/temp1_input";
  const std::string fan = root + "/sys/class/hwmon/hwmon5/fan1_input";

  for (int error : {EIO, ENODATA, ENXIO, EAGAIN, EINVAL}) {
    SCOPED_TRACE(error);
    files.readErrors[package] = error;
    Reading failed = readKey(*smc, "TC0P");
    EXPECT_EQ(failed.call, kSmcIOError);
    EXPECT_TRUE(failed.bytes.empty());
    // The key's information and other keys are unaffected.
    EXPECT_EQ(failed.type, "sp78");
    EXPECT_EQ(valueOf(*smc, "TH0x"), (Bytes{0x26, 0xDA}));
    files.readErrors.erase(package);
    EXPECT_EQ(valueOf(*smc, "TC0P"), (Bytes{0x2F, 0x00})) << "recovers once the sensor reads again";
  }

  files.readErrors[fan] = ENODATA;
  EXPECT_EQ(readKey(*smc, "F1Ac").call, kSmcIOError);
  EXPECT_EQ(valueOf(*smc, "F1Mn"), (Bytes{0x04, 0xB0}));
  EXPECT_EQ(fanId(valueOf(*smc, "F1ID")), "nct6798 fan1");
}

TEST(HwmonSmcTest, ClosesEveryDescriptorItOpened) {
  FaultyFiles files;
  {
    auto smc = HwmonSmc::open(fixture("applesmc-new"), {.mainDisk = "sda", .files = &files});
    ASSERT_NE(smc, nullptr);
    // Each live key holds one descriptor; coretemp's overridden TC0P was given back at open.
    EXPECT_EQ(files.openPaths.size(), 13u);
  }
  EXPECT_TRUE(files.openPaths.empty());
  EXPECT_EQ(HwmonSmc::open(fixture("no-sensors"), {.mainDisk = {}, .files = &files}), nullptr);
  EXPECT_TRUE(files.openPaths.empty());
}

// ---- Fans ------------------------------------------------------------------------------------------

TEST(HwmonSmcTest, NumbersAtMostNineFansAndFitsTheirNames) {
  TempTree tree;
  ASSERT_FALSE(tree.root().empty());
  const std::string ec = "/sys/devices/platform/asus-ec-sensors/hwmon/hwmon3";
  tree.file(ec + "/name", "asus_ec_sensors");
  for (int n = 1; n <= 7; ++n) tree.file(ec + "/fan" + std::to_string(n * 2) + "_input", std::to_string(1000 + n));
  tree.link("/sys/class/hwmon/hwmon3", ec);
  const std::string dell = "/sys/devices/platform/dell_smm_hwmon/hwmon/hwmon0";
  tree.file(dell + "/name", "dell_smm");
  tree.file(dell + "/fan1_input", "2000");
  tree.file(dell + "/fan1_label", "Processor Fan");
  tree.file(dell + "/fan2_input", "2100");
  tree.file(dell + "/fan2_label", "Lüfter Gehäuse");
  tree.file(dell + "/fan3_input", "2200");
  tree.file(dell + "/fan3_label", "Video Fan");
  tree.link("/sys/class/hwmon/hwmon0", dell);

  auto smc = HwmonSmc::open(tree.root());
  ASSERT_NE(smc, nullptr);
  EXPECT_EQ(valueOf(*smc, "FNum"), Bytes{9});
  // asus_ec_sensors before dell_smm; sysfs numbers in numeric order (fan10 after fan8).
  EXPECT_EQ(fanId(valueOf(*smc, "F0ID")), "asus_ec fan2");
  EXPECT_EQ(fanId(valueOf(*smc, "F4ID")), "asus_e fan10");
  EXPECT_EQ(valueOf(*smc, "F4Ac"), (Bytes{0x0F, 0xB4}));  // 1005
  EXPECT_EQ(fanId(valueOf(*smc, "F7ID")), "Processor Fa");
  // Twelve bytes would end inside the "ä": the name stops before it.
  EXPECT_EQ(fanId(valueOf(*smc, "F8ID")), "Lüfter Geh");
  EXPECT_EQ(valueOf(*smc, "F8Ac"), (Bytes{0x20, 0xD0}));  // 2100
  EXPECT_EQ(readKey(*smc, "F9Ac").result, kSmcKeyNotFound);
  EXPECT_EQ(readKey(*smc, "F9ID").result, kSmcKeyNotFound);
}

// ---- Nothing to offer --------------------------------------------------------------------------------

TEST(HwmonSmcTest, OpensNothingWithoutSensors) {
  EXPECT_EQ(HwmonSmc::open(fixture("no-sensors")), nullptr);
  EXPECT_EQ(HwmonSmc::open(fixture("no-such-machine")), nullptr);
  TempTree tree;
  ASSERT_FALSE(tree.root().empty());
  tree.file("/sys/class/hwmon/.keep", "");
  EXPECT_EQ(HwmonSmc::open(tree.root()), nullptr);
}

}  // namespace
}  // namespace trellis::linux
