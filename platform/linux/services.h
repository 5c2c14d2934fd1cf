// Every Linux service a program runs on, built in one place from the program's options: the
// agent, the companion, the benchmarks and the fuzz targets all start here. The object owns what
// it built; `services()` hands out plain pointers to it for the core (base/services.h). Made and
// destroyed on the main thread; it must outlive every use of its services, so the programs keep it
// until they exit.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "base/services.h"
#include "platform/linux/bus/dbus_center.h"
#include "platform/linux/system/run_loop.h"

namespace trellis::lnx {

struct ServiceOptions {
  // Where the system's files are read: /proc, /sys, /run, /var, and the power tools.
  std::string root = "/";
  // The SMC transport: auto, hwmon, applesmc, sim:PATH or none (see sensors/smc_choice.h).
  std::string smc = "none";
  // A pmset-compatible tool for low-power mode (given -a lowpowermode 1|0); empty: pmset when
  // `root`/usr/bin/pmset exists, else powerprofilesctl.
  std::string powerTool;
  // An event loop on this thread (the main queue runs on it). Implied by `bus`.
  bool eventLoop = false;
  // A connection to this bus, attached to the event loop.
  std::optional<BusKind> bus;
  // Notifications from the bus only when the owner of this well-known name sent them (for readers
  // of the agent's readings); empty: from any sender.
  std::string onlyFrom;
  // The desktop services: dialogs, resources, workspace, key events, privacy facts, scripts and
  // the rating request.
  bool desktop = false;
  // The fetcher for HTTPS lookups, owned by the caller; none by default (only the companion's
  // public-address command makes such lookups).
  HttpsFetcher* https = nullptr;
};

class LinuxServices {
 public:
  // Builds what `options` asks for. Nothing, with the reason in `error` ("cannot connect to the
  // session bus: ..."), when a piece cannot be had: an SMC transport as asked, the event loop, the bus.
  static std::unique_ptr<LinuxServices> create(const ServiceOptions& options, std::string* error);
  ~LinuxServices();

  // Makes the event loop when there is none yet and connects to `bus` on it (what `create` does
  // for options with a bus): false, with the reason in `error`, when either cannot be had. For a
  // program that connects later than it starts. Once only.
  bool connect(BusKind bus, std::string* error, const std::string& onlyFrom = {});

  const Services& services() const { return services_; }
  // The event loop and the bus centre, when the options asked for them.
  SdEventRunLoop* loop() const { return loop_.get(); }
  DBusCenter* center() const { return center_.get(); }
  // Kills the children started from the loop that are still running, with whatever they started.
  // For the end of the process.
  void stopChildren();

  // The SMC transport chosen (a NoSmc for "none") and, for people, what it is and why.
  SmcTransport& smc() const { return *smc_; }
  const std::string& smcDescription() const { return smcDescription_; }

 private:
  LinuxServices() = default;
  bool startEventLoop(std::string* error);
  struct Owned;

  Services services_;
  std::unique_ptr<Owned> owned_;
  std::unique_ptr<SdEventRunLoop> loop_;
  // After the loop, so that they go before it.
  std::unique_ptr<MainQueue> mainQueue_;
  std::unique_ptr<DBusCenter> center_;
  std::unique_ptr<SmcTransport> smc_;
  std::string smcDescription_;
};

}  // namespace trellis::lnx
