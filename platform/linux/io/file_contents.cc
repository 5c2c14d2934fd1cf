#include "platform/linux/io/file_contents.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/linux/io/eintr.h"
#include "platform/linux/io/text_parsing.h"

namespace trellis::lnx {
namespace {

// A sysfs attribute is at most a page; 64 KiB leaves room for procfs's small files.
constexpr std::size_t kMaxAttributeSize = 64 * 1024;

std::nullopt_t fail(int* error, int code) {
  if (error != nullptr) *error = code;
  return std::nullopt;
}

}  // namespace

int openForReading(const std::string& path, FileKind kind) {
  // Non-blocking, so that opening a FIFO does not wait for a writer before it can be refused;
  // reads of a regular file do not block either way.
  const int flags = O_RDONLY | O_CLOEXEC | (kind == FileKind::kRegular ? O_NONBLOCK : 0);
  const int fd = retryOnEintr([&] { return ::open(path.c_str(), flags); });
  if (fd < 0 || kind == FileKind::kAny) return fd;
  struct stat status {};
  const int code = ::fstat(fd, &status) != 0 ? errno : !S_ISREG(status.st_mode) ? EINVAL : 0;
  if (code == 0) return fd;
  closeFile(fd);
  errno = code;
  return -1;
}

void closeFile(int fd) {
  if (fd >= 0) (void)::close(fd);
}

std::optional<std::string> readToEnd(int fd, std::size_t maxSize, int* error) {
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = retryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) return fail(error, errno);
    if (n == 0) return text;
    if (static_cast<std::size_t>(n) > maxSize - text.size()) return fail(error, EFBIG);
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> readWholeFile(const std::string& path, std::size_t maxSize, FileKind kind, int* error) {
  const int fd = openForReading(path, kind);
  if (fd < 0) return fail(error, errno);
  std::optional<std::string> text = readToEnd(fd, maxSize, error);
  closeFile(fd);
  return text;
}

std::optional<std::string> readAttribute(const std::string& path) {
  const std::optional<std::string> text = readWholeFile(path, kMaxAttributeSize);
  if (!text) return std::nullopt;
  return std::string(trimmed(*text));
}

ssize_t readFromStart(int fd, void* buffer, std::size_t size) {
  return retryOnEintr([&] { return ::pread(fd, buffer, size, 0); });
}

std::optional<std::string> readFromStart(int fd, std::size_t size) {
  std::string text(size, '\0');
  const ssize_t n = readFromStart(fd, text.data(), size);
  if (n < 0) return std::nullopt;
  text.resize(static_cast<std::size_t>(n));
  return text;
}

bool readFromStart(int fd, std::string& text, std::size_t maxSize, int* error) {
  // A procfs file is made whole at offset 0 and cut to the size asked: when the buffer comes back
  // full, the file may be longer, so it is read again into a larger one.
  std::size_t size = std::min(std::max<std::size_t>(text.capacity(), 4096), maxSize);
  for (;;) {
    text.resize(size);
    const ssize_t n = readFromStart(fd, text.data(), size);
    if (n < 0 || (static_cast<std::size_t>(n) == size && size == maxSize)) {
      if (error != nullptr) *error = n < 0 ? errno : EFBIG;
      text.clear();
      return false;
    }
    if (static_cast<std::size_t>(n) < size) {
      text.resize(static_cast<std::size_t>(n));
      return true;
    }
    size = size > maxSize / 2 ? maxSize : size * 2;
  }
}

}  // namespace trellis::lnx
