#include "platform/linux/http/metrics_endpoint.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/linux/io/text_parsing.h"

namespace trellis::lnx {
namespace {

MHD_Result reply(MHD_Connection* connection, unsigned status, std::string body, std::string_view type) {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  (void)MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, std::string(type).c_str());
  MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result answer(void* self, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, std::size_t* uploadSize, void**) {
  auto* endpoint = static_cast<MetricsEndpoint*>(self);
  const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
  if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && !head) {
    *uploadSize = 0;  // a body sent with another method is not read
    return reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n", "text/plain; charset=utf-8");
  }
  if (std::strcmp(url, "/metrics") != 0) {
    return reply(connection, MHD_HTTP_NOT_FOUND, "not found: the metrics are at /metrics\n",
                 "text/plain; charset=utf-8");
  }
  const char* accept = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT);
  const ExpositionFormat format = expositionFormatFor(accept != nullptr ? accept : "");
  return reply(connection, MHD_HTTP_OK, endpoint->render()(format), expositionContentType(format));
}

}  // namespace

std::optional<ListenAddress> parseListenAddress(std::string_view text) {
  ListenAddress address;
  std::string_view port = text;
  address.host = "127.0.0.1";
  if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    std::string_view host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty()) return std::nullopt;
    address.host = std::string(host);
  }
  std::optional<int> number = parseInteger<int>(port);
  if (!number || *number < 1 || *number > 65535) return std::nullopt;
  address.port = *number;
  return address;
}

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::start(const ListenAddress& address, Render render, Limits limits,
                                                        std::string* error) {
  sockaddr_storage storage{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL;
  if (inet_pton(AF_INET, address.host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(address.port));
  } else if (inet_pton(AF_INET6, address.host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(address.port));
    flags |= MHD_USE_IPv6;
  } else {
    if (error) *error = "not a numeric address: " + address.host;
    return nullptr;
  }
  std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint);
  endpoint->render_ = std::move(render);
  endpoint->daemon_ = MHD_start_daemon(
      flags, static_cast<uint16_t>(address.port), nullptr, nullptr, &answer, endpoint.get(),
      MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&storage),
      MHD_OPTION_CONNECTION_LIMIT, limits.connections,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.connectionsPerIp,
      MHD_OPTION_CONNECTION_TIMEOUT, limits.timeoutSeconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.memoryPerConnection,
      MHD_OPTION_END);
  if (endpoint->daemon_ == nullptr) {
    if (error) {
      *error = "cannot listen on " + address.host + ":" + std::to_string(address.port) +
               " (in use, not this machine's, or not allowed)";
    }
    return nullptr;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(endpoint->daemon_, MHD_DAEMON_INFO_BIND_PORT);
  endpoint->port_ = info != nullptr ? info->port : address.port;
  return endpoint;
}

MetricsEndpoint::~MetricsEndpoint() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
}

}  // namespace trellis::lnx
