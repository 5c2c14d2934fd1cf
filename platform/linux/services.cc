#include "platform/linux/services.h"

#include <chrono>

#include "base/main_queue.h"
#include "platform/linux/desktop/desktop_services.h"
#include "platform/linux/desktop/notification_rating.h"
#include "platform/linux/desktop/privacy.h"
#include "platform/linux/desktop/resource_folder.h"
#include "platform/linux/desktop/script_host.h"
#include "platform/linux/desktop/uinput_keyboard.h"
#include "platform/linux/desktop/user_interface.h"
#include "platform/linux/desktop/window_list.h"
#include "platform/linux/desktop/workspace.h"
#include "platform/linux/metrics/cpu_source.h"
#include "platform/linux/metrics/disk_source.h"
#include "platform/linux/metrics/memory_source.h"
#include "platform/linux/metrics/network_source.h"
#include "platform/linux/sensors/smc_choice.h"
#include "platform/linux/system/console_user.h"
#include "platform/linux/system/power_command.h"
#include "platform/linux/system/preferences_storage.h"
#include "platform/linux/system/process_runner.h"
#include "platform/linux/system/process_tree.h"
#include "platform/linux/system/purge.h"
#include "platform/linux/system/system_log.h"

namespace trellis::lnx {

struct LinuxServices::Owned {
  explicit Owned(const std::string& root)
      : cpu(root), memory(root), disk(root), network(root), consoleUsers(makeConsoleUserSource(root)) {}

  SyslogSystemLog log;
  // A generous limit: no command the agent runs takes long, and a stuck one (a power tool
  // waiting on a daemon that never answers) must not hold on for ever.
  PosixProcessRunner processes{{.timeLimit = std::chrono::seconds(30)}};
  LinuxMonotonicClock clock;
  ProcCpuSource cpu;
  ProcMemorySource memory;
  LinuxDiskSource disk;
  LinuxNetworkSource network;
  std::unique_ptr<ConsoleUserSource> consoleUsers;
  std::unique_ptr<FilePreferencesStorage> preferences;
  std::unique_ptr<LinuxPurgePlatform> purge;

  std::unique_ptr<UserInterface> userInterface;
  std::unique_ptr<ResourceFolder> resources;
  std::unique_ptr<XdgWorkspace> workspace;
  std::unique_ptr<UinputKeyboard> keyEvents;
  std::unique_ptr<XpropWindowList> windows;
  std::unique_ptr<LinuxPrivacyPlatform> privacy;
  std::unique_ptr<ExecutableScriptHost> scripts;
  std::unique_ptr<NotificationRatingRequester> rating;
};

LinuxServices::~LinuxServices() = default;

std::unique_ptr<LinuxServices> LinuxServices::create(const ServiceOptions& options, std::string* error) {
  std::unique_ptr<LinuxServices> built(new LinuxServices);
  // Whatever a child leaves behind comes back to this process, so that a time limit reaches it.
  becomeSubreaper();
  built->owned_ = std::make_unique<Owned>(options.root);
  Owned& owned = *built->owned_;
  Services& services = built->services_;

  std::string smcError;
  std::optional<SmcChoice> smc = chooseSmcTransport(options.smc, options.root, &smcError);
  if (!smc) {
    if (error) *error = smcError;
    return nullptr;
  }
  built->smc_ = smc->transport ? std::move(smc->transport) : std::make_unique<NoSmc>();
  built->smcDescription_ = std::move(smc->description);

  if (options.bus ? !built->connect(*options.bus, error, options.onlyFrom) : options.eventLoop && !built->startEventLoop(error)) {
    return nullptr;
  }

  services.log = &owned.log;
  services.processRunner = &owned.processes;
  services.clock = &owned.clock;
  services.consoleUsers = owned.consoleUsers.get();
  services.environment = processEnvironment();
  if (!options.powerTool.empty()) {
    services.powerCommand = [tool = options.powerTool](bool on) {
      return PowerCommand{tool, {"-a", "lowpowermode", on ? "1" : "0"}};
    };
  } else {
    services.powerCommand = [root = options.root](bool on) { return powerCommandUnder(root, on); };
  }
  services.smc = built->smc_.get();
  services.cpu = &owned.cpu;
  services.memory = &owned.memory;
  services.disk = &owned.disk;
  services.network = &owned.network;
  services.https = options.https;
  owned.preferences = std::make_unique<FilePreferencesStorage>(defaultPreferencesFolder());
  services.preferences = owned.preferences.get();
  owned.purge = std::make_unique<LinuxPurgePlatform>(options.root);
  services.purge = owned.purge.get();

  if (options.desktop) {
    const EnvironmentLookup environment = processEnvironment();
    std::optional<std::string> zenity = findExecutable("zenity");
    if (zenity && hasDisplay(environment)) {
      owned.userInterface = std::make_unique<ZenityUserInterface>(*zenity, owned.processes);
    } else {
      owned.userInterface = std::make_unique<HeadlessUserInterface>();
    }
    owned.resources = std::make_unique<ResourceFolder>(ResourceFolder::defaultRoot(environment),
                                                       ResourceFolder::preferredLanguages(environment));
    owned.workspace = std::make_unique<XdgWorkspace>(environment, XdgWorkspace::findTools(), owned.processes);
    owned.keyEvents = std::make_unique<UinputKeyboard>(std::make_unique<DevUinputDevice>());
    LinuxPrivacyPlatform::WindowList windowList;
    if (std::optional<std::string> xprop = findExecutable("xprop")) {
      owned.windows = std::make_unique<XpropWindowList>(*xprop, owned.processes);
      windowList = [windows = owned.windows.get()] { return windows->list(); };
    }
    owned.privacy = std::make_unique<LinuxPrivacyPlatform>(LinuxPrivacyPlatform::Options{}, environment,
                                                           std::move(windowList));
    owned.scripts = std::make_unique<ExecutableScriptHost>(environment, owned.processes);
    owned.rating = std::make_unique<NotificationRatingRequester>();
    services.userInterface = owned.userInterface.get();
    services.resources = owned.resources.get();
    services.workspace = owned.workspace.get();
    services.keyEvents = owned.keyEvents.get();
    services.privacy = owned.privacy.get();
    services.scripts = owned.scripts.get();
    services.rating = owned.rating.get();
  }
  return built;
}

void LinuxServices::stopChildren() { owned_->processes.stopAll(); }

bool LinuxServices::startEventLoop(std::string* error) {
  if (loop_) return true;
  int code = 0;
  loop_ = SdEventRunLoop::create(&code);
  if (!loop_) {
    if (error) *error = "cannot set up the event loop: " + errnoText(code);
    return false;
  }
  mainQueue_ = std::make_unique<RunLoopMainQueue>(*loop_);
  owned_->processes.attach(*loop_);
  services_.runLoop = loop_.get();
  services_.mainQueue = mainQueue_.get();
  return true;
}

bool LinuxServices::connect(BusKind bus, std::string* error, const std::string& onlyFrom) {
  if (!startEventLoop(error)) return false;
  DBusCenter::Options options;
  options.bus = bus;
  options.onlyFrom = onlyFrom;
  // On the shared system bus, only this user and root may command the agent. A reader of the
  // agent's readings trusts the name's owner instead, whom the bus's policy vouches for.
  options.onlyTrustedSenders = bus == BusKind::System && onlyFrom.empty();
  int code = 0;
  center_ = DBusCenter::create(*loop_, options, &code);
  if (!center_) {
    if (error) {
      *error = std::string("cannot connect to the ") + (bus == BusKind::System ? "system" : "session") +
               " bus: " + errnoText(code);
    }
    return false;
  }
  services_.distributedCenter = center_.get();
  return true;
}

}  // namespace trellis::lnx
