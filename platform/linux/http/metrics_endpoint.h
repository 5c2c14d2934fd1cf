// The agent's metrics over HTTP for Prometheus, through libmicrohttpd: GET /metrics answers with
// the exposition of the last cycle (app/exposition.h), in OpenMetrics when the scraper's Accept
// asks for it. Other paths get 404, other methods 405. The server runs on a thread of its own and
// only asks `render` for the text, so a scrape never touches a sensor or waits on the sampling
// loop; a client that is slow or holds connections open is cut off by the limits below. Made and
// destroyed on one thread; `render` is called from the server's thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/exposition.h"

struct MHD_Daemon;

namespace trellis::lnx {

// An address to listen on: "ADDR:PORT", "[IPv6]:PORT" or a bare "PORT" (127.0.0.1).
struct ListenAddress {
  std::string host;
  int port = 0;
};
// Nothing for text that is not one of those forms or whose port is not 1 to 65535.
std::optional<ListenAddress> parseListenAddress(std::string_view text);

class MetricsEndpoint {
 public:
  using Render = std::function<std::string(ExpositionFormat format)>;

  struct Limits {
    unsigned connections = 16;       // at once, in all
    unsigned connectionsPerIp = 4;   // at once, from one address
    unsigned timeoutSeconds = 5;     // a connection idle this long is closed
    std::size_t memoryPerConnection = 32 * 1024;
  };

  // Listens on `address`. Nothing, with the reason in `error`, when the address cannot be used
  // (not an address of this machine, a port in use, no permission).
  static std::unique_ptr<MetricsEndpoint> start(const ListenAddress& address, Render render, Limits limits,
                                                std::string* error);
  ~MetricsEndpoint();

  // The port listened on (the one asked for, or the one the system chose for port 0).
  int port() const { return port_; }
  // What answers a scrape.
  const Render& render() const { return render_; }

 private:
  MetricsEndpoint() = default;

  Render render_;
  MHD_Daemon* daemon_ = nullptr;
  int port_ = 0;
};

}  // namespace trellis::lnx
