// The memory collector: the total is queried once per process, the free memory at every
// `reloadInfo`. Main thread only; the process-wide total below is deliberately unlocked.
#include "metrics/memory_info.h"

#include <cstdio>
#include <limits>

#include "base/services.h"
#include "tools/kw_tools.h"

namespace trellis {

namespace {

// Installed memory cannot change while the process runs; 0 means not yet known.
std::uint64_t g_cachedTotalMemory = 0;

std::uint64_t inUse(std::uint64_t total, std::uint64_t free) { return free < total ? total - free : 0; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The leading signed decimal of `text` as a page count: digits after an optional sign, saturating
// at the signed 64-bit maximum; a negative number or no digits counts 0.
std::uint64_t leadingPageCount(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  constexpr std::uint64_t kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t value = 0;
  for (char c : text) {
    if (!isDigit(c)) break;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return negative ? 0 : value;
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

}  // namespace

std::uint64_t vmStatFileBackedPages(std::string_view text) {
  std::uint64_t pages = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.find("File-backed pages") == std::string_view::npos) continue;
    std::string figure;
    for (char c : line.substr(line.rfind(':') + 1)) {
      if (c != ' ') figure += c;
    }
    pages = saturatingAdd(pages, leadingPageCount(figure));
  }
  return pages;
}

std::string MemoryModel::totalString() const { return KwTools::bytesToString(total_); }
std::string MemoryModel::freeString() const { return KwTools::bytesToString(free_); }
std::string MemoryModel::useString() const { return KwTools::bytesToString(inUse(total_, free_)); }

std::string MemoryModel::usePercentString() const {
  if (total_ == 0) return "0%";
  const double share = static_cast<double>(inUse(total_, free_)) * 100.0 / static_cast<double>(total_);
  char text[16];
  std::snprintf(text, sizeof text, "%d%%", static_cast<int>(share));
  return text;
}

RecordTable<MemoryModel> MemoryModel::recordTable() {
  return RecordTable<MemoryModel>("MemoryModel")
      .property("total", &MemoryModel::total, &MemoryModel::setTotal)
      .property("free", &MemoryModel::free, &MemoryModel::setFree);
}

MemoryInfo::MemoryInfo() : MemoryInfo(required(installedServices().memory, "the memory source")) {}

MemoryInfo::MemoryInfo(MemorySource& source) : source_(&source) { (void)getMemoryInfo(); }

void MemoryInfo::resetProcessCachesForTesting() { g_cachedTotalMemory = 0; }

std::shared_ptr<MemoryModel> MemoryInfo::model() {
  if (!model_) model_ = std::make_shared<MemoryModel>();
  return model_;
}

void MemoryInfo::reloadInfo() {
  const std::shared_ptr<MemoryModel> record = model();
  record->setTotal(getTotalMemory());
  record->setFree(getFreeMemory());
}

std::uint64_t MemoryInfo::getTotalMemory() {
  if (g_cachedTotalMemory != 0) return g_cachedTotalMemory;
  if (const std::optional<std::uint64_t> total = source_->physicalMemory()) g_cachedTotalMemory = *total;
  return g_cachedTotalMemory;
}

std::uint64_t MemoryInfo::getFreeMemory() {
  const std::optional<std::uint64_t> pageSize = source_->pageSize();
  if (!pageSize || *pageSize == 0) return 0;
  const std::optional<PageCounts> counts = source_->pageCounts();
  if (!counts) return 0;
  const std::uint64_t pages = saturatingAdd(counts->freePages, counts->fileBackedPages.value_or(0));
  if (pages > std::numeric_limits<std::uint64_t>::max() / *pageSize) return std::numeric_limits<std::uint64_t>::max();
  return pages * *pageSize;
}

}  // namespace trellis
