// The posix_spawn runner: one pipe for the child's standard output and standard error, drained
// while the child runs, then the child reaped. Blocking runs share only the set of living children
// (under its lock); children started from the loop are watched through their pipe and a pidfd.
// EINTR is retried in `retryOnEintr` only.
#include "platform/linux/system/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <sys/syscall.h>
#include <systemd/sd-event.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/linux/io/eintr.h"
#include "platform/linux/system/process_tree.h"
#include "platform/linux/system/run_loop.h"

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

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

// A child's output up to a limit: what comes after it is counted, not kept.
class Capture {
 public:
  explicit Capture(std::size_t limit) : limit_(limit) {}
  void append(const char* bytes, std::size_t count) {
    const std::size_t kept = std::min(count, limit_ - std::min(limit_, text_.size()));
    text_.append(bytes, kept);
    discarded_ += count - kept;
  }
  // The text kept, with a last line saying how much was not.
  std::string take() {
    if (discarded_ > 0) {
      char note[64];
      std::snprintf(note, sizeof note, "%s[%zu more bytes discarded]\n",
                    text_.empty() || text_.back() == '\n' ? "" : "\n", discarded_);
      text_ += note;
    }
    return std::move(text_);
  }

 private:
  std::size_t limit_;
  std::size_t discarded_ = 0;
  std::string text_;
};

enum class Drained { kToEnd, kStopped };

// Appends everything readable from `fd` to `output` until end of file, or until `deadline` passes
// or polling fails (kStopped: the child is still to be stopped).
Drained drain(int fd, std::optional<Clock::time_point> deadline, Capture& output) {
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

// Waits until `pid` has ended or `deadline` passed (its output already closed): false when the
// deadline passed first.
bool awaitEnd(pid_t pid, std::optional<Clock::time_point> deadline) {
  if (!deadline) return true;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    siginfo_t info{};
    // WNOWAIT: the child stays to be reaped, and its process group with it.
    int done = retryOnEintr([&] { return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT); });
    if (done != 0 || info.si_pid != 0) return true;  // ended, or not ours to wait for (SIGCHLD ignored)
    if (Clock::now() >= *deadline) return false;
    timespec nap{0, static_cast<long>(std::chrono::nanoseconds(pause).count())};
    (void)::nanosleep(&nap, nullptr);  // an interrupted nap only checks sooner
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

// Reaps `pid` and returns its wait status (-1 when it was not ours to wait for).
int reap(pid_t pid) {
  int status = 0;
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
                 std::optional<Clock::time_point> deadline, Capture& outputText, Capture& errorText) {
  char buffer[16384];
  while (input || output || errors) {
    pollfd entries[3];
    nfds_t count = 0;
    UniqueFd* owners[3] = {nullptr, nullptr, nullptr};
    Capture* sinks[3] = {nullptr, nullptr, nullptr};
    if (input) {
      entries[count] = {input.get(), POLLOUT, 0};
      owners[count++] = &input;
    }
    if (output) {
      entries[count] = {output.get(), POLLIN, 0};
      sinks[count] = &outputText;
      owners[count++] = &output;
    }
    if (errors) {
      entries[count] = {errors.get(), POLLIN, 0};
      sinks[count] = &errorText;
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

namespace {

// Spawns `path` with one pipe as its standard output and standard error: the child, with the pipe's
// read end in `readEnd`, or -1.
pid_t spawnWithOnePipe(const std::string& path, const std::vector<std::string>& arguments, UniqueFd& readEnd) {
  // glibc's posix_spawn reports a failed exec as its own error, but checking first keeps the
  // answer the same on C libraries whose child can only exit 127.
  if (!isExecutableFile(path)) return -1;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
  readEnd = liftAboveStandardStreams(UniqueFd(ends[0]));
  UniqueFd writeEnd = liftAboveStandardStreams(UniqueFd(ends[1]));
  if (!readEnd || !writeEnd) return -1;
  FileActions actions;
  SpawnAttributes attributes;
  if (!actions.configure(writeEnd.get()) || !attributes.configure(/*ownGroup=*/true)) return -1;
  std::vector<char*> argv = argumentVector(path, arguments);
  pid_t pid = -1;
  if (::posix_spawn(&pid, path.c_str(), actions.get(), attributes.get(), argv.data(), environ) != 0) return -1;
  // Only the child may hold the write end (closed on leaving), or the pipe would never reach its end.
  return pid;
}

}  // namespace

PosixProcessRunner::PosixProcessRunner() = default;

PosixProcessRunner::PosixProcessRunner(Options options) : options_(options) {}

PosixProcessRunner::~PosixProcessRunner() { stopAll(); }

// Spawning and counting a child happen under the lock that the searches for orphans take, so
// that a child just started is never taken for one.
pid_t PosixProcessRunner::spawnTracked(const std::function<pid_t()>& spawn) {
  std::lock_guard<std::mutex> lock(mutex_);
  const pid_t pid = spawn();
  if (pid > 0) children_.insert(pid);
  return pid;
}

void PosixProcessRunner::untrack(pid_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  children_.erase(pid);
}

void PosixProcessRunner::killTree(pid_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  killProcessTree(pid, children_);
}

void PosixProcessRunner::reapLeftovers() {
  std::lock_guard<std::mutex> lock(mutex_);
  reapOrphans(children_);
}

std::optional<std::string> PosixProcessRunner::run(const std::string& path,
                                                   const std::vector<std::string>& arguments) {
  UniqueFd readEnd;
  const pid_t pid = spawnTracked([&] { return spawnWithOnePipe(path, arguments, readEnd); });
  if (pid < 0) return std::nullopt;
  std::optional<Clock::time_point> deadline;
  if (options_.timeLimit) deadline = Clock::now() + *options_.timeLimit;

  Capture output(options_.outputLimit);
  bool inTime = drain(readEnd.get(), deadline, output) == Drained::kToEnd;
  // Closed before waiting: a child that still writes then gets EPIPE instead of blocking forever.
  readEnd.reset();
  inTime = inTime && awaitEnd(pid, deadline);
  if (!inTime) killTree(pid);
  (void)reap(pid);  // the exit status is not part of the answer
  untrack(pid);
  if (!inTime) return std::nullopt;
  return output.take();
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

  FileActions actions;
  SpawnAttributes attributes;
  if (!actions.configure(inputChild ? inputChild.get() : -1, outputWrite ? outputWrite.get() : -1,
                         errorsWrite ? errorsWrite.get() : -1) ||
      !attributes.configure(/*ownGroup=*/true)) {
    return std::nullopt;
  }
  std::vector<char*> argv = argumentVector(request.path, request.arguments);
  std::optional<Clock::time_point> deadline;
  if (options_.timeLimit) deadline = Clock::now() + *options_.timeLimit;
  const pid_t pid = spawnTracked([&] {
    pid_t spawned = -1;
    return ::posix_spawn(&spawned, request.path.c_str(), actions.get(), attributes.get(), argv.data(), environ) == 0
               ? spawned
               : -1;
  });
  if (pid < 0) return std::nullopt;
  inputChild.reset();
  outputWrite.reset();
  errorsWrite.reset();

  ProcessResult result;
  Capture outputText(options_.outputLimit);
  Capture errorText(options_.errorLimit);
  std::string_view pending = request.standardInput ? std::string_view(*request.standardInput) : std::string_view();
  if (inputParent && pending.empty()) inputParent.reset();
  bool inTime = exchange(inputParent, pending, outputRead, errorsRead, deadline, outputText, errorText) == Drained::kToEnd;
  inputParent.reset();
  outputRead.reset();
  errorsRead.reset();
  inTime = inTime && awaitEnd(pid, deadline);
  if (!inTime) killTree(pid);
  int status = reap(pid);
  untrack(pid);
  if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.timedOut = !inTime;
  result.standardOutput = outputText.take();
  result.standardError = errorText.take();
  return result;
}

// A child started from the loop: its output read as it comes, its end seen through a pidfd, and
// a timer for its limit. Complete once it has ended and its output has (or the limit passed).
class PosixProcessRunner::Watched {
 public:
  Watched(PosixProcessRunner& runner, pid_t pid, UniqueFd output, UniqueFd pidfd, Completion completion)
      : runner_(runner), pid_(pid), output_(std::move(output)), pidfd_(std::move(pidfd)),
        capture_(runner.options_.outputLimit), completion_(std::move(completion)) {}
  ~Watched() {
    outputSource_ = sd_event_source_disable_unref(outputSource_);
    endSource_ = sd_event_source_disable_unref(endSource_);
    timer_ = sd_event_source_disable_unref(timer_);
  }

  bool watch(sd_event* event) {
    if (::fcntl(output_.get(), F_SETFL, O_NONBLOCK) != 0 ||
        sd_event_add_io(event, &outputSource_, output_.get(), EPOLLIN, &Watched::onOutput, this) < 0 ||
        sd_event_add_io(event, &endSource_, pidfd_.get(), EPOLLIN, &Watched::onEnd, this) < 0) {
      return false;
    }
    if (runner_.options_.timeLimit) {
      const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(*runner_.options_.timeLimit).count();
      if (sd_event_add_time_relative(event, &timer_, CLOCK_MONOTONIC, static_cast<uint64_t>(usec), 10'000,
                                     &Watched::onLimit, this) < 0) {
        return false;
      }
    }
    return true;
  }

  // Kills the child with what it started and reaps it; for a child that is given up.
  void stop() {
    if (!ended_) {
      runner_.killTree(pid_);
      reapNow(/*wait=*/true);
    }
  }

  bool complete() const { return ended_ && (drained_ || timedOut_); }
  void finish() {
    if (completion_) completion_(timedOut_ ? std::nullopt : std::optional<std::string>(capture_.take()));
  }

 private:
  static int onOutput(sd_event_source*, int, uint32_t, void* userdata) {
    auto* self = static_cast<Watched*>(userdata);
    char buffer[16384];
    for (;;) {
      ssize_t count = retryOnEintr([&] { return ::read(self->output_.get(), buffer, sizeof buffer); });
      if (count > 0) {
        self->capture_.append(buffer, static_cast<size_t>(count));
        continue;
      }
      if (count < 0 && errno == EAGAIN) return 0;
      // End of file; a read error ends the output too.
      self->outputSource_ = sd_event_source_disable_unref(self->outputSource_);
      self->output_.reset();
      self->drained_ = true;
      self->runner_.finished(self);
      return 0;
    }
  }
  static int onEnd(sd_event_source*, int, uint32_t, void* userdata) {
    auto* self = static_cast<Watched*>(userdata);
    self->reapNow(/*wait=*/false);
    return 0;
  }
  static int onLimit(sd_event_source*, uint64_t, void* userdata) {
    auto* self = static_cast<Watched*>(userdata);
    self->timedOut_ = true;
    self->timer_ = sd_event_source_disable_unref(self->timer_);
    // The child itself may have ended already, leaving something behind that holds its output.
    self->runner_.killTree(self->pid_);
    if (!self->ended_) self->reapNow(/*wait=*/true);
    self->runner_.finished(self);
    return 0;
  }
  void reapNow(bool wait) {
    siginfo_t info{};
    const int flags = WEXITED | (wait ? 0 : WNOHANG);
    if (retryOnEintr([&] { return ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_.get()), &info, flags); }) < 0 ||
        info.si_pid != 0 || wait) {
      ended_ = true;
      endSource_ = sd_event_source_disable_unref(endSource_);
      runner_.untrack(pid_);
      runner_.reapLeftovers();
      runner_.finished(this);
    }
  }

  PosixProcessRunner& runner_;
  pid_t pid_;
  UniqueFd output_;
  UniqueFd pidfd_;
  Capture capture_;
  Completion completion_;
  sd_event_source* outputSource_ = nullptr;
  sd_event_source* endSource_ = nullptr;
  sd_event_source* timer_ = nullptr;
  bool ended_ = false;
  bool drained_ = false;
  bool timedOut_ = false;
};

void PosixProcessRunner::attach(SdEventRunLoop& loop) { loop_ = &loop; }

void PosixProcessRunner::start(const std::string& path, const std::vector<std::string>& arguments,
                               Completion completion) {
  if (loop_ == nullptr) {
    ProcessRunner::start(path, arguments, std::move(completion));
    return;
  }
  UniqueFd readEnd;
  const pid_t pid = spawnTracked([&] { return spawnWithOnePipe(path, arguments, readEnd); });
  if (pid < 0) {
    loop_->post([completion = std::move(completion)] {
      if (completion) completion(std::nullopt);
    });
    return;
  }
  auto watched = std::make_unique<Watched>(*this, pid, std::move(readEnd), UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))),
                                           std::move(completion));
  if (!watched->watch(loop_->event())) {
    // Nothing can watch it: it may not run unwatched.
    watched->stop();
    return;
  }
  watched_.push_back(std::move(watched));
}

void PosixProcessRunner::finished(Watched* child) {
  if (!child->complete()) return;
  // Called from the child's own event sources: it is destroyed from the queue, after them.
  auto it = std::find_if(watched_.begin(), watched_.end(), [&](const auto& w) { return w.get() == child; });
  if (it == watched_.end()) return;
  std::shared_ptr<Watched> done(std::move(*it));
  watched_.erase(it);
  done->finish();
  loop_->post([done] {});
}

void PosixProcessRunner::stopAll() {
  std::vector<std::unique_ptr<Watched>> children = std::move(watched_);
  watched_.clear();
  for (auto& child : children) child->stop();
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

