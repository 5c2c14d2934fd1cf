// The network readings on Linux: the primary interface from /proc/net/route, its kind and the
// byte counters from /sys/class/net, its address from getifaddrs, and the service's name and the
// Wi-Fi network's name from NetworkManager when it runs. Files are read under a filesystem root
// ("/" normally, a fixture tree in tests). Also the monotonic clock, and the route parser as a
// plain function on text (for tests and the fuzzer). A source holds only its options, so it may
// be used from any thread, one call at a time per source; the parser keeps no state.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/network_source.h"
#include "platform/linux/bus/network_manager_client.h"

namespace trellis::lnx {

// One IPv4 address of an interface, in the order the kernel lists them.
struct InterfaceAddress {
  std::string interface;  // as getifaddrs names it: "eth0", or "eth0:1" for a labelled address
  std::string address;    // dotted, such as "192.168.1.20"
};

// Lists the machine's IPv4 addresses; nothing when the list cannot be read.
using InterfaceAddressLister = std::function<std::optional<std::vector<InterfaceAddress>>()>;

// getifaddrs(3): every AF_INET address, in its order.
std::optional<std::vector<InterfaceAddress>> systemIpv4Addresses();

// Where each reading comes from, paths under the root:
//   primary interface  proc/net/route: the default route (see `parseDefaultRouteInterface`), a
//                      VPN's included.
//   deviceName         the primary interface's name.
//   hardware           sys/class/net/IF/type: 1 (ARPHRD_ETHER) is "AirPort" when the interface is
//                      wireless (a sys/class/net/IF/wireless or phy80211 entry, or DEVTYPE=wlan in
//                      its uevent), else "Ethernet"; 512 (ARPHRD_PPP) is "PPP"; any other type (a
//                      tunnel: tun, WireGuard) is the empty kind, so its address is still given;
//                      an unreadable type has no kind.
//   address            the first IPv4 address the lister gives for the interface (an address
//                      labelled "IF:label" belongs to IF).
//   userDefinedName    NetworkManager's active connection Id for the interface; the interface's
//                      name when NetworkManager cannot tell (not running, no bus, the interface not
//                      one of its active connections). An active connection without an Id has no
//                      name.
//   ssid               NetworkManager's active access point for the interface, when it has one.
//   byteCounters       the sums of sys/class/net/*/statistics/rx_bytes and tx_bytes over every
//                      interface, up or down, of type 512 (PPP) and every physical one of type 1
//                      (Ethernet, Wi-Fi included), each counted once: virtual interfaces (under
//                      sys/devices/virtual: veth, tap, macvlan, ifb, bridges, ...; or with a
//                      tun_flags file) carry traffic a physical one carries too, and bridges,
//                      VLANs and bonds (DEVTYPE bridge, vlan or bond in uevent) never count. When
//                      there is no physical interface of type 1 at all (a container, whose eth0 is
//                      a veth), the virtual ones of type 1 count instead. An interface whose
//                      counters cannot be read (it went away while being read) is left out;
//                      nothing when sys/class/net cannot be listed.
class LinuxNetworkSource final : public NetworkSource {
 public:
  struct Options {
    std::string root = "/";
    InterfaceAddressLister addresses = systemIpv4Addresses;
    bool useNetworkManager = true;
    NetworkManagerBus networkManager;  // the system bus by default
  };

  LinuxNetworkSource();
  explicit LinuxNetworkSource(Options options);
  // The default options with files read under `root`.
  explicit LinuxNetworkSource(std::string root);

  std::optional<NetworkService> primaryService() override;
  std::optional<ByteCounters> byteCounters() override;

 private:
  std::string path(std::string_view relative) const;
  std::optional<std::string> hardwareKind(const std::string& interface) const;
  std::optional<std::string> firstAddress(const std::string& interface) const;

  Options options_;
};

// The interface of the default IPv4 route in /proc/net/route text: among the lines whose flags
// hold RTF_UP but not RTF_REJECT and that cover all addresses (destination and mask 0) or half of
// them (a /1 route: OpenVPN's "def1" pair 0.0.0.0/1 and 128.0.0.0/1 overrides the default route
// without replacing it), a /1 route before a /0 one, then the lowest metric (the first of
// equals). Malformed lines and the header are skipped. Nothing when there is no such route. The name returned is a valid interface name (1 to 15 bytes, no '/',
// ':' or blank, not "." or "..") and not the "*" of a route without a device.
std::optional<std::string> parseDefaultRouteInterface(std::string_view text);

// CLOCK_MONOTONIC in nanoseconds (it stops while the machine sleeps); time base 1/1.
class LinuxMonotonicClock final : public MonotonicClock {
 public:
  std::uint64_t absoluteTime() override;
  Timebase timebase() override { return {1, 1}; }
};

}  // namespace trellis::lnx
