// The network collector and its record: the primary service's name, device, hardware kind, local
// IPv4 address and Wi-Fi network name, the machine's upload and download rates, and the lookup of
// the machine's public address. The collector is used from one thread at a time (the main thread
// in the agent) and is not locked; the public-address lookup runs on a fetcher thread and hands
// its result to the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "base/base_hardware_info.h"
#include "base/run_loop.h"
#include "metrics/network_source.h"
#include "model/record.h"

namespace trellis {

// The lookup service's host when no setting names one.
inline constexpr std::string_view kDefaultPublicAddressHost = "ifconfig.me";
// The environment variable that names the lookup service's host (a host name or address, with an
// optional ":port").
inline constexpr const char* kPublicAddressHostVariable = "TRELLIS_IP_HOST";
// The preference (standard domain, text) that names it for every run.
inline constexpr std::string_view kPublicAddressHostKey = "PublicAddressHost";
// What the lookup hands over when it fails in any way.
inline constexpr std::string_view kUnknownPublicAddress = "0.0.0.0";

// The host of the public-address lookup service: the environment variable TRELLIS_IP_HOST when it
// is set and not empty, else the preference "PublicAddressHost" when it holds a text that is not
// empty, else `kDefaultPublicAddressHost`. Reads both on every call.
std::string publicAddressHost();

// True for a host the lookup may put into its URL: a DNS name or IPv4 address ([A-Za-z0-9.-],
// at most 253 characters) or a bracketed IPv6 address, either with an optional ":port" of 1 to
// 5 digits. Anything else (a path, credentials, spaces, a scheme) is refused.
bool isValidPublicAddressHost(std::string_view host);

// The address in a lookup reply: the text under "ip_addr" when the body is a JSON object holding
// a string there; "0.0.0.0" for anything else (not JSON, not an object, no such key, not a string).
std::string publicAddressFromReply(std::string_view body);

// How a public-address lookup is carried out. Each empty piece takes the process's own.
struct PublicAddressLookup {
  HttpsFetcher* fetcher = nullptr;    // default: the process's (base/services.h)
  RunLoop* mainQueue = nullptr;       // where the handler runs; default: RunLoop::main()
  std::function<std::string()> host;  // the service's host; default: publicAddressHost
  HttpsFetcher::Limits limits;        // 10 s for the whole request, bodies of at most 64 KiB
};

// The record of the primary network service and the machine's throughput. Texts start empty,
// rates at 0.
class NetworkModel {
 public:
  // Called with the public address, or "0.0.0.0" when the lookup failed.
  using IpHandler = std::function<void(const std::string& ip)>;

  // The primary interface's first IPv4 address (the local one, never the public one).
  const std::string& ip() const { return ip_; }
  void setIp(std::string v) { ip_ = std::move(v); }
  const std::string& userDefinedName() const { return userDefinedName_; }
  void setUserDefinedName(std::string v) { userDefinedName_ = std::move(v); }
  // The interface's name, such as "eth0".
  const std::string& deviceName() const { return deviceName_; }
  void setDeviceName(std::string v) { deviceName_ = std::move(v); }
  // The Wi-Fi network's name; empty when not on Wi-Fi.
  const std::string& ssid() const { return ssid_; }
  void setSsid(std::string v) { ssid_ = std::move(v); }
  // "Ethernet", "AirPort" (Wi-Fi) or "PPP".
  const std::string& hardware() const { return hardware_; }
  void setHardware(std::string v) { hardware_ = std::move(v); }
  // Bytes per second.
  std::uint64_t up() const { return up_; }
  void setUp(std::uint64_t v) { up_ = v; }
  std::uint64_t down() const { return down_; }
  void setDown(std::uint64_t v) { down_ = v; }

  // The rates for people: the byte-size text of `up` (or `down`), ratio 1024, with "/s" after it.
  std::string upString() const;
  std::string downString() const;

  // Starts the public-address lookup (an HTTPS GET of "/all.json" on the lookup service) and
  // returns at once. When the request completes, `handler` runs once on the main queue with the
  // reply's "ip_addr", or with "0.0.0.0" for any failure (a host that is not valid included).
  // No property of the record changes. Callable from any thread.
  void getNetwortIpWithHandler(IpHandler handler) const;
  void getNetwortIpWithHandler(IpHandler handler, const PublicAddressLookup& lookup) const;

  // Properties in declaration order: ip, userDefinedName, deviceName, ssid, hardware, up, down.
  static RecordTable<NetworkModel> recordTable();

 private:
  std::string ip_;
  std::string userDefinedName_;
  std::string deviceName_;
  std::string ssid_;
  std::string hardware_;
  std::uint64_t up_ = 0;
  std::uint64_t down_ = 0;
};

class NetworkInfo : public BaseHardwareInfo {
 public:
  // Reads the platform's source and clock. Reads nothing until the first `reloadInfo`.
  NetworkInfo();
  // Reads `source` and `clock`, which must outlive the collector.
  NetworkInfo(NetworkSource& source, MonotonicClock& clock);

  // `getNetworkBaseInfoTo` then `getNetworkSpeedTo`, both on `model()`, updated in place.
  void reloadInfo() override;

  // The current record, made empty on first access.
  std::shared_ptr<NetworkModel> model();
  void setModel(std::shared_ptr<NetworkModel> model) { model_ = std::move(model); }
  std::shared_ptr<NetworkModel> getNetworkInfo() { return model(); }

  // Sets the record's userDefinedName, hardware, ip, ssid and deviceName from the primary
  // service, walking its pieces in the order name, device and hardware kind, address, network
  // name, and stopping at the first missing one: the pieces before it are stored, every later one
  // is stored empty. A name of 200 bytes or more counts as missing. The network name is taken only
  // when the hardware kind is "AirPort" in any letter case.
  void getNetworkBaseInfoTo(NetworkModel& record);

  // Sets the record's up and down from the change of the byte counters since the previous call,
  // over the time between the two calls cut to whole seconds of the monotonic clock. No rate is
  // computed on the first call, nor when both calls fall in the same whole second; the record
  // then keeps its rates. A counter lower than at the previous call (an interface went away, its
  // counters were reset) gives a rate of 0 for that call. Every call, rated or not, replaces the
  // baseline (lastUpdateTime, lastSendBytes, lastReceiveBytes), except one whose counters cannot
  // be read: it changes nothing, and the next call measures against the baseline before it.
  void getNetworkSpeedTo(NetworkModel& record);

  // Monotonic time in nanoseconds: the clock's ticks times the time base's numerator, divided by
  // its denominator when that is known. The time base is read once per process (again on later
  // calls while its denominator is 0). Unsigned 64-bit arithmetic throughout.
  std::uint64_t getAbsoluteNanoSec();

  // Whole seconds of the monotonic clock at the previous speed sample; 0 before the first.
  double lastUpdateTime() const { return lastUpdateTime_; }
  std::uint64_t lastSendBytes() const { return lastSendBytes_; }
  std::uint64_t lastReceiveBytes() const { return lastReceiveBytes_; }

  // Forgets the process-wide time base. For tests only.
  static void resetProcessCachesForTesting();

 private:
  NetworkSource* source_;
  MonotonicClock* clock_;
  std::shared_ptr<NetworkModel> model_;
  double lastUpdateTime_ = 0.0;
  std::uint64_t lastSendBytes_ = 0;
  std::uint64_t lastReceiveBytes_ = 0;
};

}  // namespace trellis
