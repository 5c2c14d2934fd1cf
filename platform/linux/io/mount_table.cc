#include "platform/linux/io/mount_table.h"

#include <linux/magic.h>
#include <poll.h>
#include <sys/vfs.h>

#include <utility>

#include "platform/linux/io/file_contents.h"
#include "platform/linux/io/paths.h"
#include "platform/linux/io/text_parsing.h"

namespace trellis::lnx {
namespace {

// A machine with thousands of mounts (containers, automounts) stays well below this.
constexpr std::size_t kMaxMountInfoSize = 16 * 1024 * 1024;

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// The kernel escapes space, tab, newline and backslash in mountinfo as a backslash and three
// octal digits; anything else after a backslash is kept as it stands.
std::string unescape(std::string_view field) {
  std::string text;
  text.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) && isOctal(field[i + 2]) &&
        isOctal(field[i + 3])) {
      const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      if (value <= 0xff) {
        text += static_cast<char>(value);
        i += 3;
        continue;
      }
    }
    text += field[i];
  }
  return text;
}

}  // namespace

std::vector<MountEntry> parseMountInfo(std::string_view text) {
  std::vector<MountEntry> entries;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) break;  // a line cut short
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);

    const std::vector<std::string_view> fields = splitFields(line);
    if (fields.size() < 10) continue;
    if (!parseInteger<std::uint32_t>(fields[0]) || !parseInteger<std::uint32_t>(fields[1])) continue;
    const std::size_t colon = fields[2].find(':');
    if (colon == std::string_view::npos) continue;
    const auto major = parseInteger<std::uint32_t>(fields[2].substr(0, colon));
    const auto minor = parseInteger<std::uint32_t>(fields[2].substr(colon + 1));
    if (!major || !minor) continue;
    std::size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") ++separator;
    if (separator + 2 >= fields.size()) continue;

    MountEntry entry;
    entry.major = *major;
    entry.minor = *minor;
    entry.root = unescape(fields[3]);
    entry.mountPoint = unescape(fields[4]);
    entry.options = std::string(fields[5]);
    entry.fsType = unescape(fields[separator + 1]);
    entry.source = unescape(fields[separator + 2]);
    if (separator + 3 < fields.size()) entry.superOptions = unescape(fields[separator + 3]);
    if (!entry.root.starts_with('/') || !entry.mountPoint.starts_with('/')) continue;
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<std::vector<MountEntry>> readMountTable(const std::string& root) {
  const std::optional<std::string> text = readWholeFile(underRoot(root, "proc/self/mountinfo"), kMaxMountInfoSize);
  if (!text) return std::nullopt;
  return parseMountInfo(*text);
}

MountTable::MountTable(const std::string& root) : path_(underRoot(root, "proc/self/mountinfo")) {}

MountTable::~MountTable() { closeFile(fd_); }

bool MountTable::refresh() {
  if (!watched_) {
    // Not procfs's: opened again, as a file replaced or removed since must show.
    closeFile(fd_);
    fd_ = -1;
  }
  if (fd_ < 0) {
    fd_ = openForReading(path_);
    if (fd_ < 0) {
      entries_.reset();
      return true;
    }
    struct statfs fileSystem {};
    watched_ = ::fstatfs(fd_, &fileSystem) == 0 && fileSystem.f_type == PROC_SUPER_MAGIC;
    // The first poll of a fresh descriptor reports nothing: the table read below is its baseline.
  } else if (watched_ && entries_) {
    pollfd watch{fd_, POLLPRI, 0};
    if (::poll(&watch, 1, 0) <= 0 || (watch.revents & POLLPRI) == 0) return false;
  }
  if (!readFromStart(fd_, text_, kMaxMountInfoSize)) {
    entries_.reset();
    return true;
  }
  entries_ = parseMountInfo(text_);
  return true;
}

}  // namespace trellis::lnx
