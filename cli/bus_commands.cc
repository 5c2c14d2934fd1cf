// `trellis watch`, `pause`, `quit`, `power-saving` and `post`: each runs on a connection to the
// agent's bus (--bus, session by default) and the event loop under it. Pause, quit and
// power-saving are method calls the agent answers; with --broadcast they go out as the command
// notifications instead, unanswered.
#include "cli/bus_commands.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>

#include "cli/command_set.h"
#include "base/services.h"
#include "model/value_json.h"
#include "notify/kw_cf_notification_manager.h"
#include "notify/protocol.h"
#include "platform/linux/bus/agent_client.h"
#include "platform/linux/bus/dbus_center.h"
#include "platform/linux/bus/dbus_value.h"

namespace trellis::cli {

namespace {

std::string number(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

std::optional<double> numberAt(const std::optional<Dictionary>& info, std::string_view key) {
  if (!info) return std::nullopt;
  auto it = info->find(key);
  if (it == info->end()) return std::nullopt;
  return it->second.toDouble();
}

std::int64_t integerAt(const Value& dictionary, std::string_view key, std::int64_t fallback) {
  const Value* value = dictionary.find(key);
  if (value == nullptr) return fallback;
  return value->toInt64().value_or(fallback);
}

std::string clockNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[16];
  std::strftime(buffer, sizeof buffer, "%H:%M:%S", &local);
  return buffer;
}

}  // namespace

std::string jsonLine(std::string_view name, const std::optional<Dictionary>& userInfo) {
  nlohmann::json line = nlohmann::json::object();
  line["name"] = std::string(name);
  line["userInfo"] = userInfo ? toJson(Value(*userInfo)) : nlohmann::json(nullptr);
  // Names and keys may hold any bytes a sender chose: replace what is not UTF-8 rather than fail.
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string printable(std::string_view text) {
  std::string out;
  char escaped[8];
  for (std::size_t i = 0; i < text.size();) {
    const auto at = [&text](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = at(i);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    bool valid = length > 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) valid = (at(i + k) & 0xC0) == 0x80;
    // No overlong forms, surrogates or code points past U+10FFFF.
    if (valid && length > 2) {
      const unsigned char second = at(i + 1);
      valid = !(lead == 0xE0 && second < 0xA0) && !(lead == 0xED && second >= 0xA0) &&
              !(lead == 0xF0 && second < 0x90) && !(lead == 0xF4 && second >= 0x90);
    }
    if (!valid || (length == 1 && (lead < 0x20 || lead == 0x7F))) {
      std::snprintf(escaped, sizeof escaped, "\\x%02x", lead);
      out += escaped;
      ++i;
      continue;
    }
    if (length == 2 && lead == 0xC2 && at(i + 1) < 0xA0) {
      std::snprintf(escaped, sizeof escaped, "\\u%04x", at(i + 1));
      out += escaped;
    } else if (lead == '\\') {
      out += "\\\\";
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

std::string describeFans(const Value* fanSet) {
  const std::int64_t count = fanSet ? integerAt(*fanSet, protocol::kFanCountKey, 0) : 0;
  std::string text = std::to_string(count) + (count == 1 ? " fan" : " fans");
  const Value* list = fanSet ? fanSet->find(protocol::kFanListKey) : nullptr;
  if (list == nullptr || list->array() == nullptr || list->array()->empty()) return text;
  text += ":";
  bool first = true;
  for (const Value& fan : *list->array()) {
    text += first ? " " : ", ";
    first = false;
    const Value* id = fan.find("ID");
    if (id && id->string() && !id->string()->empty()) text += printable(*id->string()) + " ";
    const std::int64_t speed = integerAt(fan, "speed", 0);
    const std::int64_t lo = integerAt(fan, "minSpeed", -1);
    const std::int64_t hi = integerAt(fan, "maxSpeed", -1);
    text += std::to_string(speed) + " rpm";
    if (lo >= 0 && hi >= 0) text += " (" + std::to_string(lo) + "-" + std::to_string(hi) + ")";
  }
  return text;
}

std::optional<std::string> CycleLine::add(std::string_view name, const std::optional<Dictionary>& userInfo) {
  if (name == protocol::kCpuTemperature) {
    cpu_ = numberAt(userInfo, protocol::kCpuKey);
  } else if (name == protocol::kSSDTemperature) {
    disk_ = numberAt(userInfo, protocol::kDiskKey);
  } else if (name == protocol::kFansSpeed) {
    const Value* fanSet = nullptr;
    if (userInfo) {
      auto it = userInfo->find(protocol::kFanKey);
      if (it != userInfo->end()) fanSet = &it->second;
    }
    std::string line = "CPU " + (cpu_ ? number(*cpu_, 1) + " °C" : std::string("?")) + "   disk " +
                       (disk_ ? number(*disk_, 1) + " °C" : std::string("?")) + "   " + describeFans(fanSet);
    cpu_.reset();
    disk_.reset();
    return line;
  }
  return std::nullopt;
}

namespace {

// The deepest user information the bus carries: it allows 64 nested containers in a message,
// the signal's own a{sv} takes 2 of them and every dictionary inside it 3 more (v, a, e).
constexpr int kMaxPostDepth = 21;

struct BusOptions {
  std::string bus = "session";
  bool json = false;
  long count = 0;
  std::string powerState;
  std::string postName;
  std::string userInfoText;
  long repeat = 1;
  bool broadcast = false;
  // What --user-info gave, once checked.
  std::optional<Dictionary> userInfo;
};

// Reads and checks --user-info: an exit status when it cannot be posted.
std::optional<int> checkUserInfo(BusOptions& options) {
  std::string& text = options.userInfoText;
  if (!text.empty() && text.front() == '@') {
    std::ifstream file(text.substr(1), std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    if (!file) {
      std::fprintf(stderr, "trellis: cannot read %s\n", text.c_str() + 1);
      return 2;
    }
    text = contents.str();
  }
  if (text.empty()) return std::nullopt;
  std::string error;
  std::optional<Value> parsed = parseJson(text, &error);
  if (!parsed || parsed->dictionary() == nullptr) {
    std::fprintf(stderr, "trellis: --user-info must be a JSON object%s%s\n", error.empty() ? "" : ": ",
                 error.c_str());
    return 2;
  }
  const Dictionary& userInfo = *parsed->dictionary();
  const std::size_t size = lnx::encodedSize(userInfo);
  if (size > protocol::kMaxUserInfoBytes) {
    std::fprintf(stderr, "trellis: user information too large to post (%zu bytes; at most %zu)\n", size,
                 protocol::kMaxUserInfoBytes);
    return 2;
  }
  if (parsed->depth() > kMaxPostDepth) {
    std::fprintf(stderr, "trellis: user information nested too deep to post (at most %d levels)\n", kMaxPostDepth);
    return 2;
  }
  options.userInfo = userInfo;
  return std::nullopt;
}

int post(const Services& services, const BusOptions& options, std::string_view name,
         const std::optional<Dictionary>& userInfo, long repeat = 1) {
  DistributedCenter& center = required(services.distributedCenter, "the distributed centre");
  for (long i = 0; i < repeat; ++i) {
    center.postNotification(name, userInfo ? &*userInfo : nullptr);
    // Keep the outgoing queue short on a long burst.
    if ((i + 1) % 256 == 0) center.flush();
  }
  center.flush();
  if (options.bus == "system") {
    // On the system bus the agent asks the bus daemon which user sent a command, which it can
    // only answer while the sender is still connected: stay a moment before going.
    usleep(500'000);
  }
  return 0;
}

// Calls the agent's `method` and waits for its answer: 0 once acknowledged, else 1 after the
// reason (no agent, access denied, or the error it answered, such as not sampling while it waits
// for a user at the console).
int command(Platform& platform, std::string_view method, std::optional<bool> on, const char* what) {
  lnx::DBusCenter* center = platform.built.center();
  sd_bus* bus = center != nullptr ? center->bus() : nullptr;
  const std::optional<std::string> reason =
      bus != nullptr ? lnx::callAgent(bus, method, on) : std::optional<std::string>("not connected to the bus");
  if (!reason) return 0;
  std::fprintf(stderr, "trellis: cannot %s: %s\n", what, reason->c_str());
  return 1;
}

// Receives readings and prints them; ends after `limit` notifications when limit > 0.
class Watcher {
 public:
  Watcher(bool json, long limit, RunLoop& loop) : json_(json), limit_(limit), loop_(loop) {}
  void reading(const std::string& name, const std::optional<Dictionary>& userInfo) {
    if (json_) {
      std::printf("%s\n", jsonLine(name, userInfo).c_str());
    } else if (auto line = cycle_.add(name, userInfo)) {
      std::printf("%s  %s\n", clockNow().c_str(), line->c_str());
    }
    std::fflush(stdout);
    if (limit_ > 0 && ++seen_ >= limit_) loop_.exit(0);
  }

 private:
  bool json_;
  long limit_;
  long seen_ = 0;
  RunLoop& loop_;
  CycleLine cycle_;
};

int watch(const Services& services, const std::string& busName, bool json, long limit) {
  RunLoop& loop = required(services.runLoop, "the main run loop");
  KwCFNotificationManager manager(required(services.distributedCenter, "the distributed centre"), loop);
  auto watcher = std::make_shared<Watcher>(json, limit, loop);
  for (std::string_view name : {protocol::kCpuTemperature, protocol::kSSDTemperature, protocol::kFansSpeed}) {
    manager.addObserver(
        std::static_pointer_cast<void>(watcher),
        [name = std::string(name)](void* target, const UserInfo& info) {
          static_cast<Watcher*>(target)->reading(name, info);
        },
        name);
  }
  if (!json) std::printf("Watching the agent's readings on the %s bus (Ctrl-C to stop)\n", busName.c_str());
  std::fflush(stdout);
  int status = loop.run();
  manager.removeAllObservers();
  return status;
}

}  // namespace

void addBusCommands(CLI::App& app, CommandSet& commands) {
  auto options = std::make_shared<BusOptions>();
  app.add_option("--bus", options->bus, "the message bus to use")
      ->check(CLI::IsMember({"session", "system"}))
      ->capture_default_str();

  auto* watchCommand = app.add_subcommand("watch", "print the agent's readings as they arrive");
  watchCommand->add_flag("--json", options->json, "one JSON line per notification");
  watchCommand->add_option("--count", options->count, "stop after this many notifications")
      ->check(CLI::NonNegativeNumber);
  auto* pauseCommand = app.add_subcommand("pause", "stop the agent's sampling for the rest of its life");
  auto* quitCommand = app.add_subcommand("quit", "end the agent");
  auto* powerCommand = app.add_subcommand("power-saving", "switch low-power mode on or off");
  powerCommand->add_option("state", options->powerState, "on or off")
      ->required()
      ->check(CLI::IsMember({"on", "off"}));
  auto* postCommand = app.add_subcommand("post", "post any notification");
  postCommand->add_option("name", options->postName, "the notification name")->required();
  postCommand->add_option("--user-info", options->userInfoText,
                          "user information as a JSON object, or @FILE to read it from FILE");
  postCommand->add_option("--repeat", options->repeat, "post it this many times, back to back")
      ->check(CLI::Range(1L, 1000000L))
      ->capture_default_str();

  const auto needs = [options] {
    Needs needs;
    needs.services.bus = options->bus == "system" ? lnx::BusKind::System : lnx::BusKind::Session;
    return needs;
  };
  for (auto* sub : {watchCommand, pauseCommand, quitCommand, powerCommand, postCommand}) {
    sub->add_option("--bus", options->bus, "the message bus to use")->check(CLI::IsMember({"session", "system"}));
  }
  // Readings only from the agent: anyone on the bus may send a signal of the same name.
  const auto readingNeeds = [needs] {
    Needs agentOnly = needs();
    agentOnly.services.onlyFrom = protocol::kAgentBusName;
    return agentOnly;
  };
  commands.add(watchCommand, {.needs = readingNeeds, .run = [options](Platform& platform) {
                                return watch(platform.services, options->bus, options->json, options->count);
                              }});
  for (auto* sub : {pauseCommand, quitCommand, powerCommand}) {
    sub->add_flag("--broadcast", options->broadcast,
                  "post the command notification for every agent on the bus instead; nothing answers it");
  }
  // The method and its argument, the notification posted instead with --broadcast, and what it
  // asks for (for the message when it fails).
  const auto commanding = [options](const char* method, std::optional<bool> on, std::string_view name,
                                    const char* what) {
    return [options, method, on, name, what](Platform& platform) {
      if (options->broadcast) return post(platform.services, *options, name, std::nullopt);
      return command(platform, method, on, what);
    };
  };
  commands.add(pauseCommand,
               {.needs = needs, .run = commanding("Pause", std::nullopt, protocol::kToolPause, "pause the agent")});
  commands.add(quitCommand,
               {.needs = needs, .run = commanding("Quit", std::nullopt, protocol::kToolStart, "end the agent")});
  commands.add(powerCommand, {.needs = needs, .run = [options, commanding](Platform& platform) {
                                const bool on = options->powerState == "on";
                                return commanding("SetPowerSaving", on,
                                                  on ? protocol::kOpenPowerSaving : protocol::kClosePowerSaving,
                                                  on ? "switch power saving on" : "switch power saving off")(platform);
                              }});
  commands.add(postCommand, {.check = [options] { return checkUserInfo(*options); },
                             .needs = needs,
                             .run = [options](Platform& platform) {
                               return post(platform.services, *options, options->postName, options->userInfo,
                                           options->repeat);
                             }});
}

}  // namespace trellis::cli
