#include "platform/linux/http/metrics_endpoint.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <type_traits>

#include "platform/linux/io/text_parsing.h"

namespace trellis::lnx {
namespace {

// libmicrohttpd, loaded when an endpoint is started: an agent that serves no metrics maps neither
// it nor the TLS libraries it brings (about a third of the agent's resident memory).
struct Microhttpd {
  decltype(&MHD_start_daemon) startDaemon = nullptr;
  decltype(&MHD_stop_daemon) stopDaemon = nullptr;
  decltype(&MHD_get_daemon_info) daemonInfo = nullptr;
  decltype(&MHD_create_response_from_buffer) createResponse = nullptr;
  decltype(&MHD_add_response_header) addHeader = nullptr;
  decltype(&MHD_queue_response) queueResponse = nullptr;
  decltype(&MHD_destroy_response) destroyResponse = nullptr;
  decltype(&MHD_lookup_connection_value) lookupValue = nullptr;
};

// The library's functions, or nothing with the loader's reason in `error`. Loaded once; never
// unloaded.
const Microhttpd* microhttpd(std::string* error) {
  static std::string failure;
  static const Microhttpd* loaded = [] () -> const Microhttpd* {
    void* library = ::dlopen("libmicrohttpd.so.12", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      failure = ::dlerror();
      return nullptr;
    }
    auto* functions = new Microhttpd;
    auto find = [&](auto& slot, const char* name) {
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(::dlsym(library, name));
      return slot != nullptr;
    };
    if (!find(functions->startDaemon, "MHD_start_daemon") || !find(functions->stopDaemon, "MHD_stop_daemon") ||
        !find(functions->daemonInfo, "MHD_get_daemon_info") ||
        !find(functions->createResponse, "MHD_create_response_from_buffer") ||
        !find(functions->addHeader, "MHD_add_response_header") ||
        !find(functions->queueResponse, "MHD_queue_response") ||
        !find(functions->destroyResponse, "MHD_destroy_response") ||
        !find(functions->lookupValue, "MHD_lookup_connection_value")) {
      failure = "libmicrohttpd.so.12 lacks a function this program calls";
      delete functions;
      return nullptr;
    }
    return functions;
  }();
  if (loaded == nullptr && error != nullptr) *error = failure;
  return loaded;
}

MHD_Result reply(MHD_Connection* connection, unsigned status, std::string body, std::string_view type) {
  const Microhttpd& mhd = *microhttpd(nullptr);  // loaded before any connection came
  MHD_Response* response = mhd.createResponse(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  (void)mhd.addHeader(response, MHD_HTTP_HEADER_CONTENT_TYPE, std::string(type).c_str());
  MHD_Result result = mhd.queueResponse(connection, status, response);
  mhd.destroyResponse(response);
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
  const char* accept = microhttpd(nullptr)->lookupValue(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT);
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
  std::string loadError;
  const Microhttpd* mhd = microhttpd(&loadError);
  if (mhd == nullptr) {
    if (error) *error = "serving metrics needs libmicrohttpd (Debian package libmicrohttpd12): " + loadError;
    return nullptr;
  }
  std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint);
  endpoint->render_ = std::move(render);
  endpoint->daemon_ = mhd->startDaemon(
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
  const MHD_DaemonInfo* info = mhd->daemonInfo(endpoint->daemon_, MHD_DAEMON_INFO_BIND_PORT);
  endpoint->port_ = info != nullptr ? info->port : address.port;
  return endpoint;
}

MetricsEndpoint::~MetricsEndpoint() {
  if (daemon_ != nullptr) microhttpd(nullptr)->stopDaemon(daemon_);
}

}  // namespace trellis::lnx
