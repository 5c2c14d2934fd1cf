#include "cli/companion.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <memory>

#include "base/run_loop.h"
#include "cli/bus_session.h"
#include "cli/command_set.h"
#include "cli/metrics_commands.h"
#include "cli/smc_commands.h"
#include "model/value_json.h"
#include "notify/kw_cf_notification_manager.h"
#include "notify/protocol.h"
#include "platform/linux/bus/dbus_center.h"
#include "platform/linux/bus/dbus_value.h"
#include "platform/linux/services.h"
#include "platform/linux/system/run_loop.h"

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
    if (id && id->string() && !id->string()->empty()) text += *id->string() + " ";
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

int post(const std::string& busName, std::string_view name, const std::optional<Dictionary>& userInfo,
         long repeat = 1) {
  if (userInfo) {
    const std::size_t size = lnx::encodedSize(*userInfo);
    if (size > protocol::kMaxUserInfoBytes) {
      std::fprintf(stderr, "trellis: user information too large to post (%zu bytes; at most %zu)\n", size,
                   protocol::kMaxUserInfoBytes);
      return 2;
    }
    if (Value(*userInfo).depth() > kMaxPostDepth) {
      std::fprintf(stderr, "trellis: user information nested too deep to post (at most %d levels)\n", kMaxPostDepth);
      return 2;
    }
  }
  auto session = connectBus(busName);
  if (!session) return 1;
  for (long i = 0; i < repeat; ++i) {
    session->center->postNotification(name, userInfo ? &*userInfo : nullptr);
    // Keep the outgoing queue short on a long burst.
    if ((i + 1) % 256 == 0) session->center->flush();
  }
  session->center->flush();
  if (busName == "system") {
    // On the system bus the agent asks the bus daemon which user sent a command, which it can
    // only answer while the sender is still connected: stay a moment before going.
    usleep(500'000);
  }
  return 0;
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

int watch(const std::string& busName, bool json, long limit) {
  auto session = connectBus(busName);
  if (!session) return 1;
  RunLoop& loop = *session->loop;
  KwCFNotificationManager manager(*session->center, loop);
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

int runCompanion(int argc, char** argv) {
  // The process's services, kept until it ends: commands that need more (a bus, an SMC) add them.
  std::string error;
  lnx::ServiceOptions options;
  options.desktop = true;
  static std::unique_ptr<lnx::LinuxServices> platform = lnx::LinuxServices::create(options, &error);
  if (!platform) {
    std::fprintf(stderr, "trellis: %s\n", error.c_str());
    return 1;
  }
  installServices(platform->services());

  CLI::App app{"trellis: watch and command the trellis agent"};
  app.set_version_flag("--version", std::string("trellis ") + TRELLIS_VERSION);
  app.require_subcommand(1);
  std::string busName = "session";
  app.add_option("--bus", busName, "the message bus to use")
      ->check(CLI::IsMember({"session", "system"}))
      ->capture_default_str();

  bool json = false;
  long count = 0;
  auto* watchCommand = app.add_subcommand("watch", "print the agent's readings as they arrive");
  watchCommand->add_flag("--json", json, "one JSON line per notification");
  watchCommand->add_option("--count", count, "stop after this many notifications")->check(CLI::NonNegativeNumber);

  auto* pauseCommand = app.add_subcommand("pause", "stop the agent's sampling for the rest of its life");
  auto* quitCommand = app.add_subcommand("quit", "end the agent");
  std::string powerState;
  auto* powerCommand = app.add_subcommand("power-saving", "switch low-power mode on or off");
  powerCommand->add_option("state", powerState, "on or off")->required()->check(CLI::IsMember({"on", "off"}));

  std::string postName;
  std::string userInfoText;
  auto* postCommand = app.add_subcommand("post", "post any notification");
  postCommand->add_option("name", postName, "the notification name")->required();
  postCommand->add_option("--user-info", userInfoText, "user information as a JSON object, or @FILE to read it from FILE");
  long repeat = 1;
  postCommand->add_option("--repeat", repeat, "post it this many times, back to back")
      ->check(CLI::Range(1L, 1000000L))
      ->capture_default_str();

  std::string smcSpec = "auto";
  std::string root = "/";
  std::string smcKey;
  bool smcJson = false;
  auto* smcCommand = app.add_subcommand("smc", "read the SMC (or what stands in for it on this machine)");
  smcCommand->require_subcommand(1);
  auto* smcInfoCommand = smcCommand->add_subcommand("info", "say which SMC transport --smc gives here, and why");
  auto* smcKeysCommand = smcCommand->add_subcommand("keys", "list every key with its size, type and value");
  auto* smcReadCommand = smcCommand->add_subcommand("read", "read one key");
  smcReadCommand->add_option("key", smcKey, "the four-character key, e.g. TC0P")->required();
  smcReadCommand->add_flag("--json", smcJson, "print the reading as a JSON object");
  for (auto* sub : {smcCommand, smcInfoCommand, smcKeysCommand, smcReadCommand}) {
    sub->add_option("--smc", smcSpec, "auto, hwmon, applesmc, sim:PATH or none")->capture_default_str();
    sub->add_option("--root", root, "read sysfs under this folder")->capture_default_str();
  }

  bool metricsJson = false;
  bool sinceBoot = false;
  auto* metricsCommand = app.add_subcommand("metrics", "take a reading of a collector");
  metricsCommand->require_subcommand(1);
  auto* metricsCpuCommand = metricsCommand->add_subcommand(
      "cpu", "the CPU record: counts, load, usage over 2 s (or since boot), temperature");
  metricsCpuCommand->add_flag("--json", metricsJson, "print the record's dictionary form as JSON");
  metricsCpuCommand->add_flag("--since-boot", sinceBoot, "one sample: usage since the machine started");
  for (auto* sub : {metricsCommand, metricsCpuCommand}) {
    sub->add_option("--smc", smcSpec, "where the temperature comes from: auto, hwmon, applesmc, sim:PATH or none")
        ->capture_default_str();
    sub->add_option("--root", root, "read /proc and sysfs under this folder")->capture_default_str();
  }

  CommandSet groups;
  addStorageCommands(*metricsCommand, groups);
  addNetworkCommands(app, *metricsCommand, groups);
  addPreferencesCommands(app, groups);
  addDesktopCommands(app, groups);
  addDoctorCommands(app, groups);

  for (auto* sub : {watchCommand, pauseCommand, quitCommand, powerCommand, postCommand}) {
    sub->add_option("--bus", busName, "the message bus to use")->check(CLI::IsMember({"session", "system"}));
  }

  CLI11_PARSE(app, argc, argv);

  if (std::optional<int> status = groups.runParsed()) return *status;

  if (*metricsCpuCommand) return metricsCpu(smcSpec, root, metricsJson, sinceBoot);
  if (*smcInfoCommand) return smcInfo(smcSpec, root);
  if (*smcKeysCommand) return smcKeys(smcSpec, root);
  if (*smcReadCommand) return smcRead(smcSpec, root, smcKey, smcJson);
  if (*watchCommand) return watch(busName, json, count);
  if (*pauseCommand) return post(busName, protocol::kToolPause, std::nullopt);
  if (*quitCommand) return post(busName, protocol::kToolStart, std::nullopt);
  if (*powerCommand) {
    return post(busName, powerState == "on" ? protocol::kOpenPowerSaving : protocol::kClosePowerSaving, std::nullopt);
  }
  if (*postCommand) {
    std::optional<Dictionary> userInfo;
    if (!userInfoText.empty() && userInfoText.front() == '@') {
      std::ifstream file(userInfoText.substr(1), std::ios::binary);
      std::ostringstream text;
      text << file.rdbuf();
      if (!file) {
        std::fprintf(stderr, "trellis: cannot read %s\n", userInfoText.c_str() + 1);
        return 2;
      }
      userInfoText = text.str();
    }
    if (!userInfoText.empty()) {
      std::string error;
      std::optional<Value> parsed = parseJson(userInfoText, &error);
      if (!parsed || parsed->dictionary() == nullptr) {
        std::fprintf(stderr, "trellis: --user-info must be a JSON object%s%s\n", error.empty() ? "" : ": ",
                     error.c_str());
        return 2;
      }
      userInfo = *parsed->dictionary();
    }
    return post(busName, postName, userInfo, repeat);
  }
  return 2;
}

}  // namespace trellis::cli
