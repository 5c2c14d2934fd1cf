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

PrivateBus::PrivateBus(std::string socketPath) : socketPath_(std::move(socketPath)) { start(); }

void PrivateBus::start() {
  address_.clear();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  std::string fixed = "--address=unix:path=" + socketPath_;
  const char* argv[] = {"dbus-daemon", "--session", "--print-address=1", "--nofork", "--nopidfile",
                        socketPath_.empty() ? nullptr : fixed.c_str(), nullptr};
  int r = posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
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
  stop();
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

void PrivateBus::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
  if (!socketPath_.empty()) unlink(socketPath_.c_str());
}

}  // namespace trellis::testing
