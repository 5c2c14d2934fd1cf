// The network collector: the primary service walked piece by piece, throughput from the change of
// the byte counters between two samples, and the public-address lookup. The collector's thread
// only, except the lookup's completion, which runs on the fetcher's thread and touches nothing but
// what it captured; the process-wide time base below is deliberately unlocked (the collector's
// thread only).
#include "metrics/network_info.h"

#include <limits>
#include <nlohmann/json.hpp>

#include "base/services.h"
#include "tools/kw_tools.h"
#include "tools/kw_user_defaults.h"

namespace trellis {

namespace {

// The clock's time base, shared by every collector; a denominator of 0 means not yet read.
Timebase g_timebase;

// Each text of the service is copied into a buffer of this many bytes, its terminator included.
constexpr std::size_t kFieldBuffer = 200;

bool fits(const std::string& text) { return text.size() < kFieldBuffer; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Bytes per second between two readings of a cumulative counter over `elapsed` (> 0) seconds.
std::uint64_t rate(std::uint64_t now, std::uint64_t before, double elapsed) {
  // A counter that went backwards (its interface went away, or its counters were reset) says
  // nothing about this interval; the unsigned difference would wrap into an absurd rate.
  if (now < before) return 0;
  const double quotient = static_cast<double>(now - before) / elapsed;
  if (!(quotient > 0.0)) return 0;
  // 2^64: the first double an unsigned 64-bit integer cannot hold.
  constexpr double kLimit = 18446744073709551616.0;
  if (quotient >= kLimit) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(quotient);
}

bool isHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

bool isIpv6Character(char c) {
  return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') || c == ':' || c == '.';
}

}  // namespace

std::string publicAddressHost() {
  // The environment names a host for one run, the preference for every run.
  const auto& environment = installedServices().environment;
  if (!environment) missingService("the environment");
  std::optional<std::string> fromEnvironment = environment(kPublicAddressHostVariable);
  if (fromEnvironment && !fromEnvironment->empty()) return *fromEnvironment;
  std::optional<std::string> preferred = KwUserDefaults::share().stringForKey(kPublicAddressHostKey);
  if (preferred && !preferred->empty()) return *preferred;
  return std::string(kDefaultPublicAddressHost);
}

bool isValidPublicAddressHost(std::string_view host) {
  std::string_view port;
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos || close < 3) return false;
    for (char c : host.substr(1, close - 1)) {
      if (!isIpv6Character(c)) return false;
    }
    const std::string_view rest = host.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port = rest.substr(1);
      if (port.empty()) return false;
    }
  } else {
    const std::size_t colon = host.find(':');
    const std::string_view name = host.substr(0, colon);
    if (colon != std::string_view::npos) {
      port = host.substr(colon + 1);
      if (port.empty()) return false;
    }
    if (name.empty() || name.size() > 253 || name.front() == '-' || name.front() == '.') return false;
    for (char c : name) {
      if (!isHostCharacter(c)) return false;
    }
  }
  if (port.size() > 5) return false;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string publicAddressFromReply(std::string_view body) {
  try {
    const nlohmann::json reply = nlohmann::json::parse(body, /*cb=*/nullptr, /*allow_exceptions=*/false);
    if (reply.is_object()) {
      const auto found = reply.find("ip_addr");
      if (found != reply.end() && found->is_string()) return found->get<std::string>();
    }
  } catch (const std::exception&) {
    // Only an allocation failure can get here; it is one more failed lookup.
  }
  return std::string(kUnknownPublicAddress);
}

std::string NetworkModel::upString() const { return KwTools::bytesToString(up_) + "/s"; }
std::string NetworkModel::downString() const { return KwTools::bytesToString(down_) + "/s"; }

void NetworkModel::getNetwortIpWithHandler(IpHandler handler) const {
  getNetwortIpWithHandler(std::move(handler), PublicAddressLookup{});
}

void NetworkModel::getNetwortIpWithHandler(IpHandler handler, const PublicAddressLookup& lookup) const {
  RunLoop* mainQueue = lookup.mainQueue != nullptr ? lookup.mainQueue : &RunLoop::main();
  HttpsFetcher& fetcher =
      lookup.fetcher != nullptr ? *lookup.fetcher : required(installedServices().https, "the HTTPS fetcher");
  const std::string host = lookup.host ? lookup.host() : publicAddressHost();

  // Runs on the fetcher's thread: only the decoding and the handler move to the main queue.
  // The handler moves on with the result, so nothing of the caller's is destroyed on that thread.
  HttpsFetcher::Completion completion = [mainQueue, handler = std::move(handler)](
                                            std::optional<std::string> body) mutable {
    if (!handler) return;
    mainQueue->post([handler = std::move(handler), body = std::move(body)] {
      handler(body ? publicAddressFromReply(*body) : std::string(kUnknownPublicAddress));
    });
  };
  if (!isValidPublicAddressHost(host)) {
    // Refused before any request, but still answered on the main queue like any other failure.
    completion(std::nullopt);
    return;
  }
  fetcher.get("https://" + host + "/all.json", lookup.limits, std::move(completion));
}

NetworkInfo::NetworkInfo()
    : NetworkInfo(required(installedServices().network, "the network source"),
                  required(installedServices().clock, "the monotonic clock")) {}

NetworkInfo::NetworkInfo(NetworkSource& source, MonotonicClock& clock) : source_(&source), clock_(&clock) {}

void NetworkInfo::resetProcessCachesForTesting() { g_timebase = {}; }

std::shared_ptr<NetworkModel> NetworkInfo::model() {
  if (!model_) model_ = std::make_shared<NetworkModel>();
  return model_;
}

void NetworkInfo::reloadInfo() {
  const std::shared_ptr<NetworkModel> record = model();
  getNetworkBaseInfoTo(*record);
  getNetworkSpeedTo(*record);
}

void NetworkInfo::getNetworkBaseInfoTo(NetworkModel& record) {
  std::string userDefinedName, deviceName, hardware, ip, ssid;
  // Each step needs the one before it; the first missing piece ends the walk.
  [&] {
    const std::optional<NetworkService> service = source_->primaryService();
    if (!service) return;
    if (!service->userDefinedName || !fits(*service->userDefinedName)) return;
    userDefinedName = *service->userDefinedName;
    if (fits(service->deviceName)) deviceName = service->deviceName;
    if (!service->hardware) return;
    if (fits(*service->hardware)) hardware = *service->hardware;
    if (!service->address) return;
    if (fits(*service->address)) ip = *service->address;
    if (equalsIgnoringCase(hardware, "AirPort") && service->ssid && fits(*service->ssid)) ssid = *service->ssid;
  }();
  record.setUserDefinedName(std::move(userDefinedName));
  record.setHardware(std::move(hardware));
  record.setIp(std::move(ip));
  record.setSsid(std::move(ssid));
  record.setDeviceName(std::move(deviceName));
}

std::uint64_t NetworkInfo::getAbsoluteNanoSec() {
  if (g_timebase.denominator == 0) g_timebase = clock_->timebase();
  std::uint64_t t = clock_->absoluteTime() * g_timebase.numerator;
  if (g_timebase.denominator != 0) t /= g_timebase.denominator;
  return t;
}

void NetworkInfo::getNetworkSpeedTo(NetworkModel& record) {
  // A list that cannot be read says nothing about this interval: the rates and the baseline stay
  // (a baseline of zeros would make the next rate the whole counters over the interval).
  const std::optional<ByteCounters> read = source_->byteCounters();
  if (!read) return;
  const ByteCounters& counters = *read;
  // Whole seconds, the fraction dropped before differencing.
  const double now = static_cast<double>(getAbsoluteNanoSec() / 1'000'000'000u);
  if (lastUpdateTime_ != 0.0) {
    const double elapsed = now - lastUpdateTime_;
    if (elapsed > 0.0) {
      record.setDown(rate(counters.received, lastReceiveBytes_, elapsed));
      record.setUp(rate(counters.sent, lastSendBytes_, elapsed));
    }
  }
  lastUpdateTime_ = now;
  lastReceiveBytes_ = counters.received;
  lastSendBytes_ = counters.sent;
}

RecordTable<NetworkModel> NetworkModel::recordTable() {
  return RecordTable<NetworkModel>("NetworkModel")
      .property("ip", &NetworkModel::ip, &NetworkModel::setIp)
      .property("userDefinedName", &NetworkModel::userDefinedName, &NetworkModel::setUserDefinedName)
      .property("deviceName", &NetworkModel::deviceName, &NetworkModel::setDeviceName)
      .property("ssid", &NetworkModel::ssid, &NetworkModel::setSsid)
      .property("hardware", &NetworkModel::hardware, &NetworkModel::setHardware)
      .property("up", &NetworkModel::up, &NetworkModel::setUp)
      .property("down", &NetworkModel::down, &NetworkModel::setDown);
}

}  // namespace trellis
