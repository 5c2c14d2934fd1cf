// The one place Linux code retries a call interrupted by a signal. Stateless; any thread.
#pragma once

#include <cerrno>

namespace trellis::lnx {

// Calls `call` again while it fails with -1 and errno EINTR; returns its last result.
template <typename Call>
auto retryOnEintr(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

}  // namespace trellis::lnx
