// The mount table of a filesystem root ("/" normally, a fixture tree in tests): the parser of
// /proc/self/mountinfo, a reader of that file under the root, and `MountTable`, which keeps the
// file open and parses it again only when it changed. The free functions are stateless and
// thread-safe; a `MountTable` is used from one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trellis::lnx {

// One line of /proc/self/mountinfo:
//   36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue
//   id parent major:minor root mount-point options [optional fields...] - type source super-options
// The four path-like fields (root, mount point, source, and the super options) have the kernel's
// octal escapes (\040 space, \011 tab, \012 newline, \134 backslash) decoded.
struct MountEntry {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::string root;        // the directory of the file system that is mounted ("/" for all of it)
  std::string mountPoint;  // absolute
  std::string options;     // per-mount options ("rw,relatime")
  std::string fsType;      // "ext4", "nfs4", "fuse.sshfs"
  std::string source;      // "/dev/sda1", "server:/export", "tmpfs"
  std::string superOptions;

  friend bool operator==(const MountEntry&, const MountEntry&) = default;
};

// Every well-formed line, in file order. A line with fewer than ten fields, without the " - "
// separator after the optional fields, with a device number that is not "decimal:decimal" (each
// fitting 32 bits), or with a root or mount point that is not absolute is skipped; so is the
// last line when the text does not end with a line end (a truncated read).
std::vector<MountEntry> parseMountInfo(std::string_view text);

// The entries of root/proc/self/mountinfo; nothing when it cannot be read or is over 16 MiB.
std::optional<std::vector<MountEntry>> readMountTable(const std::string& root);

// root/proc/self/mountinfo held open. The kernel flags a change of the mount table on the open
// file (poll gives POLLPRI once after each change), so on procfs the table is read and parsed
// again only after such a change; a file elsewhere (a fixture) is read again on every refresh.
class MountTable {
 public:
  explicit MountTable(const std::string& root);
  ~MountTable();
  MountTable(const MountTable&) = delete;
  MountTable& operator=(const MountTable&) = delete;

  // Brings `entries` up to date: true when they were read again (the first call, a change, a
  // file not on procfs, or a file that could not be opened or read before or now), false when
  // the kept entries still stand.
  bool refresh();
  // The entries of the latest refresh, as `readMountTable` gives them; nothing before the first
  // refresh or when the file could not be read.
  const std::optional<std::vector<MountEntry>>& entries() const { return entries_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool watched_ = false;  // the file is procfs's: a change shows as POLLPRI
  std::string text_;      // the latest text read, its buffer kept for the next read
  std::optional<std::vector<MountEntry>> entries_;
};

}  // namespace trellis::lnx
