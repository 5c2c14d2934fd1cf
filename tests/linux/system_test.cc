// The console-user probe and start-up wait, the sd-event run loop (order across threads, timer
// rhythm, pausing, SIGTERM), and the io/ helpers (signals, size caps, file kinds, re-reads).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmp.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <tuple>

#include "base/console_user.h"
#include "platform/linux/io/errno_text.h"
#include "platform/linux/io/file_contents.h"
#include "platform/linux/system/console_user.h"
#include "platform/linux/system/run_loop.h"
#include "support/temp_tree.h"

namespace trellis {
namespace {

using namespace std::chrono;

using lnx::LoginSession;
using Answer = std::optional<std::string>;

// uids that no account database on a test machine names.
constexpr uid_t kNameless = 4000000001u, kOtherNameless = 4000000002u;

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
  std::memcpy(entry.ut_line, line.data(), std::min(line.size(), sizeof entry.ut_line));
  std::memcpy(entry.ut_user, user.data(), std::min(user.size(), sizeof entry.ut_user));
  return std::string(reinterpret_cast<const char*>(&entry), sizeof entry);
}
std::string userOn(const std::string& line, const std::string& user) { return utmpRecord(USER_PROCESS, line, user); }

double secondsTaken(const std::function<void()>& action) {
  const auto start = std::chrono::steady_clock::now();
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
  const LoginSession locker{"l1", kNameless, "lock-screen", "active"}, closingRoot{"c0", 0, "user", "closing"},
      greeter{"g1", 0, "greeter", "online"}, other{"c2", kOtherNameless, "user", "online"},
      lockersOwn{"c3", kNameless, "user", "online"};
  // Seats (negative: the query failed), the active session on seat0, the sessions on it, answer.
  const std::tuple<const char*, int, std::optional<LoginSession>, std::vector<LoginSession>, Answer> rows[] = {
      {"a greeter: the login window", 1, LoginSession{"c1", 0, "greeter", "active"}, {}, "loginWindow"},
      {"a user session: its user's name", 1, LoginSession{"2", 0, "user", "active"}, {}, "root"},
      {"an unnamed user: the uid", 1, LoginSession{"3", kNameless, "user", "active"}, {}, std::to_string(kNameless)},
      {"no active session", 1, std::nullopt, {}, std::nullopt},
      {"the seat query failed", -12, LoginSession{"2", 0, "user", "active"}, {}, std::nullopt},
      {"a lock screen over its own user", 1, locker, {locker, closingRoot, greeter, other, lockersOwn},
       std::to_string(kNameless)},
      // A locker running as another account (a display manager's): the first live user session,
      // not a closing one and not the greeter.
      {"a lock screen of another account", 1, locker, {locker, closingRoot, greeter, other},
       std::to_string(kOtherNameless)},
      {"a lock screen over nobody", 1, locker, {locker, closingRoot, greeter}, "loginWindow"},
  };
  for (const auto& [name, seats, active, onSeat, expected] : rows) {
    script.seats = seats;
    script.active = active;
    script.onSeat = onSeat;
    EXPECT_EQ(answer(), expected) << name;
  }
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
      {std::nullopt, ownUserName()},  // neither logind nor utmp: this process's own user
  };
  for (const auto& [file, expected] : files) {
    file ? (void)tree.write("run/utmp", *file) : (void)std::filesystem::remove(tree.path("run/utmp"));
    EXPECT_EQ(answer(), expected);
  }
  EXPECT_TRUE(logind->seatsAsked.empty());

  const std::pair<const char*, bool> lines[] = {
      {":0", true},     {":1.0", true},   {"console", true}, {"tty1", true}, {"tty63", true},  {"ttyv0", true},
      {"ttyva", true},  {"pts/3", false}, {"tty", false},    {"ttyS0", false}, {"tty1a", false}, {"ttyp1", false},
      {":", false},     {":x", false},    {"", false},       {"consoles", false},
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
  EXPECT_EQ(makeSource(tree.root() + "/")->consoleUser(), "grace");
}

TEST_F(ConsoleUserLinuxTest, WaitsLastTheLimitUnlessUtmpIsWritten) {
  auto source = makeSource();  // the tree has no seats folder and no utmp: a plain sleep
  EXPECT_GE(secondsTaken([&] { source->waitForChange(milliseconds(50)); }), 0.040);

  script.seats = 0;
  tree.write("run/utmp", userOn("pts/0", "remote"));
  source = makeSource();
  EXPECT_GE(secondsTaken([&] { source->waitForChange(milliseconds(50)); }), 0.040);
  std::thread writer([&] {
    std::this_thread::sleep_for(milliseconds(100));
    std::ofstream(tree.path("run/utmp"), std::ios::binary | std::ios::app) << userOn("tty1", "heidi");
  });
  EXPECT_LT(secondsTaken([&] { source->waitForChange(milliseconds(20000)); }), 10.0);
  writer.join();
  EXPECT_EQ(source->consoleUser(), "heidi");
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

TEST(ConsoleUserTest, OnlyTheExactLoginWindowNameIsNobodyAndTheWaitProbesAfterEachChange) {
  for (const Answer& name : {Answer("LoginWindow"), Answer("loginwindow"), Answer("loginWindow "), Answer("alice")}) {
    ScriptedSource source({name});
    EXPECT_EQ(currentConsoleUser(source), name);
  }
  for (const Answer& nobody : {Answer("loginWindow"), Answer()}) {
    ScriptedSource source({nobody});
    EXPECT_EQ(currentConsoleUser(source), std::nullopt);
  }
  // Each wait is limited to a second.
  const std::pair<std::deque<Answer>, int> rows[] = {
      {{"alice"}, 1}, {{std::nullopt, std::nullopt, "alice"}, 3}, {{"loginWindow", "loginWindow", "LoginWindow"}, 3}};
  for (const auto& [answers, probes] : rows) {
    ScriptedSource source(answers);
    waitForConsoleUser(source);
    EXPECT_EQ(source.probes, probes);
    EXPECT_EQ(source.waitLimits, std::vector<milliseconds>(static_cast<std::size_t>(probes - 1), milliseconds(1000)));
  }
}

TEST(SdEventRunLoopTest, TasksRunInOrderPerThreadAndATaskQueuedByATaskRunsInTheSameTurn) {
  auto loop = lnx::SdEventRunLoop::create();
  ASSERT_TRUE(loop);
  std::vector<int> order;
  loop->post([&] {
    order.push_back(1);
    loop->post([&] { order.push_back(3); });
  });
  loop->post([&] { order.push_back(2); });
  loop->runPending();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

  constexpr int kThreads = 4, kTasks = 2000;
  std::vector<std::vector<int>> seen(kThreads);
  int total = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kTasks; ++i) {
        loop->post([&, t, i] {
          seen[t].push_back(i);
          if (++total == kThreads * kTasks) loop->exit(7);
        });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(loop->run(), 7);
  std::vector<int> expected(kTasks);
  for (int i = 0; i < kTasks; ++i) expected[i] = i;
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t], expected);
}

TEST(SdEventRunLoopTest, ASlowTickSkipsTheMissedTicksAndAPausedTimerStaysValid) {
  auto loop = lnx::SdEventRunLoop::create();
  ASSERT_TRUE(loop);
  std::vector<steady_clock::time_point> ticks;
  const auto start = steady_clock::now();
  auto timer = loop->addRepeatingTimer(milliseconds(50), [&] {
    ticks.push_back(steady_clock::now());
    if (ticks.size() == 1) std::this_thread::sleep_for(milliseconds(170));
    if (ticks.size() == 4) loop->exit(0);
  });
  int pausedTicks = 0;
  std::unique_ptr<RepeatingTimer> paused;
  paused = loop->addRepeatingTimer(milliseconds(10), [&] {
    ++pausedTicks;
    paused->setFireDateDistantFuture();
    paused->setFireDateDistantFuture();  // a second pause changes nothing
  });
  ASSERT_TRUE(timer && paused);
  EXPECT_EQ(loop->run(), 0);
  ASSERT_EQ(ticks.size(), 4u);
  EXPECT_GE(ticks[0] - start, milliseconds(50)) << "the first tick comes one interval after scheduling";
  // Ticks due at 100, 150 and 200 ms were missed during the slow tick; the next is the one due at
  // 250 ms, and the later ones on the same grid (a late tick on a busy machine does not move it).
  EXPECT_GE(ticks[1] - start, milliseconds(250));
  EXPECT_GE(ticks[2] - start, milliseconds(300));
  EXPECT_GE(ticks[3] - start, milliseconds(350));
  EXPECT_EQ(pausedTicks, 1);
  EXPECT_TRUE(paused->isValid());
  paused->invalidate();
  EXPECT_FALSE(paused->isValid());
}

TEST(SdEventRunLoopTest, SigtermRunsTheTerminationHandlerAndEndsTheLoopWithZero) {
  auto loop = lnx::SdEventRunLoop::create();
  ASSERT_TRUE(loop);
  bool terminated = false;
  loop->setTerminationHandler([&] { terminated = true; });
  loop->post([] { raise(SIGTERM); });
  EXPECT_EQ(loop->run(), 0);
  EXPECT_TRUE(terminated);
}

void ignoreSignal(int) {}

TEST(LinuxIoTest, ReadsThroughSignalsThatInterruptOpenAndRead) {
  testing::TempTree tree;
  const std::string fifo = tree.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A handler without SA_RESTART: a blocked open or read fails with EINTR. SIGPIPE is ignored so
  // that a reader that gave up fails the test instead of ending it.
  struct sigaction action {}, previous {}, ignore {}, previousPipe {};
  action.sa_handler = ignoreSignal;
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previousPipe), 0);
  std::atomic<bool> done{false};
  int error = 0;
  std::optional<std::string> text;
  std::thread reader([&] {
    text = lnx::readWholeFile(fifo, 64, lnx::FileKind::kAny, &error);  // blocks in open, then in read
    done = true;
  });
  auto interrupt = [&] {
    for (int i = 0; i < 10 && !done; ++i) {
      ::pthread_kill(reader.native_handle(), SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  interrupt();
  // Non-blocking: a reader that is no longer in open must not leave this open waiting for ever.
  int writer = -1;
  for (int i = 0; i < 400 && writer < 0 && !done; ++i) {
    writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (writer >= 0) {
    interrupt();
    // Checked through what the reader got.
    [[maybe_unused]] const ssize_t written = ::write(writer, "after", 5);
    ::close(writer);
  }
  reader.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  ::sigaction(SIGPIPE, &previousPipe, nullptr);
  EXPECT_EQ(text, "after") << lnx::errnoText(error);
}

TEST(LinuxIoTest, SizeCapAndKindsOfFileGiveTheirErrno) {
  testing::TempTree tree;
  const std::string big = std::string(20000, 'x');  // more than one read's worth
  const std::string bigFile = tree.write("big", big);
  tree.write("folder/file", "text");
  const std::string fifo = tree.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // {path, size cap, kind, errno}; the FIFO has no writer, so a blocking open would never return.
  const std::tuple<std::string, std::size_t, lnx::FileKind, int> cases[] = {
      {bigFile, 20000, lnx::FileKind::kRegular, 0},      {bigFile, 19999, lnx::FileKind::kAny, EFBIG},
      {bigFile, 8192, lnx::FileKind::kAny, EFBIG},       {bigFile, lnx::kNoSizeLimit, lnx::FileKind::kAny, 0},
      {tree.path("missing"), 64, lnx::FileKind::kAny, ENOENT}, {tree.path("folder/file/x"), 64, lnx::FileKind::kAny, ENOTDIR},
      {tree.path("folder"), 64, lnx::FileKind::kAny, EISDIR},  {tree.path("folder"), 64, lnx::FileKind::kRegular, EINVAL},
      {fifo, 64, lnx::FileKind::kRegular, EINVAL},
  };
  for (const auto& [path, cap, kind, expected] : cases) {
    int error = 0;
    EXPECT_EQ(lnx::readWholeFile(path, cap, kind, &error), expected == 0 ? std::optional(big) : std::nullopt) << path << cap;
    EXPECT_EQ(error, expected) << path << " " << cap;
  }
  EXPECT_EQ(lnx::errnoText(-ENOENT), "No such file or directory");
  EXPECT_EQ(lnx::errnoText(ENOENT), "No such file or directory");
}

TEST(LinuxIoTest, ReadFromStartTakesAtMostTheSizeOrAFileLongerThanTheFirstReadWhole) {
  testing::TempTree tree;
  const int fd = lnx::openForReading(tree.write("attribute", "41000\n"));
  ASSERT_GE(fd, 0);
  EXPECT_EQ(lnx::readFromStart(fd, 3), "410");
  lnx::closeFile(fd);
  EXPECT_EQ(lnx::readFromStart(fd, 64), std::nullopt) << "a closed descriptor";
  // Into a kept buffer, from offset 0 each time (a re-read after a change is the sensors').
  const std::string longer(10000, 'x');
  const int longFd = lnx::openForReading(tree.write("long", longer + "1"));
  ASSERT_GE(longFd, 0);
  std::string text;
  int error = 0;
  EXPECT_TRUE(lnx::readFromStart(longFd, text, lnx::kNoSizeLimit));
  EXPECT_EQ(text, longer + "1");
  tree.write("long", longer + "2");
  EXPECT_TRUE(lnx::readFromStart(longFd, text, lnx::kNoSizeLimit));
  EXPECT_EQ(text, longer + "2");
  EXPECT_FALSE(lnx::readFromStart(longFd, text, 10001, &error));
  EXPECT_EQ(error, EFBIG);
  EXPECT_EQ(text, "");
  EXPECT_TRUE(lnx::readFromStart(longFd, text, 10002));
  EXPECT_EQ(text.size(), 10001u);
  lnx::closeFile(longFd);
}

}  // namespace
}  // namespace trellis
