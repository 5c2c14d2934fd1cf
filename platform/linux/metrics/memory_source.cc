// The /proc/meminfo memory source and its parser. The file is read whole on every call (the
// kernel generates it on read, so there is nothing to cache). No state beyond the path and the
// page size, so any thread may use a source.
#include "platform/linux/metrics/memory_source.h"

#include <unistd.h>

#include <limits>
#include <utility>

#include "platform/linux/io/file_contents.h"
#include "platform/linux/io/text_parsing.h"

namespace trellis::lnx {
namespace {

// /proc/meminfo is a few kilobytes.
constexpr std::size_t kMaxFileSize = 1024 * 1024;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

void skipBlanks(std::string_view& s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
}

// The value of a complete "Name:   1234 kB" line in bytes; nothing for anything else.
std::optional<std::uint64_t> kilobyteFigure(std::string_view rest) {
  skipBlanks(rest);
  const std::string_view digits = leadingDigits(rest);
  const std::optional<std::uint64_t> kilobytes = parseInteger<std::uint64_t>(digits);
  if (!kilobytes) return std::nullopt;
  rest.remove_prefix(digits.size());
  if (rest.empty() || !isBlank(rest.front())) return std::nullopt;
  skipBlanks(rest);
  if (!rest.starts_with("kB")) return std::nullopt;
  rest.remove_prefix(2);
  while (!rest.empty() && (isBlank(rest.front()) || rest.front() == '\r')) rest.remove_prefix(1);
  if (!rest.empty()) return std::nullopt;
  if (*kilobytes > std::numeric_limits<std::uint64_t>::max() / 1024) return std::nullopt;
  return *kilobytes * 1024;
}

}  // namespace

MemInfo parseMemInfo(std::string_view text) {
  MemInfo info;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    std::optional<std::uint64_t>* figure = name == "MemTotal"         ? &info.memTotal
                                           : name == "MemFree"        ? &info.memFree
                                           : name == "Active(file)"   ? &info.activeFile
                                           : name == "Inactive(file)" ? &info.inactiveFile
                                                                      : nullptr;
    if (figure == nullptr || figure->has_value()) continue;
    *figure = kilobyteFigure(line.substr(colon + 1));
  }
  return info;
}

ProcMemorySource::ProcMemorySource(std::string root, std::uint64_t pageSize) : pageSize_(pageSize) {
  if (root.empty() || root.back() != '/') root += '/';
  path_ = std::move(root) + "proc/meminfo";
}

std::optional<MemInfo> ProcMemorySource::read() const {
  const std::optional<std::string> text = readWholeFile(path_, kMaxFileSize);
  if (!text) return std::nullopt;
  return parseMemInfo(*text);
}

std::optional<std::uint64_t> ProcMemorySource::physicalMemory() {
  const std::optional<MemInfo> info = read();
  if (!info || !info->memTotal || *info->memTotal == 0) return std::nullopt;
  return info->memTotal;
}

std::optional<std::uint64_t> ProcMemorySource::pageSize() {
  if (pageSize_ != 0) return pageSize_;
  const long size = ::sysconf(_SC_PAGESIZE);
  if (size <= 0) return std::nullopt;
  return static_cast<std::uint64_t>(size);
}

std::optional<PageCounts> ProcMemorySource::pageCounts() {
  const std::optional<std::uint64_t> size = pageSize();
  if (!size) return std::nullopt;
  const std::optional<MemInfo> info = read();
  if (!info || !info->memFree) return std::nullopt;
  PageCounts counts;
  counts.freePages = *info->memFree / *size;
  if (info->activeFile || info->inactiveFile) {
    const std::uint64_t active = info->activeFile.value_or(0) / *size;
    const std::uint64_t inactive = info->inactiveFile.value_or(0) / *size;
    counts.fileBackedPages =
        active > std::numeric_limits<std::uint64_t>::max() - inactive ? std::numeric_limits<std::uint64_t>::max()
                                                                      : active + inactive;
  }
  return counts;
}

}  // namespace trellis::lnx

