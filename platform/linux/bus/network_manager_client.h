// What NetworkManager says of an interface's active connection, asked over D-Bus (sd-bus): the
// connection's user-visible name and, on Wi-Fi, the access point's network name. Each lookup opens
// its own bus connection and closes it before returning, so any thread may look up at any time;
// a lookup blocks its thread for at most its timeout.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace trellis::lnx {

struct NetworkManagerConnection {
  std::optional<std::string> id;    // the active connection's "Id"; nothing when missing or empty
  std::optional<std::string> ssid;  // the active access point's "Ssid" bytes, for a Wi-Fi device
};

struct NetworkManagerBus {
  std::string address;  // a D-Bus address such as "unix:path=/run/x"; empty for the system bus
  std::chrono::milliseconds timeout{2000};  // for the whole lookup, connecting included
};

// Asks NetworkManager (org.freedesktop.NetworkManager, never started on demand) for the device
// whose IP interface is `interface` (GetDeviceByIpIface), that device's ActiveConnection and the
// connection's Id, and, when the device has an ActiveAccessPoint, that access point's Ssid.
// Nothing when NetworkManager cannot tell: the bus cannot be reached, NetworkManager is not on
// it, it knows no such device or the device has no active connection, or it does not answer in
// time. A missing or unreadable Id or Ssid leaves that piece empty.
std::optional<NetworkManagerConnection> networkManagerConnection(const NetworkManagerBus& bus,
                                                                 const std::string& interface);

}  // namespace trellis::lnx
