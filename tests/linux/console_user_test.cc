// The console-user probe and the start-up wait: the Linux source's answers from logind (through a
// fake), utmp files written into a temporary root, and the process's own account, and the core's
// filtering and waiting over a scripted source. Single-threaded except where a test writes a file
// from a second thread to wake a wait.
#include "base/console_user.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/linux/system/console_user.h"
#include "support/temp_tree.h"

namespace trellis {
namespace {

using lnx::LoginSession;
using std::chrono::milliseconds;
using Answer = std::optional<std::string>;

// uids that no account database on a test machine names.
constexpr uid_t kNameless = 4000000001u;
constexpr uid_t kOtherNameless = 4000000002u;

class FakeLoginSessions final : public lnx::LoginSessions {
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
std::string userOn(const std::string& line, const std::string& user) { return utmpRecord(USER_PROCESS, line, user); }

double secondsTaken(const std::function<void()>& action) {
  auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class ConsoleUserLinuxTest : public ::testing::Test {
 protected:
  // A source over `rootPath` (the tree by default) whose logind answers as `script` says.
  std::unique_ptr<ConsoleUserSource> makeSource(std::string rootPath = "") {
    auto fake = std::make_unique<FakeLoginSessions>(script);
    logind = fake.get();
    return lnx::makeConsoleUserSource(rootPath.empty() ? tree.root() : rootPath, std::move(fake));
  }
  // A new source's answer; the source (and so `logind`) stays alive until the next one.
  Answer answer() {
    last = makeSource();
    return last->consoleUser();
  }

  testing::TempTree tree;
  FakeLoginSessions script;
  FakeLoginSessions* logind = nullptr;
  std::unique_ptr<ConsoleUserSource> last;
};

TEST_F(ConsoleUserLinuxTest, LogindDecidesAloneWhenItKnowsASeat) {
  tree.write("run/utmp", userOn("tty1", "alice"));  // must not stand in for logind's answer
  const LoginSession locker{"l1", kNameless, "lock-screen", "active"};
  const LoginSession closingRoot{"c0", 0, "user", "closing"};
  const LoginSession greeter{"g1", 0, "greeter", "online"};
  const LoginSession other{"c2", kOtherNameless, "user", "online"};
  const LoginSession lockersOwn{"c3", kNameless, "user", "online"};
  // Seats (negative: the query failed), the active session on seat0, the sessions on it, answer.
  const std::tuple<const char*, int, std::optional<LoginSession>, std::vector<LoginSession>, Answer> rows[] = {
      {"a greeter: the login window", 1, LoginSession{"c1", 0, "greeter", "active"}, {}, "loginWindow"},
      {"a user session: its user's name", 1, LoginSession{"2", 0, "user", "active"}, {}, "root"},
      {"an unnamed user: the uid", 1, LoginSession{"3", kNameless, "user", "active"}, {}, std::to_string(kNameless)},
      {"no active session", 1, std::nullopt, {}, std::nullopt},
      {"the seat query failed", -12, LoginSession{"2", 0, "user", "active"}, {}, std::nullopt},
      {"a lock screen over its own user",
       1,
       locker,
       {locker, closingRoot, greeter, other, lockersOwn},
       std::to_string(kNameless)},
      // A locker running as another account (a display manager's): the first live user session,
      // not a closing one and not the greeter.
      {"a lock screen of another account",
       1,
       locker,
       {locker, closingRoot, greeter, other},
       std::to_string(kOtherNameless)},
      {"a lock screen over nobody", 1, locker, {locker, closingRoot, greeter}, "loginWindow"},
      {"a lock screen alone", 1, locker, {}, "loginWindow"},
  };
  for (const auto& [name, seats, active, onSeat, expected] : rows) {
    script.seats = seats;
    script.active = active;
    script.onSeat = onSeat;
    EXPECT_EQ(answer(), expected) << name;
  }
  script = {};
  script.active = LoginSession{"c1", 0, "greeter", "active"};
  auto source = makeSource();
  EXPECT_EQ(currentConsoleUser(*source), std::nullopt);
  EXPECT_EQ(logind->seatsAsked, std::vector<std::string>{"seat0"});
}

TEST_F(ConsoleUserLinuxTest, WithoutLogindTheFirstUserOnAConsoleLineOfUtmp) {
  script.seats = 0;
  const std::string longName(sizeof(utmp{}.ut_user), 'n');
  // The run/utmp file (nothing: none), the answer.
  const std::pair<std::optional<std::string>, Answer> files[] = {
      {utmpRecord(BOOT_TIME, "~", "reboot") + utmpRecord(DEAD_PROCESS, "tty1", "ghost") +
           utmpRecord(LOGIN_PROCESS, "tty2", "LOGIN") + userOn("pts/0", "remote") + userOn("tty3", "") +
           userOn("tty4", "alice") + userOn(":0", "bob"),
       "alice"},
      {userOn("tty7", longName), longName},  // fields that fill their whole width
      {"", std::nullopt},
      {userOn("pts/2", "remote"), std::nullopt},
      {std::nullopt, ownUserName()},  // neither logind nor utmp: this process's own user
  };
  for (const auto& [file, expected] : files) {
    if (file) tree.write("run/utmp", *file);
    if (!file) std::filesystem::remove(tree.path("run/utmp"));
    EXPECT_EQ(answer(), expected);
  }
  EXPECT_TRUE(logind->seatsAsked.empty());

  const std::pair<const char*, bool> lines[] = {
      {":0", true},     {":1.0", true},   {"console", true}, {"tty1", true}, {"tty63", true},     {"ttyv0", true},
      {"ttyva", true},  {"pts/3", false}, {"pts/0", false},  {"tty", false}, {"ttyS0", false},    {"tty1a", false},
      {"ttyp1", false}, {":", false},     {":x", false},     {"", false},    {"consoles", false},
  };
  for (const auto& [line, console] : lines) {
    tree.write("run/utmp", userOn(line, "carol"));
    EXPECT_EQ(answer(), console ? Answer("carol") : std::nullopt) << line;
  }

  // A trailing partial record is ignored.
  const std::string dave = userOn("tty1", "dave");
  for (std::size_t cut = 0; cut < dave.size(); cut += 47) {
    tree.write("run/utmp", userOn("pts/1", "remote") + dave.substr(0, cut));
    EXPECT_EQ(answer(), std::nullopt) << cut;
    tree.write("run/utmp", userOn("tty2", "erin") + dave.substr(0, cut));
    EXPECT_EQ(answer(), "erin") << cut;
  }
}

TEST_F(ConsoleUserLinuxTest, UtmpLocations) {
  script.seats = 0;
  tree.write("run/utmp/unreadable", "");  // opens, but cannot be read: nobody, not the own user
  EXPECT_EQ(answer(), std::nullopt);
  std::filesystem::remove_all(tree.path("run"));
  tree.write("var/run/utmp", userOn("tty1", "frank"));  // the older layout with a real /var/run
  EXPECT_EQ(answer(), "frank");
  tree.write("run/utmp", userOn("tty1", "grace"));  // /run/utmp wins when both are there
  EXPECT_EQ(answer(), "grace");
  EXPECT_EQ(makeSource(tree.root() + "/")->consoleUser(), "grace");
}

TEST_F(ConsoleUserLinuxTest, WaitsLastTheLimitUnlessUtmpIsWritten) {
  auto source = makeSource();  // the tree has no seats folder and no utmp: a plain sleep
  double taken = secondsTaken([&] { source->waitForChange(milliseconds(50)); });
  EXPECT_GE(taken, 0.040);
  EXPECT_LT(taken, 5.0);

  script.seats = 0;
  tree.write("run/utmp", userOn("pts/0", "remote"));
  source = makeSource();
  EXPECT_GE(secondsTaken([&] { source->waitForChange(milliseconds(50)); }), 0.040);
  std::thread writer([&] {
    std::this_thread::sleep_for(milliseconds(100));
    std::ofstream(tree.path("run/utmp"), std::ios::binary | std::ios::app) << userOn("tty1", "heidi");
  });
  const double woken = secondsTaken([&] { source->waitForChange(milliseconds(20000)); });
  writer.join();
  EXPECT_LT(woken, 10.0);
  EXPECT_EQ(source->consoleUser(), "heidi");
}

TEST(ConsoleUserPlatformTest, ThisMachineAnswersAsItsSourcesSay) {
  // The real source over "/": with no logind seat and no utmp file, this process's own user.
  if (lnx::makeSdLoginSessions()->seatCount() != 0 || access("/run/utmp", F_OK) == 0 ||
      access("/var/run/utmp", F_OK) == 0) {
    GTEST_SKIP() << "this machine has logind seats or a utmp file";
  }
  EXPECT_EQ(lnx::makeConsoleUserSource("/")->consoleUser(), ownUserName());
}

TEST(ConsoleUserPlatformTest, WaitOnAQuietLogindLastsTheLimit) {
  if (access("/run/systemd/seats", F_OK) != 0) GTEST_SKIP() << "no logind seats folder";
  auto source = lnx::makeConsoleUserSource("/");
  for (int i = 0; i < 3; ++i) {
    // A change on the seat may end a wait early, but not every one of three in a row.
    if (secondsTaken([&] { source->waitForChange(milliseconds(50)); }) >= 0.040) return;
  }
  ADD_FAILURE() << "three 50 ms waits on logind all ended early";
}

// Answers from a script, then repeats its last answer; counts probes and waits.
class ScriptedSource final : public ConsoleUserSource {
 public:
  explicit ScriptedSource(std::deque<Answer> answers) : answers_(std::move(answers)) {}
  Answer consoleUser() override {
    ++probes;
    Answer next = answers_.front();
    if (answers_.size() > 1) answers_.pop_front();
    return next;
  }
  void waitForChange(milliseconds limit) override {
    waitLimits.push_back(limit);
    if (waitLimits.size() > 100) std::abort();  // the wait would never end
  }

  int probes = 0;
  std::vector<milliseconds> waitLimits;

 private:
  std::deque<Answer> answers_;
};

TEST(ConsoleUserTest, CurrentConsoleUserHidesOnlyTheExactLoginWindowName) {
  for (const Answer& name : {Answer("LoginWindow"), Answer("loginwindow"), Answer("loginWindow "), Answer("alice")}) {
    ScriptedSource source({name});
    EXPECT_EQ(currentConsoleUser(source), name);
  }
  for (const Answer& nobody : {Answer("loginWindow"), Answer()}) {
    ScriptedSource source({nobody});
    EXPECT_EQ(currentConsoleUser(source), std::nullopt);
  }
}

TEST(ConsoleUserTest, TheWaitProbesAgainAfterEachChangeUntilSomebodyIsThere) {
  // The login window counts as nobody; each wait is limited to a second.
  const std::pair<std::deque<Answer>, int> rows[] = {
      {{"alice"}, 1}, {{std::nullopt, std::nullopt, "alice"}, 3}, {{"loginWindow", "loginWindow", "LoginWindow"}, 3}};
  for (const auto& [answers, probes] : rows) {
    ScriptedSource source(answers);
    waitForConsoleUser(source);
    EXPECT_EQ(source.probes, probes);
    EXPECT_EQ(source.waitLimits, std::vector<milliseconds>(static_cast<std::size_t>(probes - 1), milliseconds(1000)));
  }
}

}  // namespace
}  // namespace trellis
