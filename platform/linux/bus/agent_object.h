// The agent's own object on the bus. It owns the well-known name org.trellis.Agent (one agent per
// bus) and exports /org/trellis/Agent with the interface org.trellis.Agent1:
//   methods     Pause(), Quit(), SetPowerSaving(b on)      each answered once carried out (or started)
//   properties  CpuTemperature d, DiskTemperature d        the last readings, as posted
//               Fans a{sv}                                 the fan set's dictionary, as posted
//               Paused b, LastSampleTime t                 sampling state; microseconds since 1970, 0 before the first
// with PropertiesChanged after each cycle. Who may call the methods is the bus's business (the
// system bus policy); the object answers whoever the bus lets through. The name and the object are
// taken again after the connection comes back. Main thread only, like the centre it rides on.
#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <string>

#include "notify/agent_state.h"
#include "platform/linux/bus/dbus_center.h"

namespace trellis::lnx {

class AgentObject {
 public:
  // What the methods do. Pause or power saving that cannot be carried out yet return false: the
  // caller gets the error org.trellis.Agent1.Error.NotSampling ("waiting for a user at the
  // console"). Quit is answered before it runs.
  struct Commands {
    std::function<bool()> pause;
    std::function<void()> quit;
    std::function<bool(bool lowPowerOn)> setPowerSaving;
  };

  // Takes the name and exports the object on `center`'s bus. Nothing, with the reason in `error`,
  // when the name belongs to another connection ("another agent runs on this bus") or the bus
  // refuses it. `center` must outlive the object.
  static std::unique_ptr<AgentObject> create(DBusCenter& center, Commands commands, std::string* error);
  ~AgentObject();

  // Keeps `state` for the properties and tells the bus they changed.
  void publish(const AgentState& state);

 private:
  AgentObject(DBusCenter& center, Commands commands) : center_(center), commands_(std::move(commands)) {}
  int attach(sd_bus* bus);
  static int onPause(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onQuit(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onSetPowerSaving(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int getProperty(sd_bus* bus, const char* path, const char* interface, const char* property,
                         sd_bus_message* reply, void* userdata, sd_bus_error* error);

  DBusCenter& center_;
  Commands commands_;
  AgentState state_;
  sd_bus_slot* vtableSlot_ = nullptr;
};

}  // namespace trellis::lnx
