#include "platform/linux/io/errno_text.h"

#include <string.h>

namespace trellis::lnx {

std::string errnoText(int error) {
  char buffer[256];
  // The GNU strerror_r: it returns the text, in `buffer` or a static string of its own.
  return ::strerror_r(error < 0 ? -error : error, buffer, sizeof buffer);
}

}  // namespace trellis::lnx
