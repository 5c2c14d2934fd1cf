// A stand-in for NetworkManager on a test's private bus: it owns org.freedesktop.NetworkManager
// and answers the few calls the network source makes (GetDeviceByIpIface, and Properties.Get of
// a device's ActiveConnection and ActiveAccessPoint, an active connection's Id and an access
// point's Ssid) from a table of devices. Answers come from a thread of its own; a silent stand-in
// owns the name but never answers. Build, use and destroy it on one thread.
#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace trellis::testing {

class FakeNetworkManager {
 public:
  struct Device {
    std::string interface;
    std::optional<std::string> connectionId;  // nothing: the device has no active connection
    bool wireless = false;
    std::optional<std::string> ssid;  // a wireless device's active access point; nothing: none
  };
  enum class Mode { Answer, Silent };

  FakeNetworkManager(const std::string& address, std::vector<Device> devices, Mode mode = Mode::Answer)
      : devices_(std::move(devices)) {
    if (sd_bus_new(&bus_) < 0) return;
    if (sd_bus_set_address(bus_, address.c_str()) < 0 || sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0 ||
        sd_bus_add_fallback(bus_, nullptr, "/org/freedesktop/NetworkManager", &FakeNetworkManager::onCall, this) < 0 ||
        sd_bus_request_name(bus_, "org.freedesktop.NetworkManager", 0) < 0) {
      return;
    }
    ok_ = true;
    if (mode == Mode::Answer) thread_ = std::thread([this] { serve(); });
  }

  ~FakeNetworkManager() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    sd_bus_flush_close_unref(bus_);
  }

  FakeNetworkManager(const FakeNetworkManager&) = delete;
  FakeNetworkManager& operator=(const FakeNetworkManager&) = delete;

  bool ok() const { return ok_; }

 private:
  static std::string path(const char* kind, std::size_t index) {
    return std::string("/org/freedesktop/NetworkManager/") + kind + "/" + std::to_string(index);
  }

  void serve() {
    while (!stop_) {
      const int r = sd_bus_process(bus_, nullptr);
      if (r < 0) return;
      if (r == 0) (void)sd_bus_wait(bus_, 20'000);  // wakes up to look at stop_
    }
  }

  // Replies with one variant of `contents` ("o", "s" or "ay") holding `value`.
  static int replyVariant(sd_bus_message* call, const char* contents, const std::string& value) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(call, &reply);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'v', contents);
    if (r >= 0) {
      r = std::strcmp(contents, "ay") == 0 ? sd_bus_message_append_array(reply, 'y', value.data(), value.size())
                                           : sd_bus_message_append_basic(reply, contents[0], value.c_str());
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r < 0 ? r : 1;
  }

  static int onCall(sd_bus_message* call, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeNetworkManager*>(userdata);
    const std::string at = sd_bus_message_get_path(call) ? sd_bus_message_get_path(call) : "";
    if (sd_bus_message_is_method_call(call, "org.freedesktop.NetworkManager", "GetDeviceByIpIface")) {
      const char* name = nullptr;
      if (sd_bus_message_read(call, "s", &name) < 0) return -EINVAL;
      for (std::size_t i = 0; i < self->devices_.size(); ++i) {
        if (self->devices_[i].interface == name)
          return sd_bus_reply_method_return(call, "o", path("Devices", i).c_str());
      }
      return sd_bus_reply_method_errorf(call, "org.freedesktop.NetworkManager.UnknownDevice",
                                        "No device found for the requested iface.");
    }
    if (!sd_bus_message_is_method_call(call, "org.freedesktop.DBus.Properties", "Get")) return 0;
    const char* interface = nullptr;
    const char* property = nullptr;
    if (sd_bus_message_read(call, "ss", &interface, &property) < 0) return -EINVAL;
    const std::string asked = std::string(interface) + "." + property;
    for (std::size_t i = 0; i < self->devices_.size(); ++i) {
      const Device& device = self->devices_[i];
      if (at == path("Devices", i)) {
        if (asked == "org.freedesktop.NetworkManager.Device.ActiveConnection") {
          return replyVariant(call, "o", device.connectionId ? path("ActiveConnection", i) : "/");
        }
        if (device.wireless && asked == "org.freedesktop.NetworkManager.Device.Wireless.ActiveAccessPoint") {
          return replyVariant(call, "o", device.ssid ? path("AccessPoint", i) : "/");
        }
      } else if (at == path("ActiveConnection", i) && device.connectionId &&
                 asked == "org.freedesktop.NetworkManager.Connection.Active.Id") {
        return replyVariant(call, "s", *device.connectionId);
      } else if (at == path("AccessPoint", i) && device.ssid &&
                 asked == "org.freedesktop.NetworkManager.AccessPoint.Ssid") {
        return replyVariant(call, "ay", *device.ssid);
      }
    }
    return sd_bus_reply_method_errorf(call, SD_BUS_ERROR_UNKNOWN_PROPERTY, "No such property %s", asked.c_str());
  }

  std::vector<Device> devices_;
  sd_bus* bus_ = nullptr;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace trellis::testing
