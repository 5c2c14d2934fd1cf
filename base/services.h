// The services a process runs on: every piece of the machine that the core reaches (loop, bus,
// sensors, metric sources, child processes, log, desktop). A program's entry builds them (the
// platform folder has one function that builds the Linux ones) and hands them in: to
// constructors, or, for the class-level operations that have no instance to carry them
// (`KwTools::...`, `HardwareManager::share`, `CpuInfo()` ...), through the one registry below.
//
// The registry is written once at start-up, before any other thread exists, and only read after;
// tests replace it around a test with tests/support's ServicesScope. A service the process never
// installed is a programming error: asking for it aborts with a message that names it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/power_command.h"

namespace trellis {

class ConsoleUserSource;
class CpuSource;
class DiskSource;
class DistributedCenter;
class HttpsFetcher;
class KeyEventPoster;
class MainQueue;
class MemorySource;
class MonotonicClock;
class NetworkSource;
class PreferencesStorage;
class PrivacyPlatform;
class ProcessRunner;
class PurgePlatform;
class RatingRequester;
class ResourceBundle;
class RunLoop;
class ScriptHost;
class SmcTransport;
class SystemLog;
class UserInterface;
class Workspace;

struct Services {
  // The main thread's loop and the delayed-call queue over it.
  RunLoop* runLoop = nullptr;
  MainQueue* mainQueue = nullptr;
  SystemLog* log = nullptr;
  ProcessRunner* processRunner = nullptr;
  MonotonicClock* clock = nullptr;
  ConsoleUserSource* consoleUsers = nullptr;
  // The process's environment variables: the value of one, or nothing when it is not set.
  std::function<std::optional<std::string>(std::string_view name)> environment;
  // The command that switches low-power mode on (true) or off.
  std::function<PowerCommand(bool lowPowerOn)> powerCommand;

  DistributedCenter* distributedCenter = nullptr;
  // The SMC transport chosen at start-up; a machine without an SMC has one whose opening fails.
  SmcTransport* smc = nullptr;

  CpuSource* cpu = nullptr;
  MemorySource* memory = nullptr;
  DiskSource* disk = nullptr;
  NetworkSource* network = nullptr;
  // HTTPS for the public-address lookup; only a program that makes that lookup has one.
  HttpsFetcher* https = nullptr;

  PreferencesStorage* preferences = nullptr;
  PurgePlatform* purge = nullptr;
  UserInterface* userInterface = nullptr;
  ResourceBundle* resources = nullptr;
  Workspace* workspace = nullptr;
  KeyEventPoster* keyEvents = nullptr;
  PrivacyPlatform* privacy = nullptr;
  ScriptHost* scripts = nullptr;
  RatingRequester* rating = nullptr;
};

// Makes `services` the process's. The pointers are copied, not owned: what they point at must
// live as long as it is used.
void installServices(const Services& services);
// The process's services (all empty until something was installed).
const Services& installedServices();

// Replaces some of the process's services for as long as it lives: `change` edits a copy of
// them, which is installed; the services before it come back on destruction. For tests, and for
// a command that runs on services of its own. Main thread only; scopes end in reverse order.
class ScopedServices {
 public:
  explicit ScopedServices(const std::function<void(Services&)>& change);
  ~ScopedServices();
  ScopedServices(const ScopedServices&) = delete;
  ScopedServices& operator=(const ScopedServices&) = delete;

 private:
  Services before_;
};

// Ends the process with "trellis: <what> was used but never installed" on standard error.
[[noreturn]] void missingService(const char* what);

// `*service`, or the abort above when it is null.
template <typename T>
T& required(T* service, const char* what) {
  if (service == nullptr) missingService(what);
  return *service;
}

}  // namespace trellis
