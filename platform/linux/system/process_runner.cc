// The posix_spawn runner: one pipe for the child's standard output and standard error, drained
// while the child runs, then the child reaped. Nothing is shared between calls (a runner holds
// only its options), so any thread may call it. EINTR is retried in `retryOnEintr` only.
#include "platform/linux/system/process_runner.h"
#include "platform/linux/io/eintr.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace trellis::lnx {
namespace {

using Clock = std::chrono::steady_clock;

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
  // Standard input from `input` (or /dev/null when -1), standard output and standard error from
  // `output` and `errors` (or /dev/null when -1), every other descriptor closed in the child.
  bool configure(int input, int output, int errors) {
    if (!ok_) return false;
    bool done = input >= 0 ? ::posix_spawn_file_actions_adddup2(&actions_, input, STDIN_FILENO) == 0
                           : ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0;
    done = done && (output >= 0 ? ::posix_spawn_file_actions_adddup2(&actions_, output, STDOUT_FILENO) == 0
                                : ::posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, "/dev/null", O_WRONLY, 0) == 0);
    done = done && (errors >= 0 ? ::posix_spawn_file_actions_adddup2(&actions_, errors, STDERR_FILENO) == 0
                                : ::posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0);
    return done && ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1) == 0;
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

// Reaps `pid` and returns its wait status (-1 when it was not ours to wait for). With a deadline,
// a child still running when it passes (its output already closed) is killed first.
int reap(pid_t pid, std::optional<Clock::time_point> deadline) {
  int status = 0;
  if (deadline) {
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
      pid_t done = retryOnEintr([&] { return ::waitpid(pid, &status, WNOHANG); });
      if (done != 0) return done > 0 ? status : -1;  // reaped, or not ours to wait for (SIGCHLD ignored)
      if (Clock::now() >= *deadline) break;
      timespec nap{0, static_cast<long>(std::chrono::nanoseconds(pause).count())};
      (void)::nanosleep(&nap, nullptr);  // an interrupted nap only checks sooner
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    (void)::kill(-pid, SIGKILL);  // the group exists until its leader is reaped
  }
  return retryOnEintr([&] { return ::waitpid(pid, &status, 0); }) > 0 ? status : -1;
}

std::vector<char*> argumentVector(const std::string& path, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Feeds a child's standard input and drains its two outputs at once, so that neither side can
// fill a buffer the other is waiting on, until all three have ended. Returns kStopped when
// `deadline` passed or polling failed.
Drained exchange(UniqueFd& input, std::string_view pending, UniqueFd& output, UniqueFd& errors,
                 std::optional<Clock::time_point> deadline, ProcessResult& result) {
  char buffer[16384];
  while (input || output || errors) {
    pollfd entries[3];
    nfds_t count = 0;
    UniqueFd* owners[3] = {nullptr, nullptr, nullptr};
    std::string* sinks[3] = {nullptr, nullptr, nullptr};
    if (input) {
      entries[count] = {input.get(), POLLOUT, 0};
      owners[count++] = &input;
    }
    if (output) {
      entries[count] = {output.get(), POLLIN, 0};
      sinks[count] = &result.standardOutput;
      owners[count++] = &output;
    }
    if (errors) {
      entries[count] = {errors.get(), POLLIN, 0};
      sinks[count] = &result.standardError;
      owners[count++] = &errors;
    }
    int ready = retryOnEintr([&] {
      int wait = -1;
      if (deadline) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
        wait = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
      }
      for (nfds_t i = 0; i < count; ++i) entries[i].revents = 0;
      return ::poll(entries, count, wait);
    });
    if (ready < 0) return Drained::kStopped;
    if (ready == 0) {
      if (deadline && Clock::now() >= *deadline) return Drained::kStopped;
      continue;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (entries[i].revents == 0) continue;
      if (sinks[i] == nullptr) {
        // MSG_NOSIGNAL: a child that closed its input gives EPIPE here, not SIGPIPE to this process.
        ssize_t sent = retryOnEintr([&] { return ::send(input.get(), pending.data(), pending.size(), MSG_NOSIGNAL); });
        if (sent > 0) pending.remove_prefix(static_cast<size_t>(sent));
        if ((sent < 0 && errno != EAGAIN) || pending.empty()) input.reset();  // the child sees the end
        continue;
      }
      ssize_t got = retryOnEintr([&] { return ::read(owners[i]->get(), buffer, sizeof buffer); });
      if (got <= 0) {
        owners[i]->reset();  // end of file; a read error ends the stream too
      } else {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      }
    }
  }
  return Drained::kToEnd;
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

  std::vector<char*> argv = argumentVector(path, arguments);

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
  (void)reap(pid, deadline);  // the exit status is not part of the answer
  return output;
}

std::optional<ProcessResult> PosixProcessRunner::runWith(const ProcessRequest& request) {
  if (!isExecutableFile(request.path)) return std::nullopt;

  UniqueFd inputParent;
  UniqueFd inputChild;
  if (request.standardInput) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return std::nullopt;
    inputParent = liftAboveStandardStreams(UniqueFd(pair[0]));
    inputChild = liftAboveStandardStreams(UniqueFd(pair[1]));
    // Only this end is non-blocking: the child reads its standard input the ordinary way.
    if (!inputParent || !inputChild || ::fcntl(inputParent.get(), F_SETFL, O_NONBLOCK) != 0) return std::nullopt;
  }
  UniqueFd outputRead, outputWrite, errorsRead, errorsWrite;
  if (!request.discardOutput) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
    outputRead = liftAboveStandardStreams(UniqueFd(ends[0]));
    outputWrite = liftAboveStandardStreams(UniqueFd(ends[1]));
    if (::pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
    errorsRead = liftAboveStandardStreams(UniqueFd(ends[0]));
    errorsWrite = liftAboveStandardStreams(UniqueFd(ends[1]));
    if (!outputRead || !outputWrite || !errorsRead || !errorsWrite) return std::nullopt;
  }

  const bool limited = options_.timeLimit.has_value();
  FileActions actions;
  SpawnAttributes attributes;
  if (!actions.configure(inputChild ? inputChild.get() : -1, outputWrite ? outputWrite.get() : -1,
                         errorsWrite ? errorsWrite.get() : -1) ||
      !attributes.configure(/*ownGroup=*/limited)) {
    return std::nullopt;
  }
  std::vector<char*> argv = argumentVector(request.path, request.arguments);
  pid_t pid = -1;
  std::optional<Clock::time_point> deadline;
  if (limited) deadline = Clock::now() + *options_.timeLimit;
  if (::posix_spawn(&pid, request.path.c_str(), actions.get(), attributes.get(), argv.data(), environ) != 0) {
    return std::nullopt;
  }
  inputChild.reset();
  outputWrite.reset();
  errorsWrite.reset();

  ProcessResult result;
  std::string_view pending = request.standardInput ? std::string_view(*request.standardInput) : std::string_view();
  if (inputParent && pending.empty()) inputParent.reset();
  if (exchange(inputParent, pending, outputRead, errorsRead, deadline, result) == Drained::kStopped) {
    (void)::kill(limited ? -pid : pid, SIGKILL);
  }
  inputParent.reset();
  outputRead.reset();
  errorsRead.reset();
  int status = reap(pid, deadline);
  if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

std::optional<std::string> findExecutable(const std::string& name, const std::string& searchPath) {
  if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
  size_t start = 0;
  while (start <= searchPath.size()) {
    size_t end = searchPath.find(':', start);
    if (end == std::string::npos) end = searchPath.size();
    if (end > start) {
      std::string candidate = searchPath.substr(start, end - start) + "/" + name;
      if (isExecutableFile(candidate)) return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<std::string> findExecutable(const std::string& name) {
  const char* path = std::getenv("PATH");
  return findExecutable(name, path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
}

}  // namespace trellis::lnx

