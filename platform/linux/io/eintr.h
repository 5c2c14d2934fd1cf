// The one place Linux code retries a call interrupted by a signal, in the two ways calls report
// it: -1 with errno EINTR, or EINTR as the returned error number. Stateless; any thread.
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

// For calls that return an error number instead of setting errno (getpwuid_r): calls `call`
// again while it returns EINTR; returns its last result.
template <typename Call>
int retryOnEintrError(Call call) {
  int error;
  do {
    error = call();
  } while (error == EINTR);
  return error;
}

}  // namespace trellis::lnx
