// Tests of the Linux network source on the committed trees under tests/fixtures/network/ (a
// wired machine with a Wi-Fi default route of higher metric, a Wi-Fi laptop, an older Wi-Fi
// driver, a PPP link, a VPN tunnel, no default route), with NetworkManager absent, unreachable,
// silent, or stood in for on a private bus; the byte counters over every kind of interface; and
// the route parser fed every truncation and kinds of corruption.
#include "platform/linux/metrics/network_source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "metrics/network_info.h"
#include "support/fake_network_manager.h"
#include "support/private_bus.h"

namespace trellis::lnx {
namespace {

using testing::FakeNetworkManager;

std::string fixture(const std::string& name) { return std::string(TRELLIS_TEST_FIXTURES) + "/network/" + name; }

std::string readFixture(const std::string& relative) {
  std::ifstream in(fixture(relative), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// What getifaddrs would give on the fixture machines.
std::optional<std::vector<InterfaceAddress>> fixtureAddresses() {
  return std::vector<InterfaceAddress>{{"lo", "127.0.0.1"},        {"eth0", "192.168.1.20"},    {"eth0:1", "10.0.0.5"},
                                       {"wlp2s0", "192.168.2.31"}, {"wlan0:home", "10.10.1.7"}, {"ppp0", "100.64.0.9"},
                                       {"tun0", "10.8.0.2"}};
}

constexpr const char* kNoBus = "unix:path=/nonexistent/trellis-no-bus";

LinuxNetworkSource::Options options(const std::string& tree, const std::string& busAddress = kNoBus) {
  LinuxNetworkSource::Options o;
  o.root = fixture(tree);
  o.addresses = fixtureAddresses;
  o.networkManager.address = busAddress;
  o.networkManager.timeout = std::chrono::milliseconds(2000);
  return o;
}

class SteadyClock : public MonotonicClock {
 public:
  std::uint64_t absoluteTime() override { return 0; }
  Timebase timebase() override { return {1, 1}; }
};

struct Fields {
  std::string userDefinedName, deviceName, hardware, ip, ssid;
  friend bool operator==(const Fields&, const Fields&) = default;
};

std::ostream& operator<<(std::ostream& out, const Fields& f) {
  return out << "{" << f.userDefinedName << "|" << f.deviceName << "|" << f.hardware << "|" << f.ip << "|" << f.ssid
             << "}";
}

// The record's five texts after one reload over the source.
Fields recordOf(LinuxNetworkSource& source) {
  SteadyClock clock;
  NetworkInfo network(source, clock);
  network.reloadInfo();
  const auto& m = *network.getNetworkInfo();
  return {m.userDefinedName(), m.deviceName(), m.hardware(), m.ip(), m.ssid()};
}

TEST(LinuxNetworkSourceTest, FixtureMachinesWithoutNetworkManager) {
  const struct {
    const char* tree;
    Fields expected;
  } cases[] = {
      // The wired default route has the lower metric; no network name on a wired service.
      {"wired", {"eth0", "eth0", "Ethernet", "192.168.1.20", ""}},
      // Wi-Fi known by its uevent; without NetworkManager there is no network name.
      {"wifi", {"wlp2s0", "wlp2s0", "AirPort", "192.168.2.31", ""}},
      // Wi-Fi known by its wireless folder; its only address carries a label.
      {"wifi-wext", {"wlan0", "wlan0", "AirPort", "10.10.1.7", ""}},
      {"ppp", {"ppp0", "ppp0", "PPP", "100.64.0.9", ""}},
      // A tunnel's kind is empty, and its address is given.
      {"vpn", {"tun0", "tun0", "", "10.8.0.2", ""}},
      // Only a subnet route, a rejected default route and one that is not up: five empty strings.
      {"no-route", {}},
  };
  for (const auto& c : cases) {
    LinuxNetworkSource source(options(c.tree));
    EXPECT_EQ(recordOf(source), c.expected) << c.tree;
  }

  // An interface without an IPv4 address ends the walk before the network name.
  LinuxNetworkSource::Options noAddress = options("wifi");
  noAddress.addresses = [] { return std::optional<std::vector<InterfaceAddress>>(std::vector<InterfaceAddress>{}); };
  LinuxNetworkSource source(noAddress);
  EXPECT_EQ(recordOf(source), (Fields{"wlp2s0", "wlp2s0", "AirPort", "", ""}));
}

class NetworkManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bus.ok()) << "dbus-daemon could not be started"; }

  Fields withManager(const std::string& tree, std::vector<FakeNetworkManager::Device> devices,
                     FakeNetworkManager::Mode mode = FakeNetworkManager::Mode::Answer) {
    FakeNetworkManager manager(bus.address(), std::move(devices), mode);
    EXPECT_TRUE(manager.ok());
    LinuxNetworkSource::Options o = options(tree, bus.address());
    o.networkManager.timeout = std::chrono::milliseconds(300);
    LinuxNetworkSource source(o);
    return recordOf(source);
  }

  testing::PrivateBus bus;
};

TEST_F(NetworkManagerTest, NamesAndNetworkNameComeFromTheActiveConnection) {
  const FakeNetworkManager::Device wifi{"wlp2s0", "Home Wi-Fi", true, "HomeNet"};
  const FakeNetworkManager::Device wired{"eth0", "Wired connection 1", false, std::nullopt};
  EXPECT_EQ(withManager("wifi", {wired, wifi}), (Fields{"Home Wi-Fi", "wlp2s0", "AirPort", "192.168.2.31", "HomeNet"}));
  EXPECT_EQ(withManager("wired", {wired, wifi}),
            (Fields{"Wired connection 1", "eth0", "Ethernet", "192.168.1.20", ""}));
  // A Wi-Fi device not associated with any access point.
  EXPECT_EQ(withManager("wifi", {{"wlp2s0", "Home Wi-Fi", true, std::nullopt}}),
            (Fields{"Home Wi-Fi", "wlp2s0", "AirPort", "192.168.2.31", ""}));
  // An active connection without a name: a service without a user-visible name.
  EXPECT_EQ(withManager("wired", {{"eth0", "", false, std::nullopt}}), Fields{});
}

TEST_F(NetworkManagerTest, InterfaceNameWhenNetworkManagerCannotTell) {
  const Fields byInterface{"eth0", "eth0", "Ethernet", "192.168.1.20", ""};
  // Running, but the interface is not one of its devices, or has no active connection.
  EXPECT_EQ(withManager("wired", {{"wlp2s0", "Home Wi-Fi", true, "HomeNet"}}), byInterface);
  EXPECT_EQ(withManager("wired", {{"eth0", std::nullopt, false, std::nullopt}}), byInterface);

  // Not on the bus (and not started on demand).
  LinuxNetworkSource absent(options("wired", bus.address()));
  EXPECT_EQ(recordOf(absent), byInterface);

  // On the bus but never answering: the lookup gives up at its timeout.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(
      withManager("wired", {{"eth0", "Wired connection 1", false, std::nullopt}}, FakeNetworkManager::Mode::Silent),
      byInterface);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(LinuxNetworkSourceTest, ByteCountersSumEthernetWifiAndPppOnly) {
  // eth0 + wlan0 + ppp0; not lo, the bridge, the VLAN, the bond, the tunnel, nor eth1 (no counters).
  LinuxNetworkSource wired(options("wired"));
  EXPECT_EQ(wired.byteCounters(), (ByteCounters{1'000'000 + 30'000 + 500, 200'000 + 4'000 + 60}));
  LinuxNetworkSource wifi(options("wifi"));
  EXPECT_EQ(wifi.byteCounters(), (ByteCounters{123'456, 7'890}));
  LinuxNetworkSource vpn(options("vpn"));
  EXPECT_EQ(vpn.byteCounters(), (ByteCounters{5'000, 6'000}));
  // No sys/class/net to list.
  LinuxNetworkSource none(options("no-route"));
  EXPECT_EQ(none.byteCounters(), std::nullopt);
}

TEST(RouteParserTest, DefaultRouteWithTheLowestMetric) {
  const std::string header = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
  const auto route = [](const char* iface, const char* destination, const char* flags, const char* metric,
                        const char* mask) {
    return std::string(iface) + "\t" + destination + "\t0101A8C0\t" + flags + "\t0\t0\t" + metric + "\t" + mask +
           "\t0\t0\t0\n";
  };
  const struct {
    const char* what;
    std::string text;
    std::optional<std::string> expected;
  } cases[] = {
      {"header only", header, std::nullopt},
      {"empty", "", std::nullopt},
      {"lower metric later in the file",
       header + route("wlan0", "00000000", "0003", "600", "00000000") +
           route("eth0", "00000000", "0003", "100", "00000000"),
       "eth0"},
      {"equal metrics: the first",
       route("eth1", "00000000", "0003", "7", "00000000") + route("eth0", "00000000", "0003", "7", "00000000"), "eth1"},
      {"not default: a destination or a mask",
       route("eth0", "0001A8C0", "0001", "0", "00FFFFFF") + route("eth1", "00000000", "0001", "0", "000000FF"),
       std::nullopt},
      {"not up, or rejected",
       route("eth0", "00000000", "0002", "0", "00000000") + route("eth1", "00000000", "0201", "0", "00000000"),
       std::nullopt},
      {"a malformed line is skipped, not the file",
       route("eth0", "0000000G", "0003", "0", "00000000") + "eth1\t00000000\n" +
           route("eth2", "00000000", "0003", "-1", "00000000") + route("eth3", "00000000", "0003", "5", "00000000"),
       "eth3"},
      {"names that are not interface names",
       route("*", "00000000", "0003", "0", "00000000") +
           route("sixteen-bytes-xx", "00000000", "0003", "0", "00000000") +
           route("..", "00000000", "0003", "0", "00000000") + route("ok0", "00000000", "0003", "9", "00000000"),
       "ok0"},
      {"a metric past 32 bits", route("eth0", "00000000", "0003", "4294967296", "00000000"), std::nullopt},
      {"no line end on the last line", "eth0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0", "eth0"},
  };
  for (const auto& c : cases) EXPECT_EQ(parseDefaultRouteInterface(c.text), c.expected) << c.what;
}

TEST(RouteParserTest, EveryTruncationOfARealTableGivesNoneOrANameFromIt) {
  const std::string text = readFixture("wired/proc/net/route");
  ASSERT_FALSE(text.empty());
  for (std::size_t n = 0; n <= text.size(); ++n) {
    const std::optional<std::string> found = parseDefaultRouteInterface(text.substr(0, n));
    if (found) {
      EXPECT_TRUE(*found == "eth0" || *found == "wlan0") << n << ": " << *found;
    }
  }
  EXPECT_EQ(parseDefaultRouteInterface(text), "eth0");
}

}  // namespace
}  // namespace trellis::lnx
