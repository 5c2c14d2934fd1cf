// The CPU readings on Linux, from procfs and sysfs under a filesystem root ("/" normally, a
// fixture tree in tests): the platform's `CpuSource`, and the parsers of the files it reads as
// plain functions on text (for tests and the fuzzer). A source keeps the files read every cycle
// open, so it is used from one thread at a time; the parsers keep no state.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/cpu_source.h"

namespace trellis::lnx {

struct LoadAvg {
  std::array<double, 3> averages{};  // 1, 5 and 15 minutes
  std::int32_t running = 0;
  std::int32_t total = 0;  // scheduling entities: the machine's threads
};

// What each reading comes from, all paths under the root:
//   brand        proc/cpuinfo: the first "model name" (x86, 32-bit ARM); when no processor has
//                one, the first "Hardware" (the SoC name some ARM kernels give). Nothing else is
//                tried: arm64 kernels that give only "CPU implementer"/"CPU part" numbers have no
//                brand, and the reading fails.
//   count        sys/devices/system/cpu/online (a range list such as "0-3,6"), or, when that file
//                is missing or malformed, the number of processor lines of proc/stat.
//   tasks        the number of numeric folders in proc: the processes this process can see (in a
//                PID namespace, only that namespace's). Listing /proc costs one readdir pass per
//                sample and no file reads; /proc/stat's "processes" is a fork count, not this.
//   threads      the total of proc/loadavg's "running/total" field: every scheduling entity of
//                the machine (threads of all processes, kernel threads included).
//   load         the first three numbers of proc/loadavg.
//   ticks        the "cpuN" lines of proc/stat, in file order (see `parseProcStat`).
// proc/loadavg and proc/stat stay open once opened and are read again from offset 0 (a file that
// cannot be opened is tried again on the next call).
class ProcCpuSource final : public CpuSource {
 public:
  explicit ProcCpuSource(std::string root = "/");
  ~ProcCpuSource() override;
  ProcCpuSource(const ProcCpuSource&) = delete;
  ProcCpuSource& operator=(const ProcCpuSource&) = delete;

  std::optional<std::string> brand() override;
  std::optional<std::int32_t> processorCount() override;
  std::optional<TaskAndThreadCount> taskAndThreadCount() override;
  std::optional<std::array<double, 3>> loadAverages() override;
  std::optional<std::vector<ProcessorTicks>> processorTicks() override;
  bool readProcessorTicks(std::vector<ProcessorTicks>& ticks) override;

 private:
  // A file held open and the buffer its text is read into.
  struct HeldFile {
    const char* relative;
    int fd = -1;
    std::string text;
  };

  std::string path(std::string_view relative) const;
  // The text of `file` now; nullptr when it cannot be opened or read.
  const std::string* read(HeldFile& file);
  std::optional<LoadAvg> readLoadAvg();

  std::string root_;
  HeldFile loadavg_{"proc/loadavg", -1, {}};
  HeldFile stat_{"proc/stat", -1, {}};
};

// The processor lines of /proc/stat ("cpuN user nice system idle iowait irq softirq ..."), one
// entry per line in file order; the machine-wide "cpu" line and every other line are skipped.
// user -> user, nice -> nice, system + irq + softirq -> system, idle + iowait -> idle. The first
// four numbers must be there; a missing later number counts as 0. Each number is an unsigned
// 64-bit decimal taken modulo 2^32, and sums wrap modulo 2^32, as the kernel's own counters would
// in 32 bits. Offline processors have no line, so a gap in the numbering is simply skipped: the
// list holds the online processors in order and its length is their number (a processor going
// off- or online changes the length, and the collector then restarts its baseline). Nothing when
// there is no processor line or any processor line is malformed (too few numbers, a number that
// is not a decimal or does not fit in 64 bits), so a damaged file never yields a shifted list.
std::optional<std::vector<ProcessorTicks>> parseProcStat(std::string_view text);

// `parseProcStat` into `processors` (its buffer reused); false, with `processors` in an
// unspecified state, where `parseProcStat` gives nothing.
bool parseProcStat(std::string_view text, std::vector<ProcessorTicks>& processors);

// The brand from /proc/cpuinfo text as described for `ProcCpuSource`, with the spaces and tabs
// around it removed. Nothing when there is no such line or its value is empty.
std::optional<std::string> parseCpuInfoBrand(std::string_view text);

// /proc/loadavg: "0.52 0.58 0.59 2/1234 56789". The three averages must be finite and not
// negative, the fourth field two decimals that fit in 32 bits; the last pid is not checked.
// Nothing when any of these is missing or malformed.
std::optional<LoadAvg> parseLoadAvg(std::string_view text);

// The number of processors in a sysfs CPU range list ("0-3,5,7-8" gives 7; a trailing newline is
// allowed). Nothing for an empty list, a malformed one (a range going down, a number that is not
// a decimal, stray text) or a total that does not fit in a signed 32-bit integer.
std::optional<std::int32_t> parseCpuRangeList(std::string_view text);

}  // namespace trellis::lnx
