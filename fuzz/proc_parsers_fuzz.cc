// Fuzzes the text parsers of the Linux CPU source: the input is handed whole to the /proc/stat,
// /proc/cpuinfo, /proc/loadavg and CPU range-list parsers, and what each returns is checked
// against its contract. Single-threaded.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/linux/metrics/cpu_source.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace trellis::lnx;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const auto processors = parseProcStat(text)) {
    // At most one entry per line, and never an empty list.
    std::size_t lines = 1;
    for (char c : text) lines += c == '\n';
    check(!processors->empty() && processors->size() <= lines);
  }

  if (const auto brand = parseCpuInfoBrand(text)) {
    check(!brand->empty() && !isBlank(brand->front()) && !isBlank(brand->back()));
    check(brand->find('\n') == std::string_view::npos);
  }

  if (const auto loadavg = parseLoadAvg(text)) {
    for (double average : loadavg->averages) check(std::isfinite(average) && average >= 0.0);
    check(loadavg->running >= 0 && loadavg->total >= 0);
  }

  if (const auto count = parseCpuRangeList(text)) check(*count > 0);
  return 0;
}
