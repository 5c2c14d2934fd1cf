// The network collector behind `trellis metrics network`, over a fake source and clock: the
// service walk that stops at the first missing piece, rates over whole seconds, the time base,
// the rate texts and the record's forms. Also the public-address lookup's pure parts: the host
// setting and its check, and the reply decoding.
#include "metrics/network_info.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "cli/network_commands.h"
#include "model/mapping.h"
#include "support/fake_sources.h"

namespace trellis {
namespace {

class NetworkInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { NetworkInfo::resetProcessCachesForTesting(); }
  void TearDown() override { NetworkInfo::resetProcessCachesForTesting(); }
  testing::FakeNetworkSource source;
  testing::FakeClock clock;
};

TEST_F(NetworkInfoTest, ServiceWalkStopsAtTheFirstMissingPiece) {
  const std::string name(199, 'n');  // the longest name that fits its buffer
  const auto none = std::nullopt;
  const struct {
    std::optional<NetworkService> service;  // device, name, kind, address, network name
    std::string expected;                   // name|device|kind|address|network name
  } cases[] = {
      {NetworkService{"wlan0", "Wi-Fi", "AirPort", "192.168.1.31", "Home"}, "Wi-Fi|wlan0|AirPort|192.168.1.31|Home"},
      {NetworkService{"wlan0", "Wi-Fi", "airport", "192.168.1.31", "Home"}, "Wi-Fi|wlan0|airport|192.168.1.31|Home"},
      {NetworkService{"eth0", "Wired", "Ethernet", "10.0.0.2", "Home"}, "Wired|eth0|Ethernet|10.0.0.2|"},
      {NetworkService{"wlan0", "Wi-Fi", "AirPort", "192.168.1.31", none}, "Wi-Fi|wlan0|AirPort|192.168.1.31|"},
      {NetworkService{"wlan0", "Wi-Fi", "AirPort", none, "Home"}, "Wi-Fi|wlan0|AirPort||"},
      {NetworkService{"wlan0", "Wi-Fi", none, "192.168.1.31", "Home"}, "Wi-Fi|wlan0|||"},
      {NetworkService{"wlan0", none, "AirPort", "192.168.1.31", "Home"}, "||||"},
      {NetworkService{"wlan0", name + "n", "AirPort", "192.168.1.31", "Home"}, "||||"},
      {NetworkService{name + "n", "Wi-Fi", "AirPort", "192.168.1.31", "Home"}, "Wi-Fi||AirPort|192.168.1.31|Home"},
      {NetworkService{"wlan0", name, "AirPort", "192.168.1.31", "Home"}, name + "|wlan0|AirPort|192.168.1.31|Home"},
      {none, "||||"},
  };
  for (const auto& c : cases) {
    NetworkInfo network(source, clock);
    // Fields from an earlier walk do not survive a shorter one.
    network.model()->setSsid("stale");
    network.model()->setIp("10.0.0.1");
    source.service = c.service;
    network.getNetworkBaseInfoTo(*network.model());
    const NetworkModel& m = *network.model();
    EXPECT_EQ(m.userDefinedName() + "|" + m.deviceName() + "|" + m.hardware() + "|" + m.ip() + "|" + m.ssid(),
              c.expected);
  }
}

TEST_F(NetworkInfoTest, RatesOverWholeSecondsWithBaselineSameSecondAndBackwardsCounters) {
  NetworkInfo network(source, clock);
  const std::shared_ptr<NetworkModel> record = network.model();
  constexpr std::uint64_t kMs = 1'000'000;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const struct {
    const char* what;
    std::uint64_t atMs;
    std::optional<ByteCounters> counters;  // received, sent
    std::uint64_t down, up;
    double lastUpdateTime;
  } steps[] = {
      {"first call: baseline only", 5'200, ByteCounters{1000, 100}, 0, 0, 5},
      {"0.9 s later across a second boundary counts as 1 s", 6'100, ByteCounters{4000, 700}, 3000, 600, 6},
      {"same second: rates kept, baseline moved", 6'900, ByteCounters{9000, 900}, 3000, 600, 6},
      {"3 whole seconds, fraction truncated", 9'000, ByteCounters{15'001, 1'501}, 2000, 200, 9},
      {"received bytes went backwards: 0 for that rate only", 10'500, ByteCounters{100, 2'101}, 0, 600, 10},
      {"unreadable counters change nothing", 12'000, std::nullopt, 0, 600, 10},
      {"the next call measures against the baseline before", 13'000, ByteCounters{700, 50}, 200, 0, 13},
      // The quotient rounds to 2^64 as a double, one past what the rate can hold.
      {"a rate too large for 64 bits saturates", 14'000, ByteCounters{kMax, 50}, kMax, 0, 14},
  };
  ByteCounters baseline;
  for (const auto& s : steps) {
    clock.ticks = s.atMs * kMs;
    source.counters = s.counters;
    network.reloadInfo();
    EXPECT_EQ(record->down(), s.down) << s.what;
    EXPECT_EQ(record->up(), s.up) << s.what;
    EXPECT_EQ(network.lastUpdateTime(), s.lastUpdateTime) << s.what;
    baseline = s.counters.value_or(baseline);
    EXPECT_EQ(network.lastReceiveBytes(), baseline.received) << s.what;
    EXPECT_EQ(network.lastSendBytes(), baseline.sent) << s.what;
  }
}

TEST_F(NetworkInfoTest, TimebaseIsReadOncePerProcessUntilKnown) {
  clock.base = {125, 3};
  clock.ticks = 3'000'000'000;
  NetworkInfo first(source, clock);
  NetworkInfo second(source, clock);
  EXPECT_EQ(first.getAbsoluteNanoSec(), 125'000'000'000u);
  clock.base = {1, 1};  // the cached time base stays
  EXPECT_EQ(second.getAbsoluteNanoSec(), 125'000'000'000u);
  // An unknown time base (denominator 0) is asked again on the next call.
  NetworkInfo::resetProcessCachesForTesting();
  clock.base = {0, 0};
  EXPECT_EQ(first.getAbsoluteNanoSec(), 0u);
  clock.base = {1, 1};
  EXPECT_EQ(first.getAbsoluteNanoSec(), 3'000'000'000u);
  EXPECT_EQ(clock.timebaseReads, 3);
}

TEST(NetworkModelTest, RateTextsRecordFormAndCompanionJson) {
  NetworkModel model;
  EXPECT_EQ(model.upString(), "0 B/s");
  model.setUp(1'500'000);
  model.setDown(2048);
  model.setIp("192.168.1.31");
  model.setUserDefinedName("Café \xff");  // not UTF-8: replaced in the JSON, not a failure
  model.setDeviceName("wlan0");
  model.setSsid("HomeNet");
  model.setHardware("AirPort");
  const Dictionary form = mj_keyValues(model);
  EXPECT_EQ(form.size(), 7u);
  EXPECT_EQ(form.at("up"), Value(std::uint64_t{1'500'000}));
  EXPECT_EQ(form.at("hardware"), Value("AirPort"));
  EXPECT_EQ(cli::networkRecordJson(model),
            R"({"ip":"192.168.1.31","userDefinedName":"Café )"
            "\xEF\xBF\xBD"
            R"(","deviceName":"wlan0","ssid":"HomeNet","hardware":"AirPort","up":1500000,"down":2048,)"
            R"("upString":"1.4 MB/s","downString":"2 KB/s"})");
}

TEST(PublicAddressTest, HostSettingCheckAndReplies) {
  ::unsetenv(kPublicAddressHostVariable);
  EXPECT_EQ(publicAddressHost(), kDefaultPublicAddressHost);
  ::setenv(kPublicAddressHostVariable, "", 1);
  EXPECT_EQ(publicAddressHost(), kDefaultPublicAddressHost);
  ::setenv(kPublicAddressHostVariable, "ip.example.net:8443", 1);
  EXPECT_EQ(publicAddressHost(), "ip.example.net:8443");
  ::unsetenv(kPublicAddressHostVariable);

  for (const char* host : {"ifconfig.me", "127.0.0.1:4443", "[::1]", "[2001:db8::1]:443", "a-b.example"}) {
    EXPECT_TRUE(isValidPublicAddressHost(host)) << host;
  }
  const std::string tooLong(254, 'a');
  for (const char* host : {"", "evil.example/all.json?", "user@host", "host:", "host:123456", "host:80x",
                           "https://host", "a b", "[::1", "[]", "[:]", "[::1]x1", "-host", ".host", "host\n", tooLong.c_str()}) {
    EXPECT_FALSE(isValidPublicAddressHost(host)) << host;
  }

  // Only a string under "ip_addr" of a top-level object is an address.
  EXPECT_EQ(publicAddressFromReply(R"({"ip_addr": "203.0.113.7", "remote_host": "x"})"), "203.0.113.7");
  EXPECT_EQ(publicAddressFromReply(R"({"ip_addr": ""})"), "");
  for (const char* body : {R"({"ip_addr": 203})", R"({"ip_addr": null})", R"({"remote_host": "x"})",
                           R"([{"ip_addr": "203.0.113.7"}])", R"({"nested": {"ip_addr": "203.0.113.7"}})",
                           R"("203.0.113.7")", "203.0.113.7", R"({"ip_addr": "203.0.113.7")",
                           "{\"ip_addr\": \"\xff\"}", ""}) {
    EXPECT_EQ(publicAddressFromReply(body), "0.0.0.0") << body;
  }
}

}  // namespace
}  // namespace trellis
