// NetworkManager's view of an interface over sd-bus: one short-lived connection per lookup, every
// step bounded by the lookup's deadline. No state outside a lookup, so any thread may look up.
#include "platform/linux/bus/network_manager_client.h"

#include <systemd/sd-bus.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string_view>

namespace trellis::lnx {
namespace {

constexpr const char* kService = "org.freedesktop.NetworkManager";
constexpr const char* kManagerPath = "/org/freedesktop/NetworkManager";
constexpr const char* kManagerInterface = "org.freedesktop.NetworkManager";
constexpr const char* kDeviceInterface = "org.freedesktop.NetworkManager.Device";
constexpr const char* kWirelessInterface = "org.freedesktop.NetworkManager.Device.Wireless";
constexpr const char* kActiveInterface = "org.freedesktop.NetworkManager.Connection.Active";
constexpr const char* kAccessPointInterface = "org.freedesktop.NetworkManager.AccessPoint";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
// An SSID is at most 32 bytes (IEEE 802.11).
constexpr std::size_t kMaxSsidBytes = 32;

struct BusClose {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

std::uint64_t nowUsec() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

class Lookup {
 public:
  explicit Lookup(std::chrono::milliseconds timeout)
      : deadline_(nowUsec() + static_cast<std::uint64_t>(timeout.count() > 0 ? timeout.count() : 0) * 1000u) {}

  // Connects and waits until the bus has accepted us, within the deadline. sd-bus would otherwise
  // wait for a daemon that never finishes authenticating for its own, much longer, limit.
  bool connect(const std::string& address) {
    sd_bus* raw = nullptr;
    if (address.empty()) {
      if (sd_bus_open_system(&raw) < 0) return false;
      bus_.reset(raw);
    } else {
      if (sd_bus_new(&raw) < 0) return false;
      bus_.reset(raw);
      if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 || sd_bus_start(raw) < 0) {
        return false;
      }
    }
    int r;
    for (;;) {
      r = sd_bus_is_ready(bus_.get());
      if (r != 0) return r > 0;
      r = sd_bus_process(bus_.get(), nullptr);
      if (r < 0) return false;
      if (r > 0) continue;
      const std::uint64_t left = remainingUsec();
      if (left == 0) return false;
      r = sd_bus_wait(bus_.get(), left);
      if (r < 0 && r != -EINTR) return false;
    }
  }

  // Calls `member` with string arguments on NetworkManager; nothing on an error reply, no reply
  // in time or a failure to send. The service is never started on demand.
  Message call(const char* path, const char* interface, const char* member, std::initializer_list<const char*> args) {
    const std::uint64_t left = remainingUsec();
    if (left == 0) return nullptr;  // 0 would mean sd-bus's default timeout
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus_.get(), &raw, kService, path, interface, member) < 0) return nullptr;
    Message message(raw);
    if (sd_bus_message_set_auto_start(raw, 0) < 0) return nullptr;
    for (const char* arg : args) {
      if (sd_bus_message_append_basic(raw, 's', arg) < 0) return nullptr;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_call(bus_.get(), raw, left, &error, &reply);
    sd_bus_error_free(&error);
    if (r < 0) return nullptr;
    return Message(reply);
  }

  // A property's reply, positioned inside its variant of `contents` ("s", "o", "ay").
  Message property(const char* path, const char* interface, const char* name, const char* contents) {
    Message reply = call(path, kProperties, "Get", {interface, name});
    if (!reply || sd_bus_message_enter_container(reply.get(), 'v', contents) <= 0) return nullptr;
    return reply;
  }

  std::optional<std::string> objectPath(const char* path, const char* interface, const char* name) {
    Message reply = property(path, interface, name, "o");
    return readBasic(reply.get(), 'o');
  }

  std::optional<std::string> text(const char* path, const char* interface, const char* name) {
    Message reply = property(path, interface, name, "s");
    return readBasic(reply.get(), 's');
  }

  std::optional<std::string> bytes(const char* path, const char* interface, const char* name) {
    Message reply = property(path, interface, name, "ay");
    if (!reply) return std::nullopt;
    const void* data = nullptr;
    std::size_t size = 0;
    if (sd_bus_message_read_array(reply.get(), 'y', &data, &size) < 0) return std::nullopt;
    if (size == 0) return std::string();
    return std::string(static_cast<const char*>(data), size);
  }

  static std::optional<std::string> readBasic(sd_bus_message* reply, char type) {
    if (reply == nullptr) return std::nullopt;
    const char* value = nullptr;
    if (sd_bus_message_read_basic(reply, type, &value) <= 0 || value == nullptr) return std::nullopt;
    return std::string(value);
  }

 private:
  std::uint64_t remainingUsec() const {
    const std::uint64_t now = nowUsec();
    return now < deadline_ ? deadline_ - now : 0;
  }

  std::uint64_t deadline_;
  Bus bus_;
};

// "/" is how NetworkManager says "none" for an object reference.
bool isObject(const std::optional<std::string>& path) { return path && !path->empty() && *path != "/"; }

}  // namespace

std::optional<NetworkManagerConnection> networkManagerConnection(const NetworkManagerBus& bus,
                                                                 const std::string& interface) {
  Lookup lookup(bus.timeout);
  if (!lookup.connect(bus.address)) return std::nullopt;

  Message found = lookup.call(kManagerPath, kManagerInterface, "GetDeviceByIpIface", {interface.c_str()});
  const std::optional<std::string> device = Lookup::readBasic(found.get(), 'o');
  if (!isObject(device)) return std::nullopt;
  const std::optional<std::string> active = lookup.objectPath(device->c_str(), kDeviceInterface, "ActiveConnection");
  if (!isObject(active)) return std::nullopt;

  NetworkManagerConnection connection;
  connection.id = lookup.text(active->c_str(), kActiveInterface, "Id");
  if (connection.id && connection.id->empty()) connection.id.reset();
  // Only Wi-Fi devices have the wireless interface; the others answer with an error.
  const std::optional<std::string> accessPoint =
      lookup.objectPath(device->c_str(), kWirelessInterface, "ActiveAccessPoint");
  if (isObject(accessPoint)) {
    connection.ssid = lookup.bytes(accessPoint->c_str(), kAccessPointInterface, "Ssid");
    if (connection.ssid && (connection.ssid->empty() || connection.ssid->size() > kMaxSsidBytes)) {
      connection.ssid.reset();
    }
  }
  return connection;
}

}  // namespace trellis::lnx
