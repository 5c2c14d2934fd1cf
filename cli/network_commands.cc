// `trellis metrics network` and `trellis public-ip`: the network collector over the process's
// network source, and the public-address lookup over the process's HTTPS fetcher (libcurl) with
// its event loop as the main queue. Main thread only (the lookup's fetch runs on the fetcher's
// thread).
#include "cli/network_commands.h"

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "base/run_loop.h"
#include "cli/command_set.h"

namespace trellis::cli {

namespace {

// Sleeps until just after the next whole second of `clock`.
void sleepPastNextSecond(MonotonicClock& clock) {
  constexpr std::uint64_t kSecond = 1'000'000'000;
  const std::uint64_t intoSecond = clock.absoluteTime() % kSecond;
  std::this_thread::sleep_for(std::chrono::nanoseconds(kSecond - intoSecond) + std::chrono::milliseconds(20));
}

}  // namespace

std::string networkRecordJson(const NetworkModel& model) {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  json["ip"] = model.ip();
  json["userDefinedName"] = model.userDefinedName();
  json["deviceName"] = model.deviceName();
  json["ssid"] = model.ssid();
  json["hardware"] = model.hardware();
  json["up"] = model.up();
  json["down"] = model.down();
  json["upString"] = model.upString();
  json["downString"] = model.downString();
  // Names and network names may hold any bytes: replace what is not UTF-8 rather than fail.
  return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string networkRecordText(const NetworkModel& model) {
  std::string text;
  if (model.userDefinedName().empty()) {
    text += "service   (none: no default route, or a service without a name)\n";
  } else {
    text += "service   " + model.userDefinedName() + "\n";
    text += "device    " + model.deviceName();
    if (!model.hardware().empty()) text += " (" + model.hardware() + ")";
    text += "\n";
    if (!model.ip().empty()) text += "address   " + model.ip() + "\n";
    if (!model.ssid().empty()) text += "network   " + model.ssid() + "\n";
  }
  text += "up        " + model.upString() + "\n";
  text += "down      " + model.downString() + "\n";
  return text;
}

int metricsNetwork(const Services& services, bool json, std::chrono::seconds window) {
  MonotonicClock& clock = required(services.clock, "the monotonic clock");
  NetworkInfo network(required(services.network, "the network source"), clock);

  // As `reloadInfo` does, with the two speed samples placed just after whole seconds: the clock
  // is cut to whole seconds, so samples `window` apart then measure exactly `window`.
  const std::shared_ptr<NetworkModel> model = network.getNetworkInfo();
  network.getNetworkBaseInfoTo(*model);
  sleepPastNextSecond(clock);
  network.getNetworkSpeedTo(*model);
  std::this_thread::sleep_for(window);
  network.getNetworkSpeedTo(*model);

  if (json) {
    std::printf("%s\n", networkRecordJson(*model).c_str());
  } else {
    std::fputs(networkRecordText(*model).c_str(), stdout);
  }
  return 0;
}

int publicIp(const Services& services, const std::string& host) {
  RunLoop& loop = required(services.runLoop, "the main run loop");
  PublicAddressLookup lookup;
  lookup.fetcher = &required(services.https, "the HTTPS fetcher");
  lookup.mainQueue = &loop;
  if (!host.empty()) lookup.host = [host] { return host; };

  std::string address;
  NetworkModel().getNetwortIpWithHandler(
      [&address, &loop](const std::string& ip) {
        address = ip;
        loop.exit(0);
      },
      lookup);
  (void)loop.run();  // ends from the handler, or with status 0 on SIGINT/SIGTERM (address empty)
  if (address.empty()) return 1;
  std::printf("%s\n", address.c_str());
  if (address == kUnknownPublicAddress) {
    std::fprintf(stderr, "trellis: the public-address lookup on %s failed\n",
                 host.empty() ? publicAddressHost().c_str() : host.c_str());
    return 1;
  }
  return 0;
}

void addNetworkCommands(CLI::App& app, CLI::App& metrics, CommandSet& commands) {
  struct MetricsOptions {
    std::string root = "/";
    bool json = false;
  };
  auto metricsOptions = std::make_shared<MetricsOptions>();
  CLI::App* network = metrics.add_subcommand(
      "network", "the primary network service (name, device, kind, address, Wi-Fi network) and rates over 1 s");
  network->add_flag("--json", metricsOptions->json, "print the record and its rate texts as JSON");
  network->add_option("--root", metricsOptions->root, "read /proc and sysfs under this folder")->capture_default_str();
  commands.add(network, {.needs = [network, &metrics, metricsOptions] {
                           Needs needs;
                           needs.services.root = fromEither(*network, metrics, "--root", metricsOptions->root);
                           return needs;
                         },
                         .run = [metricsOptions](Platform& platform) {
                           return metricsNetwork(platform.services, metricsOptions->json);
                         }});

  struct LookupOptions {
    std::string host;
    std::string caFile;
  };
  auto lookupOptions = std::make_shared<LookupOptions>();
  CLI::App* publicIpCommand = app.add_subcommand("public-ip", "look up this machine's public address over HTTPS");
  publicIpCommand->add_option("--host", lookupOptions->host,
                              "the lookup service's host[:port] (default: $TRELLIS_IP_HOST, else " +
                                  std::string(kDefaultPublicAddressHost) + "); asked for /all.json");
  publicIpCommand->add_option("--cacert", lookupOptions->caFile,
                              "trust the certificates in this PEM file instead of the system's");
  commands.add(publicIpCommand,
               {.check = [lookupOptions]() -> std::optional<int> {
                  const std::string& host = lookupOptions->host;
                  if (host.empty() || isValidPublicAddressHost(host)) return std::nullopt;
                  std::fprintf(stderr, "trellis: not a host name or address (with an optional :port): %s\n",
                               host.c_str());
                  return 2;
                },
                .needs = [lookupOptions] {
                  Needs needs;
                  needs.services.eventLoop = true;
                  needs.httpsCaFile = lookupOptions->caFile;
                  return needs;
                },
                .run = [lookupOptions](Platform& platform) {
                  return publicIp(platform.services, lookupOptions->host);
                }});
}

}  // namespace trellis::cli
