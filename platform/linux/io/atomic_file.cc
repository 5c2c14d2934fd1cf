#include "platform/linux/io/atomic_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/linux/io/eintr.h"
#include "platform/linux/io/errno_text.h"

namespace trellis::lnx {

bool replaceFile(const std::string& folder, std::string_view name, std::string_view text, std::string* error) {
  const std::string target = folder + "/" + std::string(name);
  // A name node_exporter's textfile collector skips (it reads *.prom only) while it is written.
  std::string temporary = folder + "/." + std::string(name) + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = target + ": " + errnoText(errno);
    return false;
  }
  int code = 0;
  std::string_view left = text;
  while (code == 0 && !left.empty()) {
    const ssize_t written = retryOnEintr([&] { return ::write(fd, left.data(), left.size()); });
    if (written < 0) {
      code = errno;
    } else {
      left.remove_prefix(static_cast<std::size_t>(written));
    }
  }
  // Readable by the collector whichever user it runs as, as the file it replaces would be.
  if (code == 0 && ::fchmod(fd, 0644) != 0) code = errno;
  if (::close(fd) != 0 && code == 0) code = errno;
  if (code == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) code = errno;
  if (code != 0) {
    (void)::unlink(temporary.c_str());
    if (error) *error = target + ": " + errnoText(code);
    return false;
  }
  return true;
}

}  // namespace trellis::lnx
