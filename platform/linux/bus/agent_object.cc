#include "platform/linux/bus/agent_object.h"

#include <cerrno>

#include "notify/protocol.h"
#include "platform/linux/bus/dbus_value.h"
#include "platform/linux/io/errno_text.h"

namespace trellis::lnx {
namespace {

constexpr const char* kNotSampling = "org.trellis.Agent1.Error.NotSampling";
constexpr const char* kNotSamplingText = "waiting for a user at the console";


}  // namespace

std::unique_ptr<AgentObject> AgentObject::create(DBusCenter& center, Commands commands, std::string* error) {
  std::unique_ptr<AgentObject> object(new AgentObject(center, std::move(commands)));
  sd_bus* bus = center.bus();
  int r = bus != nullptr ? object->attach(bus) : -ENOTCONN;
  if (r < 0) {
    if (error) {
      *error = r == -EEXIST ? std::string("another agent runs on this bus (") + protocol::kAgentBusName + " is taken)"
                            : std::string("cannot own ") + protocol::kAgentBusName + ": " + errnoText(r);
    }
    return nullptr;
  }
  AgentObject* self = object.get();
  center.addConnectionHook([self](sd_bus* again) { return self->attach(again); });
  return object;
}

AgentObject::~AgentObject() { vtableSlot_ = sd_bus_slot_unref(vtableSlot_); }

int AgentObject::attach(sd_bus* bus) {
  static const sd_bus_vtable vtable[] = {
      SD_BUS_VTABLE_START(0),
      // The bus's policy decides who may call: sd-bus is not to ask for the caller's credentials.
      SD_BUS_METHOD("Pause", "", "", &AgentObject::onPause, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("Quit", "", "", &AgentObject::onQuit, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("SetPowerSaving", "b", "", &AgentObject::onSetPowerSaving, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_PROPERTY("CpuTemperature", "d", &AgentObject::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("DiskTemperature", "d", &AgentObject::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Fans", "a{sv}", &AgentObject::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Paused", "b", &AgentObject::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("LastSampleTime", "t", &AgentObject::getProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_VTABLE_END};
  vtableSlot_ = sd_bus_slot_unref(vtableSlot_);
  int r = sd_bus_add_object_vtable(bus, &vtableSlot_, protocol::kAgentObjectPath, protocol::kAgentInterface, vtable,
                                   this);
  if (r < 0) return r;
  // Neither replaces another owner nor queues behind one: a second agent is refused at once.
  return sd_bus_request_name(bus, protocol::kAgentBusName, 0);
}

void AgentObject::publish(const AgentState& state) {
  assignKeepingStorage(state_, state);
  sd_bus* bus = center_.bus();
  if (bus == nullptr) return;
  (void)sd_bus_emit_properties_changed(bus, protocol::kAgentObjectPath, protocol::kAgentInterface, "CpuTemperature",
                                       "DiskTemperature", "Fans", "Paused", "LastSampleTime", nullptr);
}

int AgentObject::onPause(sd_bus_message* message, void* userdata, sd_bus_error* error) {
  auto* self = static_cast<AgentObject*>(userdata);
  if (!self->commands_.pause || !self->commands_.pause()) return sd_bus_error_set(error, kNotSampling, kNotSamplingText);
  return sd_bus_reply_method_return(message, "");
}

int AgentObject::onQuit(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<AgentObject*>(userdata);
  // Answered first: the answer goes out with everything else before the process ends.
  int r = sd_bus_reply_method_return(message, "");
  if (r >= 0 && self->commands_.quit) self->commands_.quit();
  return r;
}

int AgentObject::onSetPowerSaving(sd_bus_message* message, void* userdata, sd_bus_error* error) {
  auto* self = static_cast<AgentObject*>(userdata);
  int on = 0;
  int r = sd_bus_message_read(message, "b", &on);
  if (r < 0) return r;
  if (!self->commands_.setPowerSaving || !self->commands_.setPowerSaving(on != 0)) {
    return sd_bus_error_set(error, kNotSampling, kNotSamplingText);
  }
  return sd_bus_reply_method_return(message, "");
}

int AgentObject::getProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                             void* userdata, sd_bus_error*) {
  const AgentState& state = static_cast<AgentObject*>(userdata)->state_;
  const std::string_view name(property);
  if (name == "CpuTemperature") return sd_bus_message_append(reply, "d", static_cast<double>(state.cpuTemperature));
  if (name == "DiskTemperature") return sd_bus_message_append(reply, "d", static_cast<double>(state.diskTemperature));
  if (name == "Fans") return appendDictionary(reply, state.fans);
  if (name == "Paused") return sd_bus_message_append(reply, "b", static_cast<int>(state.paused));
  if (name == "LastSampleTime") {
    return sd_bus_message_append(reply, "t", static_cast<uint64_t>(state.lastSampleMicros.value_or(0)));
  }
  return -ENOENT;
}

}  // namespace trellis::lnx
