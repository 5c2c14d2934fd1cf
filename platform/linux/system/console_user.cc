// The console user on Linux, from logind, utmp or the process's own account (see the header for
// the order). A source belongs to one thread at a time; the process-wide one is used by the main
// thread during start-up.
#include "platform/linux/system/console_user.h"

#include <poll.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <systemd/sd-login.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <thread>

#include "platform/linux/io/eintr.h"
#include "platform/linux/io/file_contents.h"
#include "platform/linux/io/paths.h"
#include "platform/linux/io/text_parsing.h"

namespace trellis::lnx {

namespace {

using Clock = std::chrono::steady_clock;

// Owns a malloc'ed string handed out by sd-login.
std::string takeString(char* text) {
  std::string result = text != nullptr ? text : "";
  std::free(text);
  return result;
}

class SdLoginSessions final : public LoginSessions {
 public:
  int seatCount() override { return sd_get_seats(/*seats=*/nullptr); }

  std::optional<LoginSession> activeSession(const std::string& seat) override {
    char* id = nullptr;
    uid_t uid = 0;
    if (sd_seat_get_active(seat.c_str(), &id, &uid) < 0) return std::nullopt;
    return describe(takeString(id), uid);
  }

  std::vector<LoginSession> sessionsOnSeat(const std::string& seat) override {
    char** ids = nullptr;
    uid_t* uids = nullptr;
    unsigned count = 0;
    std::vector<LoginSession> sessions;
    if (sd_seat_get_sessions(seat.c_str(), &ids, &uids, &count) < 0) return sessions;
    for (unsigned i = 0; ids != nullptr && uids != nullptr && i < count && ids[i] != nullptr; ++i) {
      if (auto session = describe(ids[i], uids[i])) sessions.push_back(std::move(*session));
    }
    for (char** id = ids; id != nullptr && *id != nullptr; ++id) std::free(*id);
    std::free(ids);
    std::free(uids);
    return sessions;
  }

 private:
  // Nothing when the session ended while it was being read.
  static std::optional<LoginSession> describe(std::string id, uid_t uid) {
    char* sessionClass = nullptr;
    char* state = nullptr;
    if (sd_session_get_class(id.c_str(), &sessionClass) < 0) return std::nullopt;
    std::string classText = takeString(sessionClass);
    if (sd_session_get_state(id.c_str(), &state) < 0) return std::nullopt;
    return LoginSession{std::move(id), uid, std::move(classText), takeString(state)};
  }
};

// The account name of `uid`, or the uid in decimal when the account database has none.
std::string userName(uid_t uid) {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int error =
        retryOnEintrError([&] { return getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found); });
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error == 0 && found != nullptr && found->pw_name != nullptr && found->pw_name[0] != '\0') {
      return found->pw_name;
    }
    return std::to_string(uid);
  }
}

// A console line: an X display (":0", ":1.0"), the system console, a Linux virtual terminal
// ("tty1") or a BSD one ("ttyv0"). Pseudo-terminals ("pts/3") and serial lines are remote or
// unattended, not the console.
bool isConsoleLine(std::string_view line) {
  if (line.size() >= 2 && line[0] == ':') return isDigit(line[1]);
  if (line == "console") return true;
  if (line.starts_with("ttyv")) return line.size() > 4;
  if (line.starts_with("tty")) return isDigits(line.substr(3));
  return false;
}

// Fixed-size, possibly unterminated, utmp text field.
template <size_t N>
std::string_view fieldText(const char (&field)[N]) {
  return std::string_view(field, strnlen(field, N));
}

// The first user-process entry on a console line; a trailing partial record is ignored.
std::optional<std::string> consoleUserInUtmp(const std::string& records) {
  for (size_t offset = 0; offset + sizeof(utmp) <= records.size(); offset += sizeof(utmp)) {
    utmp entry;
    std::memcpy(&entry, records.data() + offset, sizeof entry);
    if (entry.ut_type != USER_PROCESS) continue;
    std::string_view user = fieldText(entry.ut_user);
    if (!user.empty() && isConsoleLine(fieldText(entry.ut_line))) return std::string(user);
  }
  return std::nullopt;
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

class LinuxConsoleUserSource final : public ConsoleUserSource {
 public:
  LinuxConsoleUserSource(const std::string& root, std::unique_ptr<LoginSessions> logind)
      : logind_(std::move(logind)) {
    // /run/utmp is the file on current systems (glibc's /var/run/utmp reaches it through the
    // /var/run -> /run link, which an absolute link cannot do under another root); older
    // layouts keep a real /var/run.
    utmpPaths_ = {underRoot(root, "run/utmp"), underRoot(root, "var/run/utmp")};
    seatsFolder_ = underRoot(root, "run/systemd/seats");
  }

  ~LinuxConsoleUserSource() override {
    sd_login_monitor_unref(monitor_);
    if (inotifyFd_ >= 0) ::close(inotifyFd_);
  }

  std::optional<std::string> consoleUser() override {
    int seats = logind_->seatCount();
    if (seats < 0) return std::nullopt;
    if (seats > 0) return fromLogind();
    for (const std::string& path : utmpPaths_) {
      int error = 0;
      std::optional<std::string> records = readWholeFile(path, kNoSizeLimit, FileKind::kAny, &error);
      if (!records && (error == ENOENT || error == ENOTDIR)) continue;
      if (!records) return std::nullopt;
      return consoleUserInUtmp(*records);
    }
    return userName(::geteuid());
  }

  void waitForChange(std::chrono::milliseconds limit) override {
    using std::chrono::milliseconds;
    limit = std::clamp<milliseconds>(limit, milliseconds(0), std::chrono::hours(24));
    Clock::time_point deadline = Clock::now() + limit;
    std::vector<pollfd> watched;
    if (watchLogind()) {
      watched.push_back({sd_login_monitor_get_fd(monitor_),
                         static_cast<short>(sd_login_monitor_get_events(monitor_)), 0});
      deadline = std::min(deadline, monitorDeadline());
    }
    if (watchUtmp()) watched.push_back({inotifyFd_, POLLIN, 0});

    // With nothing to watch, poll just sleeps until the deadline.
    int ready = retryOnEintr([&] {
      long long left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
      return ::poll(watched.data(), watched.size(),
                    static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
    });
    if (ready < 0) {
      std::this_thread::sleep_until(deadline);
      return;
    }
    for (const pollfd& entry : watched) {
      if (entry.revents == 0) continue;
      if (monitor_ != nullptr && entry.fd == sd_login_monitor_get_fd(monitor_)) {
        // A monitor that cannot be flushed would stay readable and turn the wait into a spin:
        // drop it; the next wait opens a new one.
        if (sd_login_monitor_flush(monitor_) < 0) monitor_ = sd_login_monitor_unref(monitor_);
      } else if (entry.fd == inotifyFd_) {
        drainInotify();
      }
    }
  }

 private:
  std::optional<std::string> fromLogind() {
    std::optional<LoginSession> active = logind_->activeSession("seat0");
    if (!active) return std::nullopt;
    if (active->sessionClass == "greeter") return "loginWindow";
    if (active->sessionClass == "lock-screen") return lockedUser(*active);
    return userName(active->uid);
  }

  // The user whose desktop the active lock-screen session locks.
  std::optional<std::string> lockedUser(const LoginSession& locker) {
    std::vector<LoginSession> sessions = logind_->sessionsOnSeat("seat0");
    auto candidate = [&](const LoginSession& s) {
      return s.id != locker.id && s.sessionClass == "user" && s.state != "closing";
    };
    auto own = std::find_if(sessions.begin(), sessions.end(), [&](const LoginSession& s) {
      return candidate(s) && s.uid == locker.uid;
    });
    if (own != sessions.end()) return userName(own->uid);
    auto first = std::find_if(sessions.begin(), sessions.end(), candidate);
    if (first != sessions.end()) return userName(first->uid);
    return "loginWindow";
  }

  // Opens the sd-login monitor on first use. sd-login reads the running system's /run, so the
  // monitor is only used when this source's root has logind's seats folder.
  bool watchLogind() {
    if (monitor_ != nullptr) return true;
    if (!isDirectory(seatsFolder_)) return false;
    // "seat": logind rewrites a seat's file when its sessions or its active session change.
    if (sd_login_monitor_new("seat", &monitor_) < 0) monitor_ = nullptr;
    return monitor_ != nullptr;
  }

  // When the monitor wants to be asked again, as a steady-clock time (it answers in
  // CLOCK_MONOTONIC microseconds, or UINT64_MAX for never).
  Clock::time_point monitorDeadline() {
    uint64_t due = 0;
    if (sd_login_monitor_get_timeout(monitor_, &due) < 0 || due == UINT64_MAX) {
      return Clock::time_point::max();
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t nowUsec =
        static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
    uint64_t left = due > nowUsec ? due - nowUsec : 0;
    if (left > 24ull * 3600 * 1000000) return Clock::time_point::max();
    return Clock::now() + std::chrono::microseconds(left);
  }

  // Watches the utmp file that exists, if any. Adding a watch is repeated on every wait: it is
  // the same watch while the file stays, and a new one when the file was replaced.
  bool watchUtmp() {
    for (const std::string& path : utmpPaths_) {
      if (::access(path.c_str(), F_OK) != 0) continue;
      if (inotifyFd_ < 0) inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (inotifyFd_ < 0) return false;
      const uint32_t events = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
      return ::inotify_add_watch(inotifyFd_, path.c_str(), events) >= 0;
    }
    return false;
  }

  void drainInotify() {
    alignas(inotify_event) char events[4096];
    // Reads until empty (EAGAIN) or broken; either way nothing is left to read.
    while (retryOnEintr([&] { return ::read(inotifyFd_, events, sizeof events); }) > 0) {
    }
  }

  std::unique_ptr<LoginSessions> logind_;
  std::vector<std::string> utmpPaths_;
  std::string seatsFolder_;
  sd_login_monitor* monitor_ = nullptr;
  int inotifyFd_ = -1;
};

}  // namespace

std::unique_ptr<LoginSessions> makeSdLoginSessions() { return std::make_unique<SdLoginSessions>(); }

std::unique_ptr<ConsoleUserSource> makeConsoleUserSource(const std::string& root,
                                                         std::unique_ptr<LoginSessions> logind) {
  return std::make_unique<LinuxConsoleUserSource>(root, std::move(logind));
}

std::unique_ptr<ConsoleUserSource> makeConsoleUserSource(const std::string& root) {
  return makeConsoleUserSource(root, makeSdLoginSessions());
}

}  // namespace trellis::lnx

