// Fuzzes the text parsers of the Linux memory and disk sources: the input is handed whole to the
// mountinfo parser (and the volume selection over what it gives), the /proc/meminfo parser, the
// block-stat parser and the vm_stat "File-backed pages" reader, and what each returns is checked
// against its contract. Single-threaded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "metrics/memory_source.h"
#include "platform/linux/io/mount_table.h"
#include "platform/linux/metrics/disk_source.h"
#include "platform/linux/metrics/memory_source.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace trellis::lnx;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  std::size_t lines = 0;
  for (char c : text) lines += c == '\n';

  const std::vector<MountEntry> mounts = parseMountInfo(text);
  check(mounts.size() <= lines);  // complete lines only
  for (const MountEntry& mount : mounts) {
    check(mount.root.starts_with('/') && mount.mountPoint.starts_with('/'));
    check(!mount.fsType.empty() && !mount.source.empty());
  }
  const std::vector<MountedVolume> volumes = selectVolumes(mounts);
  check(volumes.size() <= mounts.size());
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    const MountEntry& mount = volumes[i].mount;
    check(mount.mountPoint.find("/.") == std::string::npos);
    check(volumes[i].network || mount.major != 0 || mount.source.starts_with("/dev/"));
    for (std::size_t j = 0; j < i; ++j) check(volumes[j].mount.mountPoint != mount.mountPoint);
  }

  const MemInfo info = parseMemInfo(text);
  for (const auto& figure : {info.memTotal, info.memFree, info.activeFile, info.inactiveFile}) {
    if (figure) check(*figure % 1024 == 0);
  }

  if (const auto counters = parseBlockStat(text)) {
    check(counters->bytesRead && counters->bytesWritten);
    check(*counters->bytesRead % 512 == 0 && *counters->bytesWritten % 512 == 0);
  }

  const std::uint64_t pages = trellis::vmStatFileBackedPages(text);
  if (text.find("File-backed pages") == std::string_view::npos) check(pages == 0);
  return 0;
}
