// Small procfs/sysfs file reads with EINTR retried here and nowhere else in the memory and disk
// sources. Stateless; any thread.
#include "platform/linux/io/text_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace trellis::lnx {

int openKernelTextFile(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void closeKernelTextFile(int fd) {
  // A read-only descriptor: nothing is lost if close reports an error, and it must not be retried.
  if (fd >= 0) (void)::close(fd);
}

std::optional<std::string> readKernelTextFile(const std::string& path, std::size_t maxSize) {
  const int fd = openKernelTextFile(path);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || text.size() + static_cast<std::size_t>(n) > maxSize) {
      ok = false;
      break;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  closeKernelTextFile(fd);
  if (!ok) return std::nullopt;
  return text;
}

std::optional<std::string> rereadKernelTextFile(int fd, std::size_t size) {
  std::string text(size, '\0');
  ssize_t n;
  do {
    n = ::pread(fd, text.data(), size, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return std::nullopt;
  text.resize(static_cast<std::size_t>(n));
  return text;
}

}  // namespace trellis::lnx
