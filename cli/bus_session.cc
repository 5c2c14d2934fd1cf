#include "cli/bus_session.h"

#include <cstdio>

namespace trellis::cli {

std::optional<BusSession> connectBus(const std::string& busName, bool quiet) {
  int error = 0;
  BusSession session;
  session.loop = lnx::SdEventRunLoop::create(&error);
  if (!session.loop) {
    if (!quiet) std::fprintf(stderr, "trellis: cannot set up the event loop: %s\n", lnx::errnoText(error).c_str());
    return std::nullopt;
  }
  lnx::DBusCenter::Options options;
  options.bus = busName == "system" ? lnx::BusKind::System : lnx::BusKind::Session;
  session.center = lnx::DBusCenter::create(*session.loop, options, &error);
  if (!session.center) {
    if (!quiet) {
      std::fprintf(stderr, "trellis: cannot connect to the %s bus: %s\n", busName.c_str(),
                   lnx::errnoText(error).c_str());
    }
    return std::nullopt;
  }
  return session;
}

}  // namespace trellis::cli
