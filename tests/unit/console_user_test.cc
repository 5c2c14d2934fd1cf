// Tests of the console-user probe and the start-up wait: the Linux source's answers from logind
// (through a fake), utmp files written into a temporary root, and the process's own account, and
// the core's filtering and waiting over a scripted source. Single-threaded except where a test
// writes a file from a second thread to wake a wait.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "app/console_user.h"
#include "platform/linux/console_user_linux.h"

namespace trellis {
namespace {

using linux::LoginSession;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

// uids that no account database on a test machine names.
constexpr uid_t kNamelessUid = 4000000001u;
constexpr uid_t kOtherNamelessUid = 4000000002u;

class FakeLoginSessions final : public linux::LoginSessions {
 public:
  int seats = 1;
  std::optional<LoginSession> active;
  std::vector<LoginSession> onSeat;
  std::vector<std::string> seatsAsked;

  int seatCount() override { return seats; }
  std::optional<LoginSession> activeSession(const std::string& seat) override {
    seatsAsked.push_back(seat);
    return seat == "seat0" ? active : std::nullopt;
  }
  std::vector<LoginSession> sessionsOnSeat(const std::string& seat) override {
    return seat == "seat0" ? onSeat : std::vector<LoginSession>{};
  }
};

std::string ownUserName() {
  passwd* entry = getpwuid(geteuid());
  return entry != nullptr ? entry->pw_name : std::to_string(geteuid());
}

// One utmp record; `user` and `line` may fill their fields completely (no terminating NUL).
std::string utmpRecord(short type, const std::string& line, const std::string& user) {
  utmp entry;
  std::memset(&entry, 0, sizeof entry);
  entry.ut_type = type;
  entry.ut_pid = 4242;
  std::memcpy(entry.ut_line, line.data(), std::min(line.size(), sizeof entry.ut_line));
  std::memcpy(entry.ut_user, user.data(), std::min(user.size(), sizeof entry.ut_user));
  return std::string(reinterpret_cast<const char*>(&entry), sizeof entry);
}

// A temporary root folder, removed with everything in it.
class TempRoot {
 public:
  TempRoot() {
    std::string pattern = (fs::temp_directory_path() / "trellis-console-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
  }
  ~TempRoot() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

  void write(const std::string& relative, const std::string& content) const {
    fs::path file = fs::path(path_) / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
  }

 private:
  std::string path_;
};

class ConsoleUserLinuxTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(root.path().empty()); }

  // A source over `root` with a fake logind; the fake stays reachable through `logind`.
  std::unique_ptr<ConsoleUserSource> makeSource(std::string rootPath = "") {
    auto fake = std::make_unique<FakeLoginSessions>();
    logind = fake.get();
    *logind = script;
    return linux::makeConsoleUserSource(rootPath.empty() ? root.path() : rootPath, std::move(fake));
  }

  // A new source's answer; the source (and so `logind`) stays alive until the next one.
  std::optional<std::string> answer() {
    last = makeSource();
    return last->consoleUser();
  }

  TempRoot root;
  FakeLoginSessions script;  // what the next source's logind answers
  FakeLoginSessions* logind = nullptr;
  std::unique_ptr<ConsoleUserSource> last;
};

// --- logind ---

TEST_F(ConsoleUserLinuxTest, GreeterOnSeat0IsTheLoginWindow) {
  script.active = LoginSession{"c1", 0, "greeter", "active"};
  auto source = makeSource();
  EXPECT_EQ(source->consoleUser(), "loginWindow");
  EXPECT_EQ(logind->seatsAsked, std::vector<std::string>{"seat0"});
  EXPECT_EQ(currentConsoleUser(*source), std::nullopt);
}

TEST_F(ConsoleUserLinuxTest, UserSessionOnSeat0AnswersItsUserNameOrUid) {
  script.active = LoginSession{"2", 0, "user", "active"};
  EXPECT_EQ(answer(), "root");

  script.active = LoginSession{"3", kNamelessUid, "user", "active"};
  EXPECT_EQ(answer(), std::to_string(kNamelessUid));
}

TEST_F(ConsoleUserLinuxTest, LogindDecidesAloneWhenItKnowsASeat) {
  // A utmp console entry must not stand in for logind's answer.
  root.write("run/utmp", utmpRecord(USER_PROCESS, "tty1", "alice"));

  script.active = std::nullopt;  // no active session on seat0
  EXPECT_EQ(answer(), std::nullopt);

  script.seats = -12;  // the seat query failed
  script.active = LoginSession{"2", 0, "user", "active"};
  EXPECT_EQ(answer(), std::nullopt);
}

TEST_F(ConsoleUserLinuxTest, LockScreenAnswersTheUserWhoseDesktopIsLocked) {
  LoginSession locker{"l1", kNamelessUid, "lock-screen", "active"};
  LoginSession closingRoot{"c0", 0, "user", "closing"};
  LoginSession greeter{"g1", 0, "greeter", "online"};
  LoginSession other{"c2", kOtherNamelessUid, "user", "online"};
  LoginSession lockersOwn{"c3", kNamelessUid, "user", "online"};
  script.active = locker;

  // The locker's own user has a session: that user.
  script.onSeat = {locker, closingRoot, greeter, other, lockersOwn};
  EXPECT_EQ(answer(), std::to_string(kNamelessUid));

  // A locker running as another account (a display manager's): the first live user session,
  // not a closing one and not the greeter.
  script.onSeat = {locker, closingRoot, greeter, other};
  EXPECT_EQ(answer(), std::to_string(kOtherNamelessUid));

  // Nobody behind the lock: a login screen.
  script.onSeat = {locker, closingRoot, greeter};
  EXPECT_EQ(answer(), "loginWindow");
  script.onSeat = {};
  EXPECT_EQ(answer(), "loginWindow");
}

// --- utmp ---

TEST_F(ConsoleUserLinuxTest, UtmpFirstUserProcessOnAConsoleLine) {
  script.seats = 0;
  root.write("run/utmp", utmpRecord(BOOT_TIME, "~", "reboot") +
                             utmpRecord(DEAD_PROCESS, "tty1", "ghost") +
                             utmpRecord(LOGIN_PROCESS, "tty2", "LOGIN") +
                             utmpRecord(USER_PROCESS, "pts/0", "remote") +
                             utmpRecord(USER_PROCESS, "tty3", "") +
                             utmpRecord(USER_PROCESS, "tty4", "alice") +
                             utmpRecord(USER_PROCESS, ":0", "bob"));
  EXPECT_EQ(answer(), "alice");
}

TEST_F(ConsoleUserLinuxTest, UtmpConsoleLines) {
  script.seats = 0;
  struct Case {
    const char* line;
    bool console;
  };
  const Case cases[] = {
      {":0", true},      {":1.0", true},    {"console", true}, {"tty1", true},
      {"tty63", true},   {"ttyv0", true},   {"ttyva", true},   {"pts/3", false},
      {"pts/0", false},  {"tty", false},    {"ttyS0", false},  {"tty1a", false},
      {"ttyp1", false},  {":", false},      {":x", false},     {"", false},
      {"consoles", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    root.write("run/utmp", utmpRecord(USER_PROCESS, c.line, "carol"));
    EXPECT_EQ(answer(), c.console ? std::optional<std::string>("carol") : std::nullopt);
  }
}

TEST_F(ConsoleUserLinuxTest, UtmpFieldsThatFillTheirWholeWidth) {
  script.seats = 0;
  const std::string longName(sizeof(utmp{}.ut_user), 'n');
  root.write("run/utmp", utmpRecord(USER_PROCESS, "tty7", longName));
  EXPECT_EQ(answer(), longName);
}

TEST_F(ConsoleUserLinuxTest, UtmpIgnoresATrailingPartialRecord) {
  script.seats = 0;
  const std::string dave = utmpRecord(USER_PROCESS, "tty1", "dave");
  const std::string erin = utmpRecord(USER_PROCESS, "tty2", "erin");
  const std::string remote = utmpRecord(USER_PROCESS, "pts/1", "remote");
  for (size_t cut = 0; cut < dave.size(); cut += 47) {
    SCOPED_TRACE(cut);
    root.write("run/utmp", remote + dave.substr(0, cut));
    EXPECT_EQ(answer(), std::nullopt);
    root.write("run/utmp", erin + dave.substr(0, cut));
    EXPECT_EQ(answer(), "erin");
  }
}

TEST_F(ConsoleUserLinuxTest, UtmpWithoutAConsoleUserMeansNobody) {
  script.seats = 0;
  root.write("run/utmp", "");
  EXPECT_EQ(answer(), std::nullopt);

  root.write("run/utmp", utmpRecord(USER_PROCESS, "pts/2", "remote"));
  EXPECT_EQ(answer(), std::nullopt);
}

TEST_F(ConsoleUserLinuxTest, UnreadableUtmpMeansNobodyNotTheOwnUser) {
  script.seats = 0;
  fs::create_directories(fs::path(root.path()) / "run" / "utmp");  // opens, but cannot be read
  EXPECT_EQ(answer(), std::nullopt);
}

TEST_F(ConsoleUserLinuxTest, UtmpLocations) {
  script.seats = 0;
  // The older layout with a real /var/run.
  root.write("var/run/utmp", utmpRecord(USER_PROCESS, "tty1", "frank"));
  EXPECT_EQ(answer(), "frank");
  // /run/utmp is the file when both are there.
  root.write("run/utmp", utmpRecord(USER_PROCESS, "tty1", "grace"));
  EXPECT_EQ(answer(), "grace");
  // A root written with a trailing slash.
  EXPECT_EQ(makeSource(root.path() + "/")->consoleUser(), "grace");
}

// --- neither ---

TEST_F(ConsoleUserLinuxTest, WithoutLogindOrUtmpTheOwnUser) {
  script.seats = 0;
  EXPECT_EQ(answer(), ownUserName());
  EXPECT_TRUE(logind->seatsAsked.empty());
}

TEST(ConsoleUserPlatformTest, ThisMachineAnswersAsItsSourcesSay) {
  // The real source over "/": on a machine (or container) with no logind seat and no utmp file
  // the answer is this process's own user.
  if (linux::makeSdLoginSessions()->seatCount() != 0 || access("/run/utmp", F_OK) == 0 ||
      access("/var/run/utmp", F_OK) == 0) {
    GTEST_SKIP() << "this machine has logind seats or a utmp file";
  }
  EXPECT_EQ(platformConsoleUserSource().consoleUser(), ownUserName());
  EXPECT_EQ(&platformConsoleUserSource(), &platformConsoleUserSource());
}

// --- waiting for a change ---

double secondsTaken(const std::function<void()>& action) {
  auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(ConsoleUserLinuxTest, WaitWithNothingToWatchSleepsForTheLimit) {
  auto source = makeSource();  // the temporary root has no seats folder and no utmp
  double taken = secondsTaken([&] { source->waitForChange(milliseconds(50)); });
  EXPECT_GE(taken, 0.040);
  EXPECT_LT(taken, 5.0);
}

TEST_F(ConsoleUserLinuxTest, WaitOnAQuietUtmpLastsTheLimitAndAWriteEndsItEarly) {
  script.seats = 0;
  root.write("run/utmp", utmpRecord(USER_PROCESS, "pts/0", "remote"));
  auto source = makeSource();

  double quiet = secondsTaken([&] { source->waitForChange(milliseconds(50)); });
  EXPECT_GE(quiet, 0.040);

  std::thread writer([&] {
    std::this_thread::sleep_for(milliseconds(100));
    std::ofstream(fs::path(root.path()) / "run" / "utmp", std::ios::binary | std::ios::app)
        << utmpRecord(USER_PROCESS, "tty1", "heidi");
  });
  double woken = secondsTaken([&] { source->waitForChange(milliseconds(20000)); });
  writer.join();
  EXPECT_LT(woken, 10.0);
  EXPECT_EQ(source->consoleUser(), "heidi");
}

TEST(ConsoleUserPlatformTest, WaitOnAQuietLogindLastsTheLimit) {
  if (access("/run/systemd/seats", F_OK) != 0) GTEST_SKIP() << "no logind seats folder";
  auto source = linux::makeConsoleUserSource("/");
  for (int i = 0; i < 3; ++i) {
    double taken = secondsTaken([&] { source->waitForChange(milliseconds(50)); });
    // A change on the seat may end a wait early, but not every one of three in a row.
    if (taken >= 0.040) return;
  }
  ADD_FAILURE() << "three 50 ms waits on logind all ended early";
}

// --- the core's filtering and waiting ---

// Answers from a script, then repeats its last answer; counts probes and waits.
class ScriptedSource final : public ConsoleUserSource {
 public:
  explicit ScriptedSource(std::deque<std::optional<std::string>> answers)
      : answers_(std::move(answers)) {}

  std::optional<std::string> consoleUser() override {
    ++probes;
    if (answers_.size() > 1) {
      auto next = answers_.front();
      answers_.pop_front();
      return next;
    }
    return answers_.front();
  }
  void waitForChange(milliseconds limit) override {
    ++waits;
    waitLimits.push_back(limit);
    if (waits > 100) std::abort();  // the wait would never end
  }

  int probes = 0;
  int waits = 0;
  std::vector<milliseconds> waitLimits;

 private:
  std::deque<std::optional<std::string>> answers_;
};

TEST(ConsoleUserTest, CurrentConsoleUserHidesOnlyTheExactLoginWindowName) {
  auto current = [](std::optional<std::string> answer) {
    ScriptedSource source({std::move(answer)});
    return currentConsoleUser(source);
  };
  EXPECT_EQ(current("loginWindow"), std::nullopt);
  EXPECT_EQ(current(std::nullopt), std::nullopt);
  EXPECT_EQ(current("LoginWindow"), "LoginWindow");
  EXPECT_EQ(current("loginwindow"), "loginwindow");
  EXPECT_EQ(current("loginWindow "), "loginWindow ");
  EXPECT_EQ(current("alice"), "alice");
}

TEST(ConsoleUserTest, WaitReturnsAfterOneProbeWhenSomebodyIsThere) {
  ScriptedSource source({"alice"});
  waitForConsoleUser(source);
  EXPECT_EQ(source.probes, 1);
  EXPECT_EQ(source.waits, 0);
}

TEST(ConsoleUserTest, WaitProbesAgainAfterEachChangeUntilSomebodyIsThere) {
  ScriptedSource source({std::nullopt, std::nullopt, "alice"});
  waitForConsoleUser(source);
  EXPECT_EQ(source.probes, 3);
  EXPECT_EQ(source.waits, 2);
  EXPECT_EQ(source.waitLimits, (std::vector<milliseconds>{milliseconds(1000), milliseconds(1000)}));
}

TEST(ConsoleUserTest, WaitTreatsTheLoginWindowAsNobody) {
  ScriptedSource source({"loginWindow", "loginWindow", "LoginWindow"});
  waitForConsoleUser(source);
  EXPECT_EQ(source.probes, 3);
  EXPECT_EQ(source.waits, 2);
}

}  // namespace
}  // namespace trellis
