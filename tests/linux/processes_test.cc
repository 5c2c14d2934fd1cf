// Child processes: KwTools over the posix_spawn runner, runWith, the executable search, and the
// power-management command chosen on trees built here.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <thread>

#include "platform/linux/services.h"
#include "platform/linux/system/power_command.h"
#include "platform/linux/system/process_runner.h"
#include "support/service_setters.h"
#include "support/temp_tree.h"
#include "tools/kw_tools.h"

namespace trellis {
namespace {

using ::testing::Optional;
using namespace std::chrono_literals;
using namespace std::string_literals;

int openDescriptorCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// True when this process has a child that is running or not yet reaped.
bool hasChildLeft() {
  errno = 0;
  return !(::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD);
}

// The command runner over the real process runner, as the agent installs it.
class KwToolsExecuteTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::setService(&Services::processRunner, &runner_); }
  void TearDown() override { testing::setService(&Services::processRunner, installed_); }

 private:
  ProcessRunner* installed_ = installedServices().processRunner;
  lnx::PosixProcessRunner runner_{{.timeLimit = std::chrono::seconds(30)}};
};

TEST_F(KwToolsExecuteTest, BothStreamsInOrderWhenUtf8WhateverTheExitStatusAndNothingLeftBehind) {
  testing::TempTree scratch;
  ASSERT_FALSE(hasChildLeft());
  const int before = openDescriptorCount();
  const std::pair<const char*, std::optional<std::string>> rows[] = {
      {"echo word", "word\n"},
      {"echo oops >&2", "oops\n"},
      {"echo partial; exit 1", "partial\n"},
      {"kill -9 $$", ""},
      {"echo a; echo b >&2; echo c; echo d >&2", "a\nb\nc\nd\n"},  // one pipe keeps the order written
      {"printf 'caf\\xc3\\xa9'", "caf\xc3\xa9"},
      {"printf 'caf\\xe9'", std::nullopt},
      {"printf 'ok\\n'; printf '\\xed\\xa0\\x80' >&2", std::nullopt},
      {"exec >&- 2>&-; sleep 0.3", ""},  // a child that closes its output before it ends is still waited for
  };
  for (const auto& [command, output] : rows) EXPECT_EQ(KwTools::executeCmd(command), output) << command;

  // A bare name is a path relative to the working folder, never looked up in PATH; a file without
  // "#!" is refused by exec.
  for (const std::string& path : {std::string(), std::string("/nonexistent/trellis-tool"), scratch.root(),
                                  std::string("echo"), scratch.write("plain.sh", "#!/bin/sh\necho ran\n", 0644),
                                  scratch.write("orphan.sh", "#!/nonexistent/interpreter\necho ran\n", 0755),
                                  scratch.write("garbage", "echo ran\n", 0755)}) {
    EXPECT_EQ(KwTools::executeShellWithLauchPath(path, {"-c", "echo ran"}), std::nullopt) << path;
  }
  EXPECT_EQ(openDescriptorCount(), before);
  EXPECT_FALSE(hasChildLeft());

  // Arguments pass unchanged after the path, which is argv[0].
  const std::string echoArgs =
      scratch.write("args.sh", "#!/bin/sh\necho \"$#\"\nfor a in \"$@\"; do echo \"[$a]\"; done\n", 0755);
  EXPECT_THAT(KwTools::executeShellWithLauchPath(echoArgs, {}), Optional("0\n"s));
  EXPECT_THAT(KwTools::executeShellWithLauchPath(echoArgs, {"a b", "", "$HOME", "*", "'q'", "x;y"}),
              Optional("6\n[a b]\n[]\n[$HOME]\n[*]\n['q']\n[x;y]\n"s));
  EXPECT_THAT(KwTools::executeShellWithLauchPath("/bin/cat", {"/proc/self/cmdline"}),
              Optional("/bin/cat\0/proc/self/cmdline\0"s));
}

TEST_F(KwToolsExecuteTest, ChildGetsOnlyTheStandardStreamsWithNoSignalBlockedOrIgnored) {
  // A descriptor this process leaves inheritable must still not reach the child.
  const int inheritable = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(inheritable, 0);
  EXPECT_THAT(KwTools::executeCmd("ls /proc/$$/fd; true"), Optional("0\n1\n2\n"s));
  ::close(inheritable);

  // Standard input is /dev/null whatever this process's own is: here, for the call, a pipe.
  int pipeEnds[2];
  ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
  const int savedStdin = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  ASSERT_EQ(::dup2(pipeEnds[0], STDIN_FILENO), STDIN_FILENO);
  const std::optional<std::string> input = KwTools::executeCmd("readlink /proc/$$/fd/0; true");
  savedStdin >= 0 ? ::dup2(savedStdin, STDIN_FILENO) : ::close(STDIN_FILENO);
  for (int fd : {savedStdin, pipeEnds[0], pipeEnds[1]}) ::close(fd);
  EXPECT_THAT(input, Optional("/dev/null\n"s));
  const std::optional<std::string> outputs = KwTools::executeCmd("readlink /proc/$$/fd/1 /proc/$$/fd/2; true");
  ASSERT_TRUE(outputs.has_value());
  const std::string first = outputs->substr(0, outputs->find('\n'));
  EXPECT_THAT(first, ::testing::MatchesRegex("pipe:\\[[0-9]+\\]"));
  EXPECT_EQ(*outputs, first + "\n" + first + "\n") << "standard output and standard error are one pipe";

  sigset_t blocked, previousMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask), 0);
  struct sigaction ignore {}, previousHup {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGHUP, &ignore, &previousHup), 0);
  const std::optional<std::string> status =
      KwTools::executeShellWithLauchPath("/bin/grep", {"-E", "^Sig(Blk|Ign):", "/proc/self/status"});
  ::sigaction(SIGHUP, &previousHup, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  ASSERT_TRUE(status.has_value());
  unsigned long long blockedMask = ~0ULL, ignoredMask = ~0ULL;
  ASSERT_EQ(std::sscanf(status->c_str(), "SigBlk: %llx SigIgn: %llx", &blockedMask, &ignoredMask), 2) << *status;
  EXPECT_EQ(blockedMask, 0u) << *status;
  // Only the standard signals: glibc's posix_spawn ignores its two internal real-time signals in
  // the child itself, and that survives the exec.
  EXPECT_EQ(ignoredMask & 0x7fffffffULL, 0u) << *status;
}

TEST_F(KwToolsExecuteTest, ConcurrentCallsEachGetTheirOwnOutput) {
  // A slow child runs while the others come and go: none of their pipes may reach it, or their
  // readers would wait for it to end.
  auto slow = std::async(std::launch::async, [] { return KwTools::executeCmd("sleep 3; echo slow"); });
  std::vector<std::future<bool>> quick;
  for (int worker = 0; worker < 4; ++worker) {
    quick.push_back(std::async(std::launch::async, [worker] {
      bool allRight = true;
      for (int round = 0; round < 10; ++round) {
        const std::string text = std::to_string(worker) + "-" + std::to_string(round);
        allRight = allRight && KwTools::executeCmd("echo " + text) == text + "\n";
      }
      return allRight;
    }));
  }
  for (auto& result : quick) EXPECT_TRUE(result.get());
  EXPECT_EQ(slow.wait_for(0s), std::future_status::timeout) << "the quick runs waited for the slow child";
  EXPECT_THAT(slow.get(), Optional("slow\n"s));
}

// The process-state letter of `pid` ('Z' for a zombie), or 0 when it no longer exists.
char processState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return 0;
  const size_t close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() ? 0 : line[close + 2];
}

TEST(PosixProcessRunnerTest, TimeLimitKillsTheChildWithEverythingItStartedAndFailsTheRun) {
  lnx::PosixProcessRunner runner({.timeLimit = 300ms});
  const int before = openDescriptorCount();
  auto start = std::chrono::steady_clock::now();
  // A child that closed its output is stopped as well as one that keeps printing.
  EXPECT_EQ(runner.run("/bin/bash", {"-c", "echo bye; exec >&- 2>&-; sleep 30"}), std::nullopt);
  // One descendant leaves the process group, one stays in it; both hold the output open.
  const std::optional<ProcessResult> result = runner.runWith(
      {"/bin/bash", {"-c", "echo started; setsid sleep 30 & echo $!; sleep 30 & echo $!; wait"}, std::nullopt, false});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->timedOut);
  EXPECT_EQ(result->exitCode, std::nullopt);
  std::istringstream lines(result->standardOutput);
  std::string first;
  pid_t outside = 0, inside = 0;
  lines >> first >> outside >> inside;
  EXPECT_EQ(first, "started");
  for (pid_t grandchild : {outside, inside}) {
    ASSERT_GT(grandchild, 0);
    EXPECT_EQ(processState(grandchild), 0) << "descendant " << grandchild << " outlived the limit";
  }

  // One within the limit runs as without.
  lnx::PosixProcessRunner patient({.timeLimit = 20s});
  EXPECT_THAT(patient.run("/bin/bash", {"-c", "echo out; echo err >&2; exit 4"}), Optional("out\nerr\n"s));
  EXPECT_EQ(patient.run("/bin/bash", {"-c", "head -c 1048576 /dev/zero"}), std::string(1 << 20, '\0'));
  EXPECT_EQ(patient.run("/nonexistent/trellis-tool", {}), std::nullopt);
  EXPECT_EQ(openDescriptorCount(), before);
  EXPECT_FALSE(hasChildLeft());
}

TEST(PosixProcessRunnerTest, OutputBeyondTheLimitIsReadAndCountedButNotKept) {
  lnx::PosixProcessRunner runner({.timeLimit = std::nullopt, .outputLimit = 4, .errorLimit = 2});
  EXPECT_THAT(runner.run("/bin/bash", {"-c", "printf 0123456789"}), Optional("0123\n[6 more bytes discarded]\n"s));
  const std::optional<ProcessResult> result =
      runner.runWith({"/bin/bash", {"-c", "head -c 300000 /dev/zero | tr '\\0' x; echo oops >&2"}, std::nullopt, false});
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->exitCode, 0);
  EXPECT_EQ(result->standardOutput, "xxxx\n[299996 more bytes discarded]\n");
  EXPECT_EQ(result->standardError, "oo\n[3 more bytes discarded]\n");
}

TEST(PosixProcessRunnerTest, RunWithFeedsInputAndKeepsTheStreamsAndTheExitStatusApart) {
  lnx::PosixProcessRunner runner;
  // "exit status|output|errors" ("-" for a signal), or "none".
  const auto run = [&](const std::string& path, const char* script, std::optional<std::string> input = std::nullopt,
                       bool discard = false) -> std::string {
    const std::optional<ProcessResult> r = runner.runWith({path, {"-c", script}, std::move(input), discard});
    if (!r) return "none";
    return (r->exitCode ? std::to_string(*r->exitCode) : "-") + "|" + r->standardOutput + "|" + r->standardError;
  };
  EXPECT_EQ(run("/bin/sh", "tr a-z A-Z; echo oops >&2; exit 3", "hello\n"), "3|HELLO\n|oops\n");
  // Input and output both far beyond a pipe's capacity, at the same time; a child that reads none
  // of its input ends the writing, not this process (no SIGPIPE).
  const std::string large(1 << 20, 'x');
  EXPECT_EQ(run("/bin/sh", "cat; cat >&2 </dev/null", large), "0|" + large + "|");
  EXPECT_EQ(run("/bin/sh", "exec 0<&-; echo early", large), "0|early\n|");
  // Without input: /dev/null. A signal: no exit status. Not executable: nothing.
  EXPECT_EQ(run("/bin/sh", "cat"), "0||");
  EXPECT_EQ(run("/bin/sh", "kill -9 $$"), "-||");
  EXPECT_EQ(run("/nonexistent/tool", ""), "none");
  // Discarded output waits only for the child itself: a launcher whose program lives on with the
  // launcher's streams.
  testing::TempTree scratch;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run("/bin/sh", ("sleep 5 & echo $! >" + scratch.path("pid") + "; exit 0").c_str(), std::nullopt, true),
            "0||");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  // Nothing to reap: the launcher was. What it left behind, handed back to us, is ours to end.
  EXPECT_LE(::waitpid(-1, nullptr, WNOHANG), 0) << "the launcher was not reaped";
  const pid_t left = static_cast<pid_t>(std::stoi(scratch.read("pid")));
  ::kill(left, SIGKILL);
  EXPECT_EQ(::waitpid(left, nullptr, 0), left);

  EXPECT_EQ(lnx::findExecutable("sh", ":/nonexistent::/bin"), "/bin/sh");
  EXPECT_EQ(lnx::findExecutable("sh", ""), std::nullopt) << "an empty entry is not the working folder";
  EXPECT_EQ(lnx::findExecutable("/bin/sh", "/bin"), std::nullopt);
  EXPECT_EQ(lnx::findExecutable("passwd-not-a-tool", "/etc"), std::nullopt);
}

// A tool that prints its name and arguments.
constexpr char kTool[] = "#!/bin/sh\necho \"$(basename \"$0\") $*\"\n";
const std::vector<std::string> kPmsetOn = {"-a", "lowpowermode", "1"}, kPmsetOff = {"-a", "lowpowermode", "0"};
const std::vector<std::string> kSaver = {"set", "power-saver"}, kBalanced = {"set", "balanced"};

TEST(PowerCommandTest, PmsetWhenExecutableElseTheFirstPowerProfilesToolInFolderOrder) {
  using Tree = const testing::TempTree&;
  const auto tool = [](Tree fs, const char* path, mode_t mode = 0755) { fs.write(path, kTool, mode); };
  struct Row {
    const char* what;
    std::function<void(Tree)> build;
    std::string chosen;  // from the root
    bool runs;
  } rows[] = {
      {"pmset wins", [&](Tree fs) { tool(fs, "usr/bin/pmset"); tool(fs, "usr/bin/powerprofilesctl"); },
       "usr/bin/pmset", true},
      {"only in /bin", [&](Tree fs) { tool(fs, "bin/powerprofilesctl"); }, "bin/powerprofilesctl", true},
      {"/usr/local/bin before /bin",
       [&](Tree fs) { tool(fs, "bin/powerprofilesctl"); tool(fs, "usr/local/bin/powerprofilesctl"); },
       "usr/local/bin/powerprofilesctl", true},
      {"the usual install: a link in /usr/bin into the package's folder",
       [&](Tree fs) {
         tool(fs, "opt/ppd/powerprofilesctl"); tool(fs, "usr/local/bin/powerprofilesctl");
         fs.link("usr/bin/powerprofilesctl", "opt/ppd/powerprofilesctl");
       },
       "usr/bin/powerprofilesctl", true},
      {"not executable, a folder, a link to nothing: none counts",
       [&](Tree fs) {
         tool(fs, "usr/bin/pmset", 0644); tool(fs, "bin/powerprofilesctl");
         std::filesystem::create_directories(fs.path("usr/bin/powerprofilesctl"));
         fs.link("usr/local/bin/powerprofilesctl", "nowhere");
       },
       "bin/powerprofilesctl", true},
      {"neither: pmset, which fails to run", [&](Tree fs) { tool(fs, "usr/bin/pmset", 0644); }, "usr/bin/pmset", false},
      {"nothing at all", [](Tree) {}, "usr/bin/pmset", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    testing::TempTree fs;
    row.build(fs);
    const bool pmset = row.chosen.ends_with("pmset");
    const PowerCommand on = lnx::powerCommandUnder(fs.root(), true);
    const PowerCommand off = lnx::powerCommandUnder(fs.root() + "/", false);  // a trailing slash changes nothing
    EXPECT_EQ(on.launchPath, fs.path(row.chosen));
    EXPECT_EQ(on.arguments, pmset ? kPmsetOn : kSaver);
    EXPECT_EQ(off.launchPath, fs.path(row.chosen));
    EXPECT_EQ(off.arguments, pmset ? kPmsetOff : kBalanced);
    EXPECT_EQ(KwTools::executeShellWithLauchPath(on.launchPath, on.arguments),
              row.runs ? std::optional(pmset ? "pmset -a lowpowermode 1\n" : "powerprofilesctl set power-saver\n")
                       : std::nullopt);
  }
}

// The services' command looks under their root (a given tool, --power-tool, is proven by the
// integration tests' recording tool).
TEST(PowerCommandTest, TheProcessServicesFindTheToolUnderTheirRoot) {
  testing::TempTree fs;
  const std::string profiles = fs.write("usr/local/bin/powerprofilesctl", kTool, 0755);
  lnx::ServiceOptions options;
  options.root = fs.root();
  std::string error;
  auto services = lnx::LinuxServices::create(options, &error);
  ASSERT_NE(services, nullptr) << error;
  const PowerCommand found = services->services().powerCommand(true);
  EXPECT_EQ(found.launchPath, profiles);
  EXPECT_EQ(found.arguments, kSaver);
}

}  // namespace
}  // namespace trellis
