// The network source over procfs, sysfs, getifaddrs and NetworkManager, and the monotonic clock.
// Files are read whole on every call (the kernel makes them on read). No state beyond the options.
#include "platform/linux/metrics/network_source.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/linux/io/file_contents.h"
#include "platform/linux/io/paths.h"
#include "platform/linux/io/text_parsing.h"

namespace trellis::lnx {
namespace {

// The files read here are a few bytes each; /proc/net/route grows by ~128 bytes per route, and a
// routing table of a few thousand routes is the most a desktop would have.
constexpr std::size_t kMaxFileSize = 4 * 1024 * 1024;

constexpr unsigned kRouteUp = 0x0001;      // RTF_UP
constexpr unsigned kRouteReject = 0x0200;  // RTF_REJECT
constexpr unsigned kTypeEther = 1;         // ARPHRD_ETHER
constexpr unsigned kTypePpp = 512;         // ARPHRD_PPP
constexpr std::uint32_t kHalfMask = 0x80000000;  // a /1 route: half of the address space
constexpr std::size_t kMaxInterfaceName = 15;  // IFNAMSIZ less the terminator

std::optional<std::string> readSmallFile(const std::string& path) { return readWholeFile(path, kMaxFileSize); }

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view nextToken(std::string_view& rest) {
  while (!rest.empty() && isBlank(rest.front())) rest.remove_prefix(1);
  std::size_t n = 0;
  while (n < rest.size() && !isBlank(rest[n])) ++n;
  const std::string_view token = rest.substr(0, n);
  rest.remove_prefix(n);
  return token;
}

bool isInterfaceName(std::string_view name) {
  // "*" is how the route table shows a route without a device.
  if (name.empty() || name.size() > kMaxInterfaceName || name == "." || name == ".." || name == "*") return false;
  for (char c : name) {
    if (c == '/' || c == '\0' || isBlank(c) || c == ':') return false;
  }
  return true;
}

// The DEVTYPE of a sysfs uevent file ("DEVTYPE=wlan"); empty when it has none.
std::string devType(std::string_view uevent) {
  while (!uevent.empty()) {
    const std::size_t end = uevent.find('\n');
    const std::string_view line = uevent.substr(0, end);
    if (line.substr(0, 8) == "DEVTYPE=") return std::string(trim(line.substr(8)));
    if (end == std::string_view::npos) break;
    uevent.remove_prefix(end + 1);
  }
  return {};
}

}  // namespace

std::optional<std::string> parseDefaultRouteInterface(std::string_view text) {
  std::optional<std::string> best;
  std::uint32_t bestMetric = 0;
  bool bestIsHalf = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view rest = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

    // Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT
    const std::string_view interface = nextToken(rest);
    const auto destination = parseInteger<std::uint32_t>(nextToken(rest), 16);
    const auto gateway = parseInteger<std::uint32_t>(nextToken(rest), 16);
    const auto flags = parseInteger<std::uint32_t>(nextToken(rest), 16);
    const auto refCount = parseInteger<std::uint32_t>(nextToken(rest), 10);
    const auto use = parseInteger<std::uint32_t>(nextToken(rest), 10);
    const auto metric = parseInteger<std::uint32_t>(nextToken(rest), 10);
    const auto mask = parseInteger<std::uint32_t>(nextToken(rest), 16);
    if (!isInterfaceName(interface) || !destination || !gateway || !flags || !refCount || !use || !metric || !mask) {
      continue;
    }
    if ((*flags & kRouteUp) == 0 || (*flags & kRouteReject) != 0) continue;
    // The kernel prints addresses and masks as the bytes in network order read as a host integer.
    const std::uint32_t maskBits = ntohl(*mask);
    const bool half = maskBits == kHalfMask && (ntohl(*destination) & ~kHalfMask) == 0;
    if (!half && (*destination != 0 || *mask != 0)) continue;
    if (!best || (half && !bestIsHalf) || (half == bestIsHalf && *metric < bestMetric)) {
      best = std::string(interface);
      bestMetric = *metric;
      bestIsHalf = half;
    }
  }
  return best;
}

std::optional<std::vector<InterfaceAddress>> systemIpv4Addresses() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::nullopt;
  std::vector<InterfaceAddress> addresses;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET || entry->ifa_name == nullptr) continue;
    char text[INET_ADDRSTRLEN];
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr) continue;
    addresses.push_back({entry->ifa_name, text});
  }
  ::freeifaddrs(list);
  return addresses;
}

LinuxNetworkSource::LinuxNetworkSource() : LinuxNetworkSource(Options{}) {}

LinuxNetworkSource::LinuxNetworkSource(std::string root) : LinuxNetworkSource([&root] {
  Options options;
  options.root = std::move(root);
  return options;
}()) {}

LinuxNetworkSource::LinuxNetworkSource(Options options) : options_(std::move(options)) {
  if (options_.root.empty() || options_.root.back() != '/') options_.root += '/';
  if (!options_.addresses) options_.addresses = systemIpv4Addresses;
}

std::string LinuxNetworkSource::path(std::string_view relative) const { return options_.root + std::string(relative); }

std::optional<std::string> LinuxNetworkSource::hardwareKind(const std::string& interface) const {
  const std::string folder = path("sys/class/net/" + interface + "/");
  const std::optional<std::string> typeText = readSmallFile(folder + "type");
  if (!typeText) return std::nullopt;
  const std::optional<unsigned> type = parseInteger<unsigned>(trim(*typeText), 10);
  if (!type) return std::nullopt;
  if (type == kTypePpp) return "PPP";
  // A tunnel (tun, WireGuard: ARPHRD_NONE) or any other kind has no name of ours: an empty one,
  // which lets the service's address through.
  if (type != kTypeEther) return "";
  // Wireless extensions give the "wireless" folder, cfg80211 drivers the "phy80211" link; every
  // Wi-Fi device is DEVTYPE=wlan.
  const bool wireless = exists(folder + "wireless") || exists(folder + "phy80211") ||
                        devType(readSmallFile(folder + "uevent").value_or("")) == "wlan";
  return wireless ? "AirPort" : "Ethernet";
}

std::optional<std::string> LinuxNetworkSource::firstAddress(const std::string& interface) const {
  const std::optional<std::vector<InterfaceAddress>> addresses = options_.addresses();
  if (!addresses) return std::nullopt;
  for (const InterfaceAddress& entry : *addresses) {
    const std::string_view name = entry.interface;
    if (name == interface || (name.size() > interface.size() && name.substr(0, interface.size()) == interface &&
                              name[interface.size()] == ':')) {
      return entry.address;
    }
  }
  return std::nullopt;
}

std::optional<NetworkService> LinuxNetworkSource::primaryService() {
  const std::optional<std::string> routes = readSmallFile(path("proc/net/route"));
  if (!routes) return std::nullopt;
  std::optional<std::string> interface = parseDefaultRouteInterface(*routes);
  if (!interface) return std::nullopt;

  NetworkService service;
  service.deviceName = std::move(*interface);
  service.hardware = hardwareKind(service.deviceName);
  service.address = firstAddress(service.deviceName);
  std::optional<NetworkManagerConnection> connection;
  if (options_.useNetworkManager) connection = networkManagerConnection(options_.networkManager, service.deviceName);
  if (connection) {
    service.userDefinedName = std::move(connection->id);
    service.ssid = std::move(connection->ssid);
  } else {
    service.userDefinedName = service.deviceName;
  }
  return service;
}

std::optional<ByteCounters> LinuxNetworkSource::byteCounters() {
  const std::string folder = path("sys/class/net/");
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return std::nullopt;
  // Hardware drivers give their interfaces a parent device; bridges, bonds, VLANs, veth and
  // macvlan pairs, tun/tap, WireGuard, ifb and loopback have none and live under devices/virtual.
  const std::string virtualDir = resolvedPath(path("sys/devices/virtual")).value_or("").string() + "/";
  ByteCounters physical, virtualEthernet, ppp;
  bool anyPhysical = false;
  bool ok = true;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      ok = errno == 0;
      break;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string interface = folder + name + "/";
    const std::optional<std::string> typeText = readSmallFile(interface + "type");
    if (!typeText) continue;
    const std::optional<unsigned> type = parseInteger<unsigned>(trim(*typeText), 10);
    if (type != kTypeEther && type != kTypePpp) continue;
    const std::string kind = devType(readSmallFile(interface + "uevent").value_or(""));
    // Their traffic is counted on the interfaces beneath them.
    if (kind == "bridge" || kind == "vlan" || kind == "bond") continue;
    const bool isVirtual = resolvedPath(folder + name).value_or("").string().starts_with(virtualDir) ||
                           exists(interface + "tun_flags");
    if (type == kTypeEther && !isVirtual) anyPhysical = true;
    const std::optional<std::string> rx = readSmallFile(interface + "statistics/rx_bytes");
    const std::optional<std::string> tx = readSmallFile(interface + "statistics/tx_bytes");
    if (!rx || !tx) continue;
    const auto received = parseInteger<std::uint64_t>(trim(*rx), 10);
    const auto sent = parseInteger<std::uint64_t>(trim(*tx), 10);
    if (!received || !sent) continue;
    ByteCounters& sums = type == kTypePpp ? ppp : isVirtual ? virtualEthernet : physical;
    sums.received += *received;  // wraps modulo 2^64, like the counters themselves
    sums.sent += *sent;
  }
  (void)::closedir(dir);  // a directory stream: nothing to lose if closing reports an error
  if (!ok) return std::nullopt;
  // A container sees no hardware, only its end of a veth pair: that is its traffic.
  const ByteCounters& ethernet = anyPhysical ? physical : virtualEthernet;
  return ByteCounters{ppp.received + ethernet.received, ppp.sent + ethernet.sent};
}

std::uint64_t LinuxMonotonicClock::absoluteTime() {
  timespec ts{};
  // CLOCK_MONOTONIC cannot fail with a valid clock id and buffer.
  (void)::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

}  // namespace trellis::lnx

