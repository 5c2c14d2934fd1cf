#include "support/private_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace trellis::testing {

PrivateBus::PrivateBus() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  // Nothing else of the test process leaks into the daemon: not its descriptors (a stdout the
  // daemon kept open would hold a pipe to the test runner open) and not the signals the event
  // loops block (the daemon would then ignore the SIGTERM that stops it).
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const char* argv[] = {"dbus-daemon", "--session", "--print-address=1", "--nofork", "--nopidfile", nullptr};
  int r = posix_spawnp(&pid_, "dbus-daemon", &actions, &attributes, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(fds[1]);
  if (r != 0) {
    pid_ = -1;
    close(fds[0]);
    return;
  }
  // The first line is the address.
  char c;
  while (read(fds[0], &c, 1) == 1 && c != '\n') address_ += c;
  close(fds[0]);
  if (!address_.empty()) setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateBus::~PrivateBus() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    // A daemon that does not go within a second is killed.
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
      gone = waitpid(pid_, nullptr, WNOHANG) == pid_;
      if (!gone) usleep(10'000);
    }
    if (!gone) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace trellis::testing
