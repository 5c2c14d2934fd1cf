// Setting one of the process's services around a test (base/services.h): a test sets the fakes it
// needs in SetUp or at its start and empties them again at its end. Test thread only.
#pragma once

#include <type_traits>

#include "base/services.h"
#include "smc/smc_transport.h"

namespace trellis::testing {

// Makes `value` the process's service `member`; nullptr empties it again.
template <typename T>
void setService(T* Services::*member, std::type_identity_t<T>* value) {
  Services services = installedServices();
  services.*member = value;
  installServices(services);
}

// The transport of a machine without an SMC, for tests that need none installed.
inline SmcTransport* noSmc() {
  static NoSmc none;
  return &none;
}

}  // namespace trellis::testing
