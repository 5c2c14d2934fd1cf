// The hwmon transport: an SMC key space synthesised from hwmon devices and thermal zones. The
// sysfs tree is walked once, at open; afterwards each value is one pread of a descriptor opened
// then. Used from one thread at a time.
#include "platform/linux/sensors/hwmon_smc.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>

#include "platform/linux/io/block_device.h"
#include "platform/linux/io/file_contents.h"
#include "platform/linux/io/paths.h"
#include "platform/linux/io/text_parsing.h"

namespace trellis::lnx {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kHandle = 1;
constexpr std::size_t kMaxSensorText = 4096;
constexpr int kMaxFans = 9;  // the client rejects a larger fan count
constexpr std::size_t kFanIdSize = 16;
constexpr std::size_t kFanIdHeader = 4;

class PosixSensorFiles final : public SensorFiles {
 public:
  // Sensor values are regular files (sysfs attributes): anything else, a FIFO say, is refused
  // rather than waited on.
  int open(const std::string& path) override {
    const int fd = openForReading(path, FileKind::kRegular);
    return fd < 0 ? -errno : fd;
  }

  long read(int fd, char* buffer, std::size_t size) override {
    const ssize_t n = readFromStart(fd, buffer, size);
    return n < 0 ? -errno : static_cast<long>(n);
  }

  void close(int fd) override { closeFile(fd); }
};

// What a value file holds, and so how its key is typed and encoded.
enum class Unit : std::uint8_t {
  kMillidegrees,  // "sp78"
  kRpm,           // "fpe2"
};

// ---- Reading values -------------------------------------------------------------------------

// The integer a sysfs attribute holds: optional sign, digits, then nothing but white space.
std::optional<std::int64_t> attributeInteger(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t' || text.back() == '\0')) {
    text.remove_suffix(1);
  }
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  return parseInteger<std::int64_t>(text, 10, Sign::kMinusAllowed);
}

std::uint16_t sp78FromMillidegrees(std::int64_t millidegrees) {
  millidegrees = std::clamp<std::int64_t>(millidegrees, -1'000'000'000, 1'000'000'000);
  const std::int64_t scaled = millidegrees * 256;
  const std::int64_t rounded = (scaled + (scaled >= 0 ? 500 : -500)) / 1000;  // half away from zero
  return static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp<std::int64_t>(rounded, -32768, 32767)));
}

std::uint16_t fpe2FromRpm(std::int64_t rpm) {
  return static_cast<std::uint16_t>(std::clamp<std::int64_t>(rpm, 0, 0x3FFF) << 2);
}

// ---- Walking sysfs (open time only) ----------------------------------------------------------

// Entry names of a directory, sorted; empty when it cannot be listed.
std::vector<std::string> listDirectory(const fs::path& directory) {
  return folderEntries(directory).value_or(std::vector<std::string>{});
}

// The path with every link followed, or empty when it does not exist.
std::string resolved(const fs::path& path) { return resolvedPath(path).value_or(fs::path()).string(); }

// A small text file's content without its trailing white space; nothing when it cannot be read.
std::optional<std::string> readText(SensorFiles& files, const std::string& path) {
  const int fd = files.open(path);
  if (fd < 0) return std::nullopt;
  // A sysfs attribute holds at most a page: a longer file is not one, and is refused.
  std::string text(kMaxSensorText + 1, '\0');
  const long n = files.read(fd, text.data(), text.size());
  files.close(fd);
  if (n < 0 || static_cast<std::size_t>(n) > kMaxSensorText) return std::nullopt;
  text.resize(static_cast<std::size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t' || text.back() == '\0')) {
    text.pop_back();
  }
  return text;
}

// The N of names like "<prefix>N<suffix>", or nothing.
std::optional<int> numberIn(std::string_view name, std::string_view prefix, std::string_view suffix) {
  if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix)) {
    return std::nullopt;
  }
  return parseInteger<int>(name.substr(prefix.size(), name.size() - prefix.size() - suffix.size()));
}

struct HwmonDevice {
  std::string name;
  std::string dir;         // where its attribute files are, as reached from /sys/class/hwmon
  std::string device;      // its `device` link resolved; empty when it has none
  std::vector<int> temps;  // N of every tempN_input, ascending
  std::vector<int> fans;   // N of every fanN_input, ascending

  std::string file(std::string_view kind, int index, std::string_view attribute) const {
    return dir + "/" + std::string(kind) + std::to_string(index) + "_" + std::string(attribute);
  }
};

std::vector<HwmonDevice> findHwmonDevices(SensorFiles& files, const std::string& root) {
  std::vector<HwmonDevice> devices;
  const std::string classDir = underRoot(root, "sys/class/hwmon");
  for (const std::string& entry : listDirectory(classDir)) {
    HwmonDevice device;
    device.dir = classDir + "/" + entry;
    std::optional<std::string> name = readText(files, device.dir + "/name");
    if (!name) {
      // Drivers registered the old way keep every attribute, the name too, in their device's
      // directory (applesmc before hwmon_device_register_with_info).
      device.dir += "/device";
      name = readText(files, device.dir + "/name");
      if (!name) continue;
    }
    device.name = *name;
    device.device = resolved(classDir + "/" + entry + "/device");
    const auto listSensors = [&device] {
      for (const std::string& file : listDirectory(device.dir)) {
        if (auto n = numberIn(file, "temp", "_input")) device.temps.push_back(*n);
        if (auto n = numberIn(file, "fan", "_input")) device.fans.push_back(*n);
      }
    };
    listSensors();
    if (device.temps.empty() && device.fans.empty() && readText(files, device.dir + "/device/name") == name) {
      // A driver moved to hwmon_device_register_with_info with an empty chip: the hwmon folder has
      // the name alone, every attribute is still on the device (a proposed applesmc conversion).
      device.dir += "/device";
      listSensors();
    }
    std::sort(device.temps.begin(), device.temps.end());
    std::sort(device.fans.begin(), device.fans.end());
    devices.push_back(std::move(device));
  }
  // A stable order that hwmonN numbers, which change between boots, play no part in.
  std::sort(devices.begin(), devices.end(), [](const HwmonDevice& a, const HwmonDevice& b) {
    return std::tie(a.name, a.device, a.dir) < std::tie(b.name, b.device, b.dir);
  });
  return devices;
}

// ---- The key plan ------------------------------------------------------------------------------

// One key as decided at open, before the table is built.
struct PlannedKey {
  std::uint32_t key = 0;
  std::uint32_t type = 0;
  std::uint8_t size = 0;
  std::vector<int> fds;  // live keys read these (the hottest counts); fixed keys have none and `bytes`
  Unit unit = Unit::kMillidegrees;
  std::uint8_t bytes[32] = {};
  HwmonKeySource source;
};

std::string keyName(std::uint32_t key) {
  return {static_cast<char>(key >> 24), static_cast<char>(key >> 16), static_cast<char>(key >> 8),
          static_cast<char>(key)};
}

std::uint32_t keyCode(std::string_view name) {
  char text[5] = {};
  std::memcpy(text, name.data(), std::min<std::size_t>(name.size(), 4));
  return smcFourCC(text);
}

class Planner {
 public:
  explicit Planner(SensorFiles& files) : files_(files) {}
  ~Planner() {
    for (PlannedKey& key : keys_) {
      closeAll(key);
    }
  }
  Planner(const Planner&) = delete;
  Planner& operator=(const Planner&) = delete;

  // Adds a key read live from `path`, replacing one of the same name; false (nothing added or
  // replaced) when the file cannot be opened.
  bool addLive(std::string_view name, Unit unit, const std::string& path, std::string source) {
    return addLive(name, unit, std::vector<std::string>{path}, std::move(source));
  }

  // The same for a key whose value is the highest of `paths`; the files that cannot be opened are
  // left out, and the key when none can. Its source's path is the first of `paths`.
  bool addLive(std::string_view name, Unit unit, const std::vector<std::string>& paths, std::string source) {
    PlannedKey planned;
    for (const std::string& path : paths) {
      if (const int fd = files_.open(path); fd >= 0) planned.fds.push_back(fd);
    }
    if (planned.fds.empty()) return false;
    planned.key = keyCode(name);
    planned.type = smcFourCC(unit == Unit::kMillidegrees ? "sp78" : "fpe2");
    planned.size = 2;
    planned.unit = unit;
    planned.source = {keyName(planned.key), paths.front(), std::move(source)};
    put(std::move(planned));
    return true;
  }

  void addFixed(std::string_view name, std::uint32_t type, const std::uint8_t* bytes, std::uint8_t size,
                std::string path, std::string source) {
    PlannedKey planned;
    planned.key = keyCode(name);
    planned.type = type;
    planned.size = size;
    std::memcpy(planned.bytes, bytes, size);
    planned.source = {keyName(planned.key), std::move(path), std::move(source)};
    put(std::move(planned));
  }

  std::vector<PlannedKey>& keys() { return keys_; }

  // Hands the descriptors over: the planner no longer closes them.
  std::vector<PlannedKey> release() { return std::exchange(keys_, {}); }

 private:
  PlannedKey* find(std::uint32_t key) {
    auto it = std::find_if(keys_.begin(), keys_.end(), [key](const PlannedKey& k) { return k.key == key; });
    return it == keys_.end() ? nullptr : &*it;
  }
  void put(PlannedKey planned) {
    if (PlannedKey* existing = find(planned.key)) {
      closeAll(*existing);
      *existing = std::move(planned);
    } else {
      keys_.push_back(std::move(planned));
    }
  }

  void closeAll(PlannedKey& key) {
    for (int fd : key.fds) files_.close(fd);
    key.fds.clear();
  }

  SensorFiles& files_;
  std::vector<PlannedKey> keys_;
};

std::optional<std::string> labelOf(SensorFiles& files, const HwmonDevice& device, std::string_view kind, int index) {
  return readText(files, device.file(kind, index, "label"));
}

// The first temperature of `device` whose label is `label`, opened as `key`.
bool addLabelledTemperature(Planner& plan, SensorFiles& files, const HwmonDevice& device, std::string_view label,
                            std::string_view key, const std::string& sourceSuffix = {}) {
  for (int index : device.temps) {
    if (labelOf(files, device, "temp", index) != label) continue;
    if (plan.addLive(key, Unit::kMillidegrees, device.file("temp", index, "input"),
                     device.name + " " + std::string(label) + sourceSuffix)) {
      return true;
    }
  }
  return false;
}

// ---- The CPU temperature ------------------------------------------------------------------------

// Where a CPU source's sensors are.
enum class Where : std::uint8_t {
  kLabel,    // temperatures of the hwmon devices named `driver` whose label matches a pattern
  kNoLabel,  // temperatures of the hwmon devices named `driver` that have no label
  kZone,     // thermal zones whose type matches a pattern
};

// Which of the sensors a source matches stands for the CPU.
enum class Pick : std::uint8_t {
  kFirst,    // the first: devices in their order, sensors and zones by number, and by the number a
             // '#' in the pattern matched when there is one (the lowest package id)
  kHottest,  // the hottest of them all, read afresh each time
};

struct CpuSource {
  Where where;
  std::string_view driver;                    // kLabel, kNoLabel
  std::array<std::string_view, 6> patterns;   // '#' decimal digits; a last '*' any rest of [-_a-z0-9]
  Pick pick;
  bool approximate;  // a board or chassis temperature more than the CPU's own
};

// The CPU package temperature: the first source of this table that the machine has. The layouts
// are the kernel's: drivers/hwmon/coretemp.c, k10temp.c; drivers/thermal/intel/x86_pkg_temp_thermal.c;
// drivers/thermal/thermal_of.c (a device-tree zone's type is its node name in the board's .dtsi);
// drivers/hwmon/applesmc.c; drivers/acpi/thermal.c.
constexpr CpuSource kCpuSources[] = {
    // An Intel Mac's SMC has the CPU's own key.
    {Where::kLabel, "applesmc", {"TC0P"}, Pick::kFirst, false},
    // Intel: one coretemp device per package. Kernels before the "Package id" label (up to 4.9)
    // called it "Physical id".
    {Where::kLabel, "coretemp", {"Package id #", "Physical id #"}, Pick::kFirst, false},
    // AMD Zen: Tdie is the die itself; Tctl may carry a fan-control offset, and is all that
    // parts without an offset show (Tccd sensors are single dies, not the package). 5.4-era
    // kernels list Tdie first, later ones Tctl: the label decides, not the number.
    {Where::kLabel, "k10temp", {"Tdie"}, Pick::kFirst, false},
    {Where::kLabel, "k10temp", {"Tctl"}, Pick::kFirst, false},
    {Where::kLabel, "zenpower", {"Tdie"}, Pick::kFirst, false},
    {Where::kLabel, "zenpower", {"Tctl"}, Pick::kFirst, false},
    // AMD families 10h-16h: k10temp's one unlabelled sensor.
    {Where::kNoLabel, "k10temp", {}, Pick::kFirst, false},
    // Intel's package zone, there even without coretemp.
    {Where::kZone, {}, {"x86_pkg_temp"}, Pick::kFirst, false},
    // Intel CPUs without a package sensor (Core 2, Westmere): the hottest core.
    {Where::kLabel, "coretemp", {"Core #"}, Pick::kHottest, false},
    // ARM boards (Raspberry Pi, Amlogic, MediaTek, Rockchip's package sensor): one zone for the
    // whole CPU or SoC.
    {Where::kZone, {}, {"cpu-thermal", "cpu_thermal", "cpu", "soc-thermal", "soc_thermal", "package-thermal"},
     Pick::kFirst, false},
    // SoCs with a zone per cluster or core (Allwinner, Qualcomm, Rockchip, MediaTek LVTS): the hottest.
    {Where::kZone, {}, {"cpu*", "bigcore*", "littlecore*", "big-core*", "little-core*", "cluster*"},
     Pick::kHottest, false},
    // The ACPI zone: the firmware's idea, often a board sensor or a constant.
    {Where::kZone, {}, {"acpitz"}, Pick::kFirst, true},
};

// Whether `text` matches `pattern`: characters for themselves, '#' one or more decimal digits
// (their value in `*number`), a last '*' any rest made of [-_a-z0-9].
bool matchesPattern(std::string_view text, std::string_view pattern, int* number) {
  std::size_t at = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '*' && i + 1 == pattern.size()) {
      return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(), [](char c) {
        return c == '-' || c == '_' || isDigit(c) || (c >= 'a' && c <= 'z');
      });
    }
    if (pattern[i] == '#') {
      const std::string_view digits = leadingDigits(text.substr(at));
      const std::optional<int> value = parseInteger<int>(digits);
      if (!value) return false;
      *number = *value;
      at += digits.size();
      continue;
    }
    if (at == text.size() || text[at] != pattern[i]) return false;
    ++at;
  }
  return at == text.size();
}

struct ThermalZone {
  int number;
  std::string entry;  // "thermal_zone3"
  std::string type;
  std::string dir;
};

std::vector<ThermalZone> findThermalZones(SensorFiles& files, const std::string& root) {
  std::vector<ThermalZone> zones;
  const std::string thermalDir = underRoot(root, "sys/class/thermal");
  for (const std::string& entry : listDirectory(thermalDir)) {
    const std::optional<int> number = numberIn(entry, "thermal_zone", "");
    if (!number) continue;
    const std::string dir = thermalDir + "/" + entry;
    if (std::optional<std::string> type = readText(files, dir + "/type")) zones.push_back({*number, entry, *type, dir});
  }
  std::sort(zones.begin(), zones.end(), [](const ThermalZone& a, const ThermalZone& b) { return a.number < b.number; });
  return zones;
}

// One way a source can give the CPU temperature: one file, or several of which the hottest counts.
struct CpuCandidate {
  std::vector<std::string> paths;
  std::string source;
};

// What `rule` finds on the machine, best first.
std::vector<CpuCandidate> candidatesOf(const CpuSource& rule, SensorFiles& files, const std::vector<HwmonDevice>& devices,
                                       const std::vector<ThermalZone>& zones) {
  struct Match {
    int number;
    std::string path;
    std::string what;
  };
  std::vector<Match> matches;
  const auto matching = [&rule](std::string_view text, int* number) {
    return std::any_of(rule.patterns.begin(), rule.patterns.end(), [&](std::string_view pattern) {
      return !pattern.empty() && matchesPattern(text, pattern, number);
    });
  };
  if (rule.where == Where::kZone) {
    for (const ThermalZone& zone : zones) {
      int number = zone.number;
      if (matching(zone.type, &number)) matches.push_back({zone.number, zone.dir + "/temp", zone.entry + " " + zone.type});
    }
  } else {
    for (const HwmonDevice& device : devices) {
      if (device.name != rule.driver) continue;
      for (int index : device.temps) {
        const std::optional<std::string> label = labelOf(files, device, "temp", index);
        int number = 0;
        if (rule.where == Where::kNoLabel ? !label : label && matching(*label, &number)) {
          matches.push_back({number, device.file("temp", index, "input"),
                             device.name + " " + (label ? *label : "temp" + std::to_string(index) + " (no label)")});
        }
      }
    }
  }
  if (matches.empty()) return {};
  std::stable_sort(matches.begin(), matches.end(), [](const Match& a, const Match& b) { return a.number < b.number; });
  const std::string suffix = rule.approximate ? " (approximate)" : "";
  std::vector<CpuCandidate> candidates;
  if (rule.pick == Pick::kHottest) {
    CpuCandidate hottest{{}, "hottest of"};
    for (const Match& match : matches) {
      hottest.paths.push_back(match.path);
      hottest.source += (hottest.paths.size() == 1 ? " " : ", ") + match.what;
    }
    hottest.source += suffix;
    candidates.push_back(std::move(hottest));
  } else {
    for (const Match& match : matches) candidates.push_back({{match.path}, match.what + suffix});
  }
  return candidates;
}

// TC0P from the first source of the table that has a sensor which opens; the first candidate of
// every later source that has one goes to `passedOver`.
void planCpuTemperature(Planner& plan, SensorFiles& files, const std::vector<HwmonDevice>& devices,
                        const std::string& root, std::vector<HwmonKeySource>* passedOver) {
  const std::vector<ThermalZone> zones = findThermalZones(files, root);
  bool chosen = false;
  for (const CpuSource& rule : kCpuSources) {
    const std::vector<CpuCandidate> candidates = candidatesOf(rule, files, devices, zones);
    if (chosen) {
      if (!candidates.empty()) passedOver->push_back({"TC0P", candidates.front().paths.front(), candidates.front().source});
      continue;
    }
    for (const CpuCandidate& candidate : candidates) {
      if (plan.addLive("TC0P", Unit::kMillidegrees, candidate.paths, candidate.source)) {
        chosen = true;
        break;
      }
    }
  }
}

// The folder of the main disk: the first physical disk beneath the device chosen, or the disk that
// holds "/". Empty when there is none.
std::string mainDiskDir(const std::string& root, const std::string& mainDisk) {
  if (mainDisk.empty()) return findMainDisk(root).disk.value_or(fs::path()).string();
  const std::optional<fs::path> device = blockDeviceFolder(root, mainDisk);
  if (!device) return {};
  const std::vector<fs::path> disks = disksUnder(*device);
  return disks.empty() ? std::string() : disks.front().string();
}

void planDiskTemperature(Planner& plan, SensorFiles& files, const std::vector<HwmonDevice>& devices,
                         const std::string& root, const std::string& mainDisk) {
  const std::string disk = mainDiskDir(root, mainDisk);
  if (disk.empty()) return;
  const std::string diskName = fs::path(disk).filename().string();

  // The devices a sensor of this disk can hang from: the disk's own device (an nvme controller,
  // a SCSI device), each controller of an nvme subsystem (multipath namespaces), and the parent
  // of each controller (older kernels hang the nvme hwmon device from the PCI function).
  std::vector<std::string> parents;
  const std::string device = resolved(disk + "/device");
  if (device.empty()) return;
  parents.push_back(device);
  if (fs::path(device).filename().string().starts_with("nvme-subsys")) {
    for (const std::string& entry : listDirectory(device)) {
      if (numberIn(entry, "nvme", "")) parents.push_back(resolved(device + "/" + entry));
    }
  }
  for (std::size_t i = 0, n = parents.size(); i < n; ++i) {
    std::string parent = resolved(parents[i] + "/device");
    if (!parent.empty()) parents.push_back(std::move(parent));
  }
  auto belongs = [&parents](const HwmonDevice& hwmon) {
    return !hwmon.device.empty() && std::find(parents.begin(), parents.end(), hwmon.device) != parents.end();
  };

  const std::string suffix = " (" + diskName + ")";
  for (const HwmonDevice& hwmon : devices) {
    if (hwmon.name == "nvme" && belongs(hwmon) &&
        addLabelledTemperature(plan, files, hwmon, "Composite", "TH0x", suffix)) {
      return;
    }
  }
  for (const HwmonDevice& hwmon : devices) {
    if (hwmon.name != "drivetemp" || !belongs(hwmon) || hwmon.temps.empty()) continue;
    if (plan.addLive("TH0x", Unit::kMillidegrees, hwmon.file("temp", hwmon.temps.front(), "input"),
                     "drivetemp" + suffix)) {
      return;
    }
  }
}

// At most `limit` bytes of `text`, not cutting a UTF-8 sequence in two.
std::string_view utf8Prefix(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<std::uint8_t>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// "F<n><suffix>", the key of fan `n` (0..9).
std::string fanKey(int n, std::string_view suffix) {
  return std::string(1, 'F') + static_cast<char>('0' + n) + std::string(suffix);
}

void planFans(Planner& plan, SensorFiles& files, const std::vector<HwmonDevice>& devices) {
  std::vector<const HwmonDevice*> order;
  for (const HwmonDevice& device : devices) {
    if (!device.fans.empty()) order.push_back(&device);
  }
  std::stable_partition(order.begin(), order.end(), [](const HwmonDevice* d) { return d->name == "applesmc"; });

  constexpr std::size_t kLabelRoom = kFanIdSize - kFanIdHeader;
  int count = 0;
  std::string drivers;
  for (const HwmonDevice* device : order) {
    bool used = false;
    for (int index : device->fans) {
      if (count == kMaxFans) break;
      const std::string input = device->file("fan", index, "input");
      const std::string fanName = device->name + " fan" + std::to_string(index);
      if (!plan.addLive(fanKey(count, "Ac"), Unit::kRpm, input, fanName)) continue;
      // A limit that cannot be opened is left out, like one the driver does not have.
      (void)plan.addLive(fanKey(count, "Mn"), Unit::kRpm, device->file("fan", index, "min"), fanName + " min");
      (void)plan.addLive(fanKey(count, "Mx"), Unit::kRpm, device->file("fan", index, "max"), fanName + " max");

      std::string labelPath = device->file("fan", index, "label");
      std::optional<std::string> label = readText(files, labelPath);
      if (!label || label->empty()) {
        labelPath.clear();
        const std::string suffix = " fan" + std::to_string(index);
        const std::size_t room = kLabelRoom > suffix.size() ? kLabelRoom - suffix.size() : 0;
        label = std::string(utf8Prefix(device->name, room)) + suffix;
      }
      std::uint8_t id[kFanIdSize] = {};
      const std::string_view text = utf8Prefix(*label, kLabelRoom);
      std::memcpy(id + kFanIdHeader, text.data(), text.size());
      plan.addFixed(fanKey(count, "ID"), smcFourCC("{fds"), id, kFanIdSize, labelPath,
                    fanName + " \"" + std::string(text) + "\"");
      ++count;
      used = true;
    }
    if (used) drivers += (drivers.empty() ? "" : ", ") + device->name;
  }
  if (count == 0) return;
  const std::uint8_t n = static_cast<std::uint8_t>(count);
  plan.addFixed("FNum", smcFourCC("ui8 "), &n, 1, {},
                std::to_string(count) + (count == 1 ? " fan" : " fans") + " (" + drivers + ")");
}

// On an Intel Mac the applesmc driver names each temperature after its SMC key.
void planAppleKeys(Planner& plan, SensorFiles& files, const std::vector<HwmonDevice>& devices) {
  for (const HwmonDevice& device : devices) {
    if (device.name != "applesmc") continue;
    for (int index : device.temps) {
      std::optional<std::string> label = labelOf(files, device, "temp", index);
      if (!label || label->size() != 4 ||
          !std::all_of(label->begin(), label->end(), [](char c) { return c >= 0x21 && c <= 0x7E; })) {
        continue;
      }
      // A key whose file cannot be opened is left out; the SMC's keys are many and optional.
      (void)plan.addLive(*label, Unit::kMillidegrees, device.file("temp", index, "input"), "applesmc " + *label);
    }
  }
}

}  // namespace

struct HwmonSmc::Sensor {
  std::vector<int> fds;  // the value is the highest of these files that read
  Unit unit = Unit::kMillidegrees;
  SensorFiles* files = nullptr;
};

SensorFiles& SensorFiles::posix() {
  static PosixSensorFiles files;
  return files;
}

std::unique_ptr<HwmonSmc> HwmonSmc::open(const std::string& root, const HwmonOptions& options) {
  SensorFiles& files = options.files != nullptr ? *options.files : SensorFiles::posix();
  const std::vector<HwmonDevice> devices = findHwmonDevices(files, root);

  Planner plan(files);
  std::vector<HwmonKeySource> passedOver;
  planCpuTemperature(plan, files, devices, root, &passedOver);
  planDiskTemperature(plan, files, devices, root, options.mainDisk);
  planFans(plan, files, devices);
  planAppleKeys(plan, files, devices);
  if (plan.keys().empty()) return nullptr;

  std::vector<PlannedKey> keys = plan.release();
  std::sort(keys.begin(), keys.end(), [](const PlannedKey& a, const PlannedKey& b) { return a.key < b.key; });

  std::unique_ptr<HwmonSmc> smc(new HwmonSmc());
  smc->files_ = &files;
  std::size_t live = 0;
  for (const PlannedKey& key : keys) live += key.fds.empty() ? 0 : 1;
  smc->sensors_.reserve(live);  // never grows past this: entries point into it
  for (PlannedKey& key : keys) {
    SmcKeyTable::Entry entry;
    entry.key = key.key;
    entry.type = key.type;
    entry.size = key.size;
    std::memcpy(entry.bytes, key.bytes, sizeof entry.bytes);
    if (!key.fds.empty()) {
      smc->sensors_.push_back({std::move(key.fds), key.unit, &files});
      entry.reader = readSensor;
      entry.context = &smc->sensors_.back();
    }
    smc->table_.add(entry);
    smc->sources_.push_back(std::move(key.source));
  }
  smc->table_.finish();
  smc->passedOver_ = std::move(passedOver);
  return smc;
}

// The key table's reader for every live key. One pread per file into a stack buffer, nothing
// allocated. Of several files the highest value that reads counts: a core taken offline takes its
// file away, and the others still tell.
int HwmonSmc::readSensor(void* context, std::uint32_t /*key*/, std::uint8_t* out, std::uint8_t size) {
  const auto* sensor = static_cast<const Sensor*>(context);
  std::optional<std::int64_t> value;
  for (int fd : sensor->fds) {
    char text[32];
    const long n = sensor->files->read(fd, text, sizeof text);
    // A full buffer means the file holds more than any number does: not a value we understand.
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof text) continue;
    const std::optional<std::int64_t> read = attributeInteger(std::string_view(text, static_cast<std::size_t>(n)));
    if (read && (!value || *read > *value)) value = read;
  }
  if (!value || size < 2) return kSmcIOError;
  const std::uint16_t encoded =
      sensor->unit == Unit::kMillidegrees ? sp78FromMillidegrees(*value) : fpe2FromRpm(*value);
  out[0] = static_cast<std::uint8_t>(encoded >> 8);
  out[1] = static_cast<std::uint8_t>(encoded);
  return 0;
}

HwmonSmc::~HwmonSmc() {
  for (const Sensor& sensor : sensors_) {
    for (int fd : sensor.fds) files_->close(fd);
  }
}

int HwmonSmc::open(std::uint32_t* connection) {
  *connection = kHandle;
  return 0;
}

int HwmonSmc::call(std::uint32_t connection, std::uint32_t selector, const SmcMessage& input, SmcMessage* output,
                   std::size_t* outputSize) {
  if (connection != kHandle || selector != kSmcSelector || output == nullptr || outputSize == nullptr ||
      *outputSize < sizeof(SmcMessage)) {
    return kSmcIOError;
  }
  *outputSize = sizeof(SmcMessage);
  return table_.answer(input, output);
}

}  // namespace trellis::lnx
