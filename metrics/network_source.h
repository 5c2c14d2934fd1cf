// Where the network collector and its record get their platform readings: the primary network
// service, the interfaces' byte counters, the monotonic clock, and HTTPS fetches for the
// public-address lookup. The platform's implementations live in the platform folder; tests give
// fakes. A `NetworkSource` and a `MonotonicClock` are used from one thread at a time (the
// collector's); an `HttpsFetcher` may be asked from any thread and completes on a thread of its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/clock.h"

namespace trellis {

// What the platform knows of the primary network service: the service of the interface that
// carries the default IPv4 route. Each piece is nothing when the platform has no answer for it.
struct NetworkService {
  std::string deviceName;                      // the interface's name, such as "eth0"; never empty
  std::optional<std::string> userDefinedName;  // the service's user-visible name
  std::optional<std::string> hardware;         // "Ethernet", "AirPort" (Wi-Fi) or "PPP"
  std::optional<std::string> address;          // the interface's first IPv4 address, dotted
  std::optional<std::string> ssid;             // the Wi-Fi network's name

  friend bool operator==(const NetworkService&, const NetworkService&) = default;
};

// Cumulative byte counters summed over the counted interfaces (see the platform's source for
// which ones). Each sum wraps modulo 2^64.
struct ByteCounters {
  std::uint64_t received = 0;
  std::uint64_t sent = 0;

  friend bool operator==(const ByteCounters&, const ByteCounters&) = default;
};

class NetworkSource {
 public:
  virtual ~NetworkSource() = default;

  // The primary service, or nothing when there is no default IPv4 route (or it cannot be read).
  // May block for a short, bounded time (it may ask a network daemon).
  virtual std::optional<NetworkService> primaryService() = 0;
  // The summed counters, or nothing when the interface list cannot be read.
  virtual std::optional<ByteCounters> byteCounters() = 0;
};

// HTTPS GET requests, each completed once on a thread of the fetcher's (never the caller's).
class HttpsFetcher {
 public:
  struct Limits {
    std::chrono::milliseconds timeout{10'000};  // for the whole request, connection included
    std::size_t maxBodyBytes = 64 * 1024;       // a longer body fails the request
  };
  // The body of a reply with a 2xx status, or nothing on any failure (no connection, a certificate
  // that is not trusted, a timeout, another status, a body over the limit, the fetcher going away).
  using Completion = std::function<void(std::optional<std::string> body)>;

  virtual ~HttpsFetcher() = default;
  // Starts a GET of `url` (https only) and returns at once. `completion` is called exactly once.
  virtual void get(const std::string& url, Limits limits, Completion completion) = 0;
};

}  // namespace trellis
