// A private dbus-daemon for tests that need a real bus. Starting it sets
// DBUS_SESSION_BUS_ADDRESS for this process; destroying it kills the daemon.
#pragma once

#include <sys/types.h>

#include <string>

namespace trellis::testing {

class PrivateBus {
 public:
  // Starts the daemon at an address of its choosing; `ok()` tells whether it runs.
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  bool ok() const { return pid_ > 0 && !address_.empty(); }
  const std::string& address() const { return address_; }

 private:
  pid_t pid_ = -1;
  std::string address_;
};

}  // namespace trellis::testing
