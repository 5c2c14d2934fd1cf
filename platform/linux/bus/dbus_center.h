// The machine-wide notification centre over D-Bus (sd-bus attached to the sd-event loop).
//
// A notification is the broadcast signal Notification(s name, s object, a{sv} userInfo) on
// object path /org/trellis/DistributedCenter, interface org.trellis.DistributedCenter1. Each
// registered name is one match rule with arg0='NAME', so the bus delivers only those names;
// unregistering the last observer of a name removes its rule. A lost connection is opened again
// from a back-off timer and every rule is added again; posts made while the bus is away are lost.
// Callbacks run on the loop's thread.
// Everything here belongs to the loop's thread.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>
#include <memory>
#include <string>

#include "notify/distributed_center.h"
#include "platform/linux/io/errno_text.h"  // errnoText, for the error `create` reports
#include "platform/linux/system/run_loop.h"

namespace trellis::lnx {

inline constexpr const char* kObjectPath = "/org/trellis/DistributedCenter";
inline constexpr const char* kInterface = "org.trellis.DistributedCenter1";
inline constexpr const char* kMember = "Notification";

enum class BusKind { Session, System };

class DBusCenter final : public DistributedCenter {
 public:
  struct Options {
    BusKind bus = BusKind::Session;
    // Deliver only notifications whose sender runs as this process's user or as root: for commands
    // on the system bus. The sender's user is asked of the bus daemon without waiting for the
    // answer (at most kMaxSenderLookups at a time; notifications beyond them are dropped and
    // counted in the system log) and remembered for the connection's life. Such notifications
    // arrive by name only: their object and user information are never decoded.
    bool onlyTrustedSenders = false;
    // Deliver only notifications sent by the owner of this well-known name (matched by the bus):
    // for readers of the agent's readings. Empty: from any sender.
    std::string onlyFrom;
  };

  static constexpr std::size_t kMaxSenderLookups = 32;

  // Connects to the bus and attaches to `loop`. Returns nothing and sets `error` (a negative
  // errno, for `errnoText`) when the bus cannot be reached.
  static std::unique_ptr<DBusCenter> create(SdEventRunLoop& loop, Options options, int* error = nullptr);
  ~DBusCenter() override;

  bool addObserver(const void* observer, Callback callback, std::string_view name) override;
  void removeObserver(const void* observer, std::string_view name) override;
  void postNotification(std::string_view name, const Dictionary* userInfo) override;
  void flush() override;

  // The live connection, or nothing while the bus is away.
  sd_bus* bus() const { return bus_; }
  // Runs `hook` on every connection made from now on, after its matches are added (a reconnection
  // fails, and is tried again later, when the hook fails). Not run on the current connection.
  void addConnectionHook(std::function<int(sd_bus*)> hook);
  // Notifications dropped so far because too many senders awaited their lookup.
  std::uint64_t droppedNotifications() const { return dropped_; }
  // How many times the connection was opened again after a loss.
  int reconnections() const { return reconnections_; }

 private:
  struct Registration;
  struct SenderLookup;
  DBusCenter(SdEventRunLoop& loop, Options options);
  int connect();
  void disconnect();
  int addMatch(Registration& registration);
  void scheduleReconnect();
  static int onSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onDisconnected(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onReconnectTimer(sd_event_source* source, uint64_t usec, void* userdata);
  static int onSenderUser(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  void admit(sd_bus_message* message, const std::string& name);
  void deliver(const std::string& name, const std::optional<std::string>& object,
               const std::optional<Dictionary>& userInfo);
  void drop();

  SdEventRunLoop& loop_;
  Options options_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* disconnectSlot_ = nullptr;
  sd_event_source* reconnectTimer_ = nullptr;
  uint64_t reconnectDelayUsec_ = 0;
  int reconnections_ = 0;
  // One match per name; each holds the observers registered for it.
  std::map<std::string, std::unique_ptr<Registration>, std::less<>> registrations_;
  std::vector<std::function<int(sd_bus*)>> connectionHooks_;
  // Trusted senders: whether each unique name runs as this user or root, and the lookups under way.
  std::map<std::string, bool, std::less<>> senderTrusted_;
  std::string postName_;  // the name of the post being built
  std::map<std::string, std::unique_ptr<SenderLookup>, std::less<>> lookups_;
  std::uint64_t dropped_ = 0;
  std::uint64_t droppedLogged_ = 0;
  uint64_t lastDropLogUsec_ = 0;
};

}  // namespace trellis::lnx
