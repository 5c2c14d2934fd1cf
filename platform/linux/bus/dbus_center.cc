#include "platform/linux/bus/dbus_center.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "base/system_log.h"
#include "notify/protocol.h"
#include "platform/linux/bus/dbus_value.h"

namespace trellis::lnx {

// A sender whose user is being asked of the bus daemon, and the names it sent meanwhile.
struct DBusCenter::SenderLookup {
  DBusCenter* center = nullptr;
  std::string sender;
  std::vector<std::string> names;  // at most kNamesPerLookup; more are dropped
  sd_bus_slot* slot = nullptr;
  ~SenderLookup() { sd_bus_slot_unref(slot); }
};

struct DBusCenter::Registration {
  DBusCenter* center = nullptr;
  std::string name;
  sd_bus_slot* slot = nullptr;  // the match; nothing while the bus is away
  std::vector<std::pair<const void*, Callback>> observers;  // in registration order
};

namespace {

constexpr std::size_t kNamesPerLookup = 8;
constexpr uint64_t kLookupTimeoutUsec = 5'000'000;
constexpr uint64_t kDropLogIntervalUsec = 10'000'000;
// Remembered senders beyond this are forgotten all at once (unique names are never reused).
constexpr std::size_t kMaxRememberedSenders = 4096;

std::string matchRule(std::string_view name, const std::string& sender) {
  std::string rule = "type='signal',";
  if (!sender.empty()) rule += "sender='" + sender + "',";
  rule += "path='";
  rule += kObjectPath;
  rule += "',interface='";
  rule += kInterface;
  rule += "',member='";
  rule += kMember;
  rule += "',arg0='";
  rule += name;
  rule += "'";
  return rule;
}

int openBus(BusKind kind, sd_bus** bus) {
  return kind == BusKind::System ? sd_bus_open_system(bus) : sd_bus_open_user(bus);
}

}  // namespace

DBusCenter::DBusCenter(SdEventRunLoop& loop, Options options) : loop_(loop), options_(options) {}

std::unique_ptr<DBusCenter> DBusCenter::create(SdEventRunLoop& loop, Options options, int* error) {
  std::unique_ptr<DBusCenter> center(new DBusCenter(loop, options));
  int r = center->connect();
  if (r < 0) {
    if (error != nullptr) *error = r;
    return nullptr;
  }
  return center;
}

DBusCenter::~DBusCenter() {
  reconnectTimer_ = sd_event_source_disable_unref(reconnectTimer_);
  disconnect();
}

int DBusCenter::connect() {
  sd_bus* bus = nullptr;
  int r = openBus(options_.bus, &bus);
  if (r < 0) return r;
  r = sd_bus_attach_event(bus, loop_.event(), SD_EVENT_PRIORITY_NORMAL);
  if (r >= 0) {
    r = sd_bus_match_signal(bus, &disconnectSlot_, nullptr, "/org/freedesktop/DBus/Local",
                            "org.freedesktop.DBus.Local", "Disconnected", &DBusCenter::onDisconnected, this);
  }
  if (r < 0) {
    disconnectSlot_ = sd_bus_slot_unref(disconnectSlot_);
    sd_bus_flush_close_unref(bus);
    return r;
  }
  bus_ = bus;
  for (auto& [name, registration] : registrations_) {
    r = addMatch(*registration);
    if (r < 0) {
      disconnect();
      return r;
    }
  }
  for (const auto& hook : connectionHooks_) {
    r = hook(bus_);
    if (r < 0) {
      disconnect();
      return r;
    }
  }
  return 0;
}

void DBusCenter::addConnectionHook(std::function<int(sd_bus*)> hook) { connectionHooks_.push_back(std::move(hook)); }

void DBusCenter::disconnect() {
  for (auto& [name, registration] : registrations_) registration->slot = sd_bus_slot_unref(registration->slot);
  // Another connection has other unique names: nothing learnt of this one's senders carries over.
  lookups_.clear();
  senderTrusted_.clear();
  disconnectSlot_ = sd_bus_slot_unref(disconnectSlot_);
  if (bus_ != nullptr) {
    (void)sd_bus_detach_event(bus_);
    bus_ = sd_bus_flush_close_unref(bus_);
  }
}

int DBusCenter::addMatch(Registration& registration) {
  return sd_bus_add_match(bus_, &registration.slot, matchRule(registration.name, options_.onlyFrom).c_str(),
                          &DBusCenter::onSignal, &registration);
}

int DBusCenter::onDisconnected(sd_bus_message*, void* userdata, sd_bus_error*) {
  // The dead connection is closed from the timer, not from inside its own dispatch.
  auto* self = static_cast<DBusCenter*>(userdata);
  self->reconnectDelayUsec_ = 0;
  self->scheduleReconnect();
  return 0;
}

void DBusCenter::scheduleReconnect() {
  // 100 ms, doubling up to 5 s: a bus that comes back is found quickly, one that stays away
  // costs a wake-up every few seconds.
  constexpr uint64_t kFirstUsec = 100'000, kLongestUsec = 5'000'000;
  reconnectDelayUsec_ = reconnectDelayUsec_ == 0 ? kFirstUsec : std::min(reconnectDelayUsec_ * 2, kLongestUsec);
  reconnectTimer_ = sd_event_source_disable_unref(reconnectTimer_);
  (void)sd_event_add_time_relative(loop_.event(), &reconnectTimer_, CLOCK_MONOTONIC, reconnectDelayUsec_, 10'000,
                                   &DBusCenter::onReconnectTimer, this);
}

int DBusCenter::onReconnectTimer(sd_event_source*, uint64_t, void* userdata) {
  auto* self = static_cast<DBusCenter*>(userdata);
  self->disconnect();
  if (self->connect() >= 0) {
    ++self->reconnections_;
    self->reconnectDelayUsec_ = 0;
    return 0;
  }
  self->scheduleReconnect();
  return 0;
}

bool DBusCenter::addObserver(const void* observer, Callback callback, std::string_view name) {
  if (!protocol::isRegistrableName(name)) return false;
  auto it = registrations_.find(name);
  if (it == registrations_.end()) {
    auto registration = std::make_unique<Registration>();
    registration->center = this;
    registration->name = std::string(name);
    if (bus_ != nullptr && addMatch(*registration) < 0) return false;
    it = registrations_.emplace(std::string(name), std::move(registration)).first;
  }
  auto& observers = it->second->observers;
  auto same = std::find_if(observers.begin(), observers.end(), [&](const auto& o) { return o.first == observer; });
  if (same != observers.end()) {
    same->second = std::move(callback);
  } else {
    observers.emplace_back(observer, std::move(callback));
  }
  return true;
}

void DBusCenter::removeObserver(const void* observer, std::string_view name) {
  auto it = registrations_.find(name);
  if (it == registrations_.end()) return;
  std::erase_if(it->second->observers, [&](const auto& o) { return o.first == observer; });
  if (!it->second->observers.empty()) return;
  // Unref'ing the slot removes the match from the daemon.
  it->second->slot = sd_bus_slot_unref(it->second->slot);
  registrations_.erase(it);
}

void DBusCenter::postNotification(std::string_view name, const Dictionary* userInfo) {
  if (bus_ == nullptr) return;
  if (userInfo != nullptr && encodedSize(*userInfo) > protocol::kMaxUserInfoBytes) return;

  sd_bus_message* message = nullptr;
  int r = sd_bus_message_new_signal(bus_, &message, kObjectPath, kInterface, kMember);
  if (r >= 0) {
    postName_.assign(name);  // a NUL-terminated copy, its buffer kept for the next post
    r = sd_bus_message_append(message, "ss", postName_.c_str(), "");
  }
  static const Dictionary kNone;
  // A reference to the caller's dictionary: a conditional between it and a temporary would copy it.
  const Dictionary& info = userInfo != nullptr ? *userInfo : kNone;
  if (r >= 0) r = appendDictionary(message, info);
  // A post that cannot be built or sent is lost, like a post nobody listens to.
  if (r >= 0) (void)sd_bus_send(bus_, message, nullptr);
  sd_bus_message_unref(message);
}

void DBusCenter::flush() {
  if (bus_ != nullptr) (void)sd_bus_flush(bus_);
}

int DBusCenter::onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* registration = static_cast<Registration*>(userdata);
  DBusCenter* self = registration->center;

  // The first argument must be the name; whatever follows is read leniently.
  const char* name = nullptr;
  if (sd_bus_message_peek_type(message, nullptr, nullptr) <= 0) return 0;
  char type = 0;
  if (sd_bus_message_peek_type(message, &type, nullptr) <= 0 || type != SD_BUS_TYPE_STRING) return 0;
  if (sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &name) < 0 || name == nullptr) return 0;
  if (registration->name != name) return 0;
  if (self->options_.onlyTrustedSenders) {
    // Only the sender's user decides, and nothing more of the message is read.
    self->admit(message, registration->name);
    return 0;
  }

  std::optional<std::string> object;
  if (sd_bus_message_peek_type(message, &type, nullptr) > 0) {
    if (type == SD_BUS_TYPE_STRING) {
      const char* text = nullptr;
      if (sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &text) >= 0 && text != nullptr && *text != '\0') {
        object = text;
      }
    } else {
      (void)sd_bus_message_skip(message, nullptr);
    }
  }
  std::optional<Dictionary> userInfo = readDictionary(message, protocol::kMaxUserInfoDepth);
  self->deliver(registration->name, object, userInfo);
  return 0;
}

void DBusCenter::deliver(const std::string& name, const std::optional<std::string>& object,
                         const std::optional<Dictionary>& userInfo) {
  auto it = registrations_.find(name);
  if (it == registrations_.end()) return;
  // Callbacks may change the registrations: call a snapshot.
  std::vector<Callback> callbacks;
  callbacks.reserve(it->second->observers.size());
  for (const auto& [observer, callback] : it->second->observers) callbacks.push_back(callback);
  for (const auto& callback : callbacks) callback(name, object, userInfo);
}

void DBusCenter::admit(sd_bus_message* message, const std::string& name) {
  const char* sender = sd_bus_message_get_sender(message);
  if (sender == nullptr) return;  // not through a bus daemon: nobody to ask
  if (auto known = senderTrusted_.find(sender); known != senderTrusted_.end()) {
    if (known->second) deliver(name, std::nullopt, std::nullopt);
    return;
  }
  if (auto pending = lookups_.find(sender); pending != lookups_.end()) {
    if (pending->second->names.size() < kNamesPerLookup) {
      pending->second->names.push_back(name);
    } else {
      drop();
    }
    return;
  }
  if (lookups_.size() >= kMaxSenderLookups) {
    drop();
    return;
  }
  auto lookup = std::make_unique<SenderLookup>();
  lookup->center = this;
  lookup->sender = sender;
  lookup->names.push_back(name);
  sd_bus_message* call = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &call, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                         "org.freedesktop.DBus", "GetConnectionUnixUser");
  if (r >= 0) r = sd_bus_message_append(call, "s", sender);
  if (r >= 0) r = sd_bus_call_async(bus_, &lookup->slot, call, &DBusCenter::onSenderUser, lookup.get(), kLookupTimeoutUsec);
  sd_bus_message_unref(call);
  if (r < 0) {
    drop();
    return;
  }
  lookups_.emplace(lookup->sender, std::move(lookup));
}

int DBusCenter::onSenderUser(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* lookup = static_cast<SenderLookup*>(userdata);
  DBusCenter* self = lookup->center;
  uint32_t uid = 0;
  // An error (the sender already gone, a lookup that timed out) trusts nobody.
  const bool answered = !sd_bus_message_is_method_error(reply, nullptr) && sd_bus_message_read(reply, "u", &uid) > 0;
  const bool trusted = answered && (uid == 0 || uid == geteuid());
  if (self->senderTrusted_.size() >= kMaxRememberedSenders) self->senderTrusted_.clear();
  if (answered) self->senderTrusted_[lookup->sender] = trusted;
  auto node = self->lookups_.extract(lookup->sender);  // owns `lookup` until the end of this call
  if (trusted) {
    for (const std::string& name : lookup->names) self->deliver(name, std::nullopt, std::nullopt);
  }
  return 0;
}

void DBusCenter::drop() {
  ++dropped_;
  uint64_t now = 0;
  (void)sd_event_now(loop_.event(), CLOCK_MONOTONIC, &now);
  if (droppedLogged_ != 0 && now - lastDropLogUsec_ < kDropLogIntervalUsec) return;
  systemLog().write(kLogWarning, "trellis-agent: " + std::to_string(dropped_ - droppedLogged_) +
                                     " command notification(s) dropped: too many senders awaiting a user lookup");
  droppedLogged_ = dropped_;
  lastDropLogUsec_ = now;
}

}  // namespace trellis::lnx
