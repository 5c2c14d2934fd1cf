// The posix_spawn runner: one pipe for the child's standard output and standard error, drained
// while the child runs, then the child reaped. Nothing is shared between calls (a runner holds
// only its options), so any thread may call it. EINTR is retried in `retryOnEintr` only.
#include "platform/linux/process_runner_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace trellis::linux {
namespace {

using Clock = std::chrono::steady_clock;

template <typename Call>
auto retryOnEintr(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Not retried on EINTR: Linux releases the descriptor even when close reports it.
  void reset(int fd = -1) {
    if (fd_ >= 0) (void)::close(fd_);
    fd_ = fd;
  }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Moves a pipe end above the three standard descriptors (it lands on one of them when this process
// runs with a standard stream closed), so the child's file actions cannot clobber it before use.
UniqueFd liftAboveStandardStreams(UniqueFd fd) {
  if (!fd || fd.get() > STDERR_FILENO) return fd;
  return UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
}

class FileActions {
 public:
  FileActions() : ok_(::posix_spawn_file_actions_init(&actions_) == 0) {}
  ~FileActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  // Standard input from /dev/null, `output` as standard output and standard error (adddup2 clears
  // close-on-exec on the targets), every other descriptor closed in the child.
  bool configure(int output) {
    return ok_ && ::posix_spawn_file_actions_adddup2(&actions_, output, STDOUT_FILENO) == 0 &&
           ::posix_spawn_file_actions_adddup2(&actions_, output, STDERR_FILENO) == 0 &&
           ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0 &&
           ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1) == 0;
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() : ok_(::posix_spawnattr_init(&attributes_) == 0) {}
  ~SpawnAttributes() {
    if (ok_) ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  // The agent blocks SIGTERM and SIGINT for its event loop and may ignore others; a child starts
  // with nothing blocked and nothing ignored. With `ownGroup` the child leads a new process group,
  // so a time limit can kill whatever it started too.
  bool configure(bool ownGroup) {
    if (!ok_) return false;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (ownGroup) flags |= POSIX_SPAWN_SETPGROUP;
    return ::posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
           ::posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
           (!ownGroup || ::posix_spawnattr_setpgroup(&attributes_, 0) == 0) &&
           ::posix_spawnattr_setflags(&attributes_, flags) == 0;
  }
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
  bool ok_;
};

enum class Drained { kToEnd, kStopped };

// Appends everything readable from `fd` to `output` until end of file, or until `deadline` passes
// or polling fails (kStopped: the child is still to be stopped).
Drained drain(int fd, std::optional<Clock::time_point> deadline, std::string& output) {
  char buffer[16384];
  for (;;) {
    if (deadline) {
      pollfd entry{fd, POLLIN, 0};
      int ready = retryOnEintr([&] {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
        entry.revents = 0;
        return ::poll(&entry, 1, static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0)));
      });
      if (ready < 0) return Drained::kStopped;
      if (ready == 0) {
        if (Clock::now() >= *deadline) return Drained::kStopped;
        continue;
      }
    }
    ssize_t count = retryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); });
    if (count <= 0) return Drained::kToEnd;  // end of file; a read error ends the output too
    output.append(buffer, static_cast<size_t>(count));
  }
}

// Reaps `pid`. With a deadline, a child still running when it passes (its output already closed)
// is killed first.
void reap(pid_t pid, std::optional<Clock::time_point> deadline) {
  int status = 0;
  if (deadline) {
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
      pid_t done = retryOnEintr([&] { return ::waitpid(pid, &status, WNOHANG); });
      if (done != 0) return;  // reaped, or not ours to wait for (SIGCHLD ignored)
      if (Clock::now() >= *deadline) break;
      timespec nap{0, static_cast<long>(std::chrono::nanoseconds(pause).count())};
      (void)::nanosleep(&nap, nullptr);  // an interrupted nap only checks sooner
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    (void)::kill(-pid, SIGKILL);  // the group exists until its leader is reaped
  }
  (void)retryOnEintr([&] { return ::waitpid(pid, &status, 0); });  // the exit status is not used
}

}  // namespace

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

std::optional<std::string> PosixProcessRunner::run(const std::string& path,
                                                   const std::vector<std::string>& arguments) {
  // glibc's posix_spawn reports a failed exec as its own error, but checking first keeps the
  // answer the same on C libraries whose child can only exit 127.
  if (!isExecutableFile(path)) return std::nullopt;

  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
  UniqueFd readEnd = liftAboveStandardStreams(UniqueFd(ends[0]));
  UniqueFd writeEnd = liftAboveStandardStreams(UniqueFd(ends[1]));
  if (!readEnd || !writeEnd) return std::nullopt;

  const bool limited = options_.timeLimit.has_value();
  FileActions actions;
  SpawnAttributes attributes;
  if (!actions.configure(writeEnd.get()) || !attributes.configure(/*ownGroup=*/limited)) return std::nullopt;

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  std::optional<Clock::time_point> deadline;
  if (limited) deadline = Clock::now() + *options_.timeLimit;
  if (::posix_spawn(&pid, path.c_str(), actions.get(), attributes.get(), argv.data(), environ) != 0) {
    return std::nullopt;
  }
  // Only the child may hold the write end, or the pipe would never reach its end.
  writeEnd.reset();

  std::string output;
  if (drain(readEnd.get(), deadline, output) == Drained::kStopped) {
    (void)::kill(limited ? -pid : pid, SIGKILL);  // hung or unreadable: stop it before reaping
  }
  // Closed before waiting: a child that still writes then gets EPIPE instead of blocking forever.
  readEnd.reset();
  reap(pid, deadline);
  return output;
}

}  // namespace trellis::linux

namespace trellis {

ProcessRunner& platformProcessRunner() {
  static linux::PosixProcessRunner runner;
  return runner;
}

}  // namespace trellis
