// The memory collector and its record: the installed physical memory and the memory free for new
// use (free pages plus file-backed pages), with display texts. Main thread only: the process-wide
// cache of the total is not locked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/base_hardware_info.h"
#include "metrics/memory_source.h"
#include "model/record.h"

namespace trellis {

class MemoryModel {
 public:
  // Installed physical memory, bytes.
  std::uint64_t total() const { return total_; }
  void setTotal(std::uint64_t v) { total_ = v; }
  // Free plus file-backed memory, bytes.
  std::uint64_t free() const { return free_; }
  void setFree(std::uint64_t v) { free_ = v; }

  // The display texts, in steps of 1024 (KwTools::bytesToString).
  std::string totalString() const;
  std::string freeString() const;
  // The memory in use, total - free. A record whose free exceeds its total (two readings taken
  // at different times, a damaged source) counts nothing in use: "0 B", rather than the
  // wrapped-around difference of some sixteen billion gigabytes.
  std::string useString() const;
  // "0%" when total is 0; otherwise the share in use, (total - free) * 100 / total in double
  // precision, truncated toward zero ("42%" for 42.9). Free above total gives "0%" as above, so
  // the text is always one of "0%" .. "100%".
  std::string usePercentString() const;

  // Properties in declaration order: total, free.
  static RecordTable<MemoryModel> recordTable();

 private:
  std::uint64_t total_ = 0;
  std::uint64_t free_ = 0;
};

class MemoryInfo : public BaseHardwareInfo {
 public:
  // Reads the platform's `MemorySource`. Makes the empty record; measures nothing.
  MemoryInfo();
  // Reads `source`, which must outlive the collector.
  explicit MemoryInfo(MemorySource& source);

  // Sets the record's total from `getTotalMemory`, then its free from `getFreeMemory`, on the
  // same record.
  void reloadInfo() override;

  // The current record, made empty on first access.
  std::shared_ptr<MemoryModel> model();
  void setModel(std::shared_ptr<MemoryModel> model) { model_ = std::move(model); }
  std::shared_ptr<MemoryModel> getMemoryInfo() { return model(); }

  // The physical memory from the process-wide cache, queried while the cache is 0; 0 when the
  // query failed (the next call queries again).
  std::uint64_t getTotalMemory();
  // (free pages + file-backed pages) x page size, in bytes. 0 when the page size or the free
  // page count cannot be read; the free pages alone when the file-backed count is unknown.
  // A product beyond 64 bits gives the largest 64-bit value.
  std::uint64_t getFreeMemory();

  // Forgets the process-wide total. For tests only.
  static void resetProcessCachesForTesting();

 private:
  MemorySource* source_;
  std::shared_ptr<MemoryModel> model_;
};

}  // namespace trellis
