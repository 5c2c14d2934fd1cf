// An SMC made from Linux sensors: the `hwmon` transport. At open it looks through the machine's
// hwmon devices and thermal zones, picks the sensors that stand for the SMC keys the agent reads,
// opens their value files once and then answers SMC messages from an in-memory key space whose
// values are read live from those files. A transport is used from one thread at a time; the
// descriptors it holds are its own and closed when it is destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "smc/smc_key_table.h"
#include "smc/smc_transport.h"

namespace trellis::lnx {

// How the transport reaches sensor files: the real one uses open/pread/close; tests put in one
// that fails chosen reads, as a driver reporting EIO or ENODATA would.
class SensorFiles {
 public:
  virtual ~SensorFiles() = default;

  // Opens `path` for reading (close-on-exec). Returns a descriptor (>= 0) or -errno.
  virtual int open(const std::string& path) = 0;
  // Reads up to `size` bytes from offset 0 of `fd`, which gives a fresh value for a sysfs
  // attribute. Returns the count read or -errno; EINTR is retried inside. Must not allocate.
  virtual long read(int fd, char* buffer, std::size_t size) = 0;
  virtual void close(int fd) = 0;

  // The process's real file access; lives as long as the process.
  static SensorFiles& posix();
};

struct HwmonOptions {
  // Block device name of the main disk ("nvme0n1", "sda"; a partition name is taken up to its
  // disk, and down through device-mapper or md slaves, the first by name, to a real disk).
  // Empty: the disk that holds "/" (io/block_device.h findMainDisk: from the mount table under
  // `root`, ZFS, LVM, md, btrfs and bcachefs included; without one, the device `root` lies on).
  std::string mainDisk;
  // File access for every sensor file; null means `SensorFiles::posix()`. Must outlive the
  // transport.
  SensorFiles* files = nullptr;
};

// One key of the key space and where its value comes from, for diagnostics.
struct HwmonKeySource {
  std::string key;     // the four characters
  std::string path;    // the file the value is read from (or, for a value fixed at open, was
                       // taken from), under the root given to `open`; empty when made up ("FNum")
  std::string source;  // what the sensor is, e.g. "coretemp Package id 0", "nvme Composite (nvme0n1)"
};

// The keys, all big-endian as an SMC stores them:
//   TC0P  "sp78" 2 bytes  CPU package temperature, from the first source the machine has of the
//                         table in hwmon_smc.cc (kCpuSources): applesmc's own TC0P; coretemp
//                         "Package id N" or "Physical id N" (lowest N); k10temp "Tdie", "Tctl";
//                         zenpower "Tdie", "Tctl"; k10temp's unlabelled temp1 (families 10h-16h);
//                         the lowest x86_pkg_temp zone; the hottest coretemp "Core N"; the lowest
//                         SoC-wide zone (cpu-thermal, package-thermal, ...); the hottest CPU
//                         cluster zone (cpu0-thermal, bigcore0-thermal, ...); the lowest acpitz
//                         zone, marked "(approximate)". Of several files ("hottest of ...") the
//                         highest that reads counts.
//   TH0x  "sp78" 2 bytes  main disk: nvme "Composite" of its controller, or drivetemp of its SCSI
//                         device. Hwmon devices are matched by `name` and `device` link, so both
//                         the controller parent (kernels 5.13+) and the PCI function parent of an
//                         nvme hwmon are found.
//   FNum  "ui8 " 1 byte   number of fans, at most 9 (the client takes no more); absent without fans
//   F%dAc "fpe2" 2 bytes  fan speed, RPM << 2 (clamped to 0..16383 RPM)
//   F%dMn "fpe2" 2 bytes  fanN_min, absent when the driver has none
//   F%dMx "fpe2" 2 bytes  fanN_max, absent when the driver has none
//   F%dID "{fds" 16 bytes four header bytes (fan type, zone, location, reserved; all 0 as sysfs
//                         does not know them), then the fan's label (fanN_label, or "<driver>
//                         fanN" with the driver name shortened to fit), at most 12 bytes, cut
//                         between UTF-8 characters, zero padded. Fixed at open.
//   "#KEY" "ui32"         the number of keys.
// Fans are numbered from 0: applesmc's fans first, then other devices by driver name and device
// path, each device's fans by their sysfs number. On an Intel Mac (applesmc, in either sysfs
// layout) every temperature's label is an SMC key name, and each such key is also given, "sp78",
// under its own name; such a key wins over a synthesised key of the same name.
//
// A sensor whose file cannot be opened at open counts as absent (the next source in order of
// preference is taken). Temperatures are round(millidegrees * 256 / 1000) clamped to 16 bits. A
// value file that cannot be read or holds no integer fails that exchange with kSmcIOError: no
// stale or zero value is made up.
class HwmonSmc final : public SmcTransport {
 public:
  // Builds the key space from the sysfs tree under `root` ("/" on a real machine). Nothing when
  // no key at all would exist (no sensor found, or `root` holds no sysfs).
  static std::unique_ptr<HwmonSmc> open(const std::string& root, const HwmonOptions& options = {});

  ~HwmonSmc() override;
  HwmonSmc(const HwmonSmc&) = delete;
  HwmonSmc& operator=(const HwmonSmc&) = delete;

  // Gives the handle 1; always succeeds.
  int open(std::uint32_t* connection) override;
  // Answers read value (5), key at index (8) and key information (9); a write (6) gets a
  // non-zero result. A selector other than 2, a connection other than the handle or an output
  // size below 80 fail with kSmcIOError. Allocates nothing.
  int call(std::uint32_t connection, std::uint32_t selector, const SmcMessage& input, SmcMessage* output,
           std::size_t* outputSize) override;

  // Every key but "#KEY", sorted by key code.
  const std::vector<HwmonKeySource>& sources() const { return sources_; }
  // The CPU sources the machine also has, each below the chosen one in the order of preference
  // (the best sensor of each), as key "TC0P"; for diagnostics.
  const std::vector<HwmonKeySource>& passedOver() const { return passedOver_; }

 private:
  struct Sensor;  // a value file held open, what a live key reads

  HwmonSmc() = default;
  static int readSensor(void* context, std::uint32_t key, std::uint8_t* out, std::uint8_t size);

  SensorFiles* files_ = nullptr;
  // Filled once at open and never resized: the key table's entries point into it.
  std::vector<Sensor> sensors_;
  SmcKeyTable table_;
  std::vector<HwmonKeySource> sources_;
  std::vector<HwmonKeySource> passedOver_;
};

}  // namespace trellis::lnx
