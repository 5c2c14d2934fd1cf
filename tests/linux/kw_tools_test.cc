// Runs real child processes through KwTools and the posix_spawn runner: what comes back, launch
// failures, what the child inherits, descriptors and children left behind, and the optional time
// limit. Tests run on the test thread except where a case starts its own threads.
#include "tools/kw_tools.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/system/process_runner.h"
#include "support/service_setters.h"
#include "support/temp_tree.h"

namespace trellis {
namespace {

using ::testing::MatchesRegex;
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
  int status = 0;
  errno = 0;
  pid_t pid = ::waitpid(-1, &status, WNOHANG);
  return !(pid == -1 && errno == ECHILD);
}

// The command runner over the real process runner, as the agent installs it.
class KwToolsExecuteTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::setService(&Services::processRunner, &runner_); }
  void TearDown() override { testing::setService(&Services::processRunner, nullptr); }

 private:
  lnx::PosixProcessRunner runner_{{.timeLimit = std::chrono::seconds(30)}};
};

TEST_F(KwToolsExecuteTest, ReturnsTheOutputOfBothStreamsInOrderWhenItIsUtf8WhateverTheExitStatus) {
  const std::pair<const char*, std::optional<std::string>> rows[] = {
      {"echo word", "word\n"},
      {"echo oops >&2", "oops\n"},
      {"echo partial; exit 1", "partial\n"},
      {"kill -9 $$", ""},
      {"echo a; echo b >&2; echo c; echo d >&2", "a\nb\nc\nd\n"},  // one pipe keeps the order written
      {"printf 'caf\\xc3\\xa9'", "caf\xc3\xa9"},
      {"printf 'caf\\xe9'", std::nullopt},
      {"printf 'ok\\n'; printf '\\xed\\xa0\\x80' >&2", std::nullopt},
  };
  for (const auto& [command, output] : rows) EXPECT_EQ(KwTools::executeCmd(command), output) << command;

  testing::TempTree scratch;
  // A bare name is a path relative to the working folder, never looked up in PATH; a file without
  // "#!" is refused by exec.
  for (const std::string& path : {std::string(), std::string("/nonexistent/trellis-tool"), scratch.root(),
                                  std::string("echo"), scratch.write("plain.sh", "#!/bin/sh\necho ran\n", 0644),
                                  scratch.write("orphan.sh", "#!/nonexistent/interpreter\necho ran\n", 0755),
                                  scratch.write("garbage", "echo ran\n", 0755)}) {
    EXPECT_EQ(KwTools::executeShellWithLauchPath(path, {"-c", "echo ran"}), std::nullopt) << path;
  }
}

TEST_F(KwToolsExecuteTest, ReturnsOutputFarLargerThanAPipeHolds) {
  constexpr size_t kSize = 1 << 20;
  std::optional<std::string> output = KwTools::executeCmd("head -c 1048576 /dev/zero | tr '\\0' x");
  ASSERT_TRUE(output.has_value());
  EXPECT_EQ(output->size(), kSize);
  EXPECT_EQ(output->find_first_not_of('x'), std::string::npos);

  // Both streams at once, each past a pipe's capacity.
  output =
      KwTools::executeCmd("head -c 300000 /dev/zero | tr '\\0' o & head -c 300000 /dev/zero | tr '\\0' e >&2; wait");
  ASSERT_TRUE(output.has_value());
  EXPECT_EQ(output->size(), 600000u);
  EXPECT_EQ(std::count(output->begin(), output->end(), 'e'), 300000);
}

TEST_F(KwToolsExecuteTest, PassesArgumentsUnchangedAfterThePath) {
  testing::TempTree scratch;
  std::string echoArgs =
      scratch.write("args.sh", "#!/bin/sh\necho \"$#\"\nfor a in \"$@\"; do echo \"[$a]\"; done\n", 0755);

  EXPECT_THAT(KwTools::executeShellWithLauchPath(echoArgs, {}), Optional(std::string("0\n")));
  EXPECT_THAT(KwTools::executeShellWithLauchPath(echoArgs, {"a b", "", "$HOME", "*", "'q'", "x;y"}),
              Optional(std::string("6\n[a b]\n[]\n[$HOME]\n[*]\n['q']\n[x;y]\n")));
  // argv[0] is the path itself.
  EXPECT_THAT(KwTools::executeShellWithLauchPath("/bin/cat", {"/proc/self/cmdline"}),
              Optional("/bin/cat\0/proc/self/cmdline\0"s));
}

TEST_F(KwToolsExecuteTest, ChildInheritsOnlyTheStandardStreams) {
  // A descriptor this process leaves inheritable must still not reach the child.
  int inheritable = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(inheritable, 0);
  EXPECT_THAT(KwTools::executeCmd("ls /proc/$$/fd; true"), Optional(std::string("0\n1\n2\n")));
  ::close(inheritable);

  // Standard input is /dev/null whatever this process's own is: here, for the call, a pipe.
  int pipeEnds[2];
  ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
  int savedStdin = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  ASSERT_EQ(::dup2(pipeEnds[0], STDIN_FILENO), STDIN_FILENO);
  std::optional<std::string> input = KwTools::executeCmd("readlink /proc/$$/fd/0; true");
  if (savedStdin >= 0) {
    ::dup2(savedStdin, STDIN_FILENO);
    ::close(savedStdin);
  } else {
    ::close(STDIN_FILENO);
  }
  ::close(pipeEnds[0]);
  ::close(pipeEnds[1]);
  EXPECT_THAT(input, Optional(std::string("/dev/null\n")));
  std::optional<std::string> outputs = KwTools::executeCmd("readlink /proc/$$/fd/1 /proc/$$/fd/2; true");
  ASSERT_TRUE(outputs.has_value());
  std::string first = outputs->substr(0, outputs->find('\n'));
  EXPECT_THAT(first, MatchesRegex("pipe:\\[[0-9]+\\]"));
  EXPECT_EQ(*outputs, first + "\n" + first + "\n") << "standard output and standard error are different files";
}

TEST_F(KwToolsExecuteTest, ChildStartsWithNoSignalBlockedOrIgnored) {
  sigset_t blocked;
  sigset_t previousMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask), 0);
  struct sigaction ignore {};
  struct sigaction previousHup {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGHUP, &ignore, &previousHup), 0);

  std::optional<std::string> status =
      KwTools::executeShellWithLauchPath("/bin/grep", {"-E", "^Sig(Blk|Ign):", "/proc/self/status"});

  ::sigaction(SIGHUP, &previousHup, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  ASSERT_TRUE(status.has_value());
  unsigned long long blockedMask = ~0ULL;
  unsigned long long ignoredMask = ~0ULL;
  ASSERT_EQ(std::sscanf(status->c_str(), "SigBlk: %llx SigIgn: %llx", &blockedMask, &ignoredMask), 2) << *status;
  EXPECT_EQ(blockedMask, 0u) << *status;
  // Only the standard signals: glibc's posix_spawn ignores its two internal real-time signals in
  // the child itself, and that survives the exec.
  EXPECT_EQ(ignoredMask & 0x7fffffffULL, 0u) << *status;
}

TEST_F(KwToolsExecuteTest, LeavesNoDescriptorAndNoChildBehind) {
  testing::TempTree scratch;
  std::string notAProgram = scratch.write("garbage", "echo ran\n", 0755);
  ASSERT_FALSE(hasChildLeft());
  const int before = openDescriptorCount();

  EXPECT_TRUE(KwTools::executeCmd("echo word").has_value());
  EXPECT_TRUE(KwTools::executeCmd("exit 3").has_value());
  EXPECT_FALSE(KwTools::executeCmd("printf '\\xff'").has_value());
  EXPECT_FALSE(KwTools::executeShellWithLauchPath("/nonexistent/trellis-tool", {}).has_value());
  EXPECT_FALSE(KwTools::executeShellWithLauchPath(notAProgram, {}).has_value());
  EXPECT_TRUE(KwTools::executeCmd("head -c 200000 /dev/zero").has_value());
  // A child that closes its output before it ends is still waited for.
  EXPECT_THAT(KwTools::executeCmd("exec >&- 2>&-; sleep 0.3"), Optional(std::string()));

  EXPECT_EQ(openDescriptorCount(), before);
  EXPECT_FALSE(hasChildLeft());
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
        std::string text = std::to_string(worker) + "-" + std::to_string(round);
        allRight = allRight && KwTools::executeCmd("echo " + text) == text + "\n";
      }
      return allRight;
    }));
  }
  for (auto& result : quick) EXPECT_TRUE(result.get());
  EXPECT_EQ(slow.wait_for(0s), std::future_status::timeout) << "the quick runs waited for the slow child";
  EXPECT_THAT(slow.get(), Optional(std::string("slow\n")));
  EXPECT_FALSE(hasChildLeft());
}

// The process-state letter of `pid` ('Z' for a zombie), or 0 when it no longer exists.
char processState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return 0;
  size_t close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() ? 0 : line[close + 2];
}

TEST(PosixProcessRunnerTest, TimeLimitKillsTheChildWithEverythingItStartedAndFailsTheRun) {
  lnx::PosixProcessRunner runner({.timeLimit = 300ms});
  auto start = std::chrono::steady_clock::now();
  // A child that closed its output is stopped as well as one that keeps printing.
  EXPECT_EQ(runner.run("/bin/bash", {"-c", "echo bye; exec >&- 2>&-; sleep 30"}), std::nullopt);

  // One descendant leaves the process group, one stays in it; both hold the output open.
  std::optional<ProcessResult> result = runner.runWith(
      {"/bin/bash", {"-c", "echo started; setsid sleep 30 & echo $!; sleep 30 & echo $!; wait"}, std::nullopt, false});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_FALSE(hasChildLeft());
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
}

TEST(PosixProcessRunnerTest, OutputBeyondTheLimitIsReadAndCountedButNotKept) {
  lnx::PosixProcessRunner runner({.timeLimit = std::nullopt, .outputLimit = 4, .errorLimit = 2});
  EXPECT_THAT(runner.run("/bin/bash", {"-c", "printf 0123456789"}),
              Optional(std::string("0123\n[6 more bytes discarded]\n")));
  std::optional<ProcessResult> result =
      runner.runWith({"/bin/bash", {"-c", "head -c 300000 /dev/zero | tr '\\0' x; echo oops >&2"}, std::nullopt, false});
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->exitCode, 0);
  EXPECT_EQ(result->standardOutput, "xxxx\n[299996 more bytes discarded]\n");
  EXPECT_EQ(result->standardError, "oo\n[3 more bytes discarded]\n");
}

TEST(PosixProcessRunnerTest, ChildWithinTheTimeLimitRunsAsWithout) {
  lnx::PosixProcessRunner runner({.timeLimit = 20s});
  const int before = openDescriptorCount();
  EXPECT_THAT(runner.run("/bin/bash", {"-c", "echo out; echo err >&2; exit 4"}), Optional(std::string("out\nerr\n")));
  std::optional<std::string> large = runner.run("/bin/bash", {"-c", "head -c 1048576 /dev/zero"});
  ASSERT_TRUE(large.has_value());
  EXPECT_EQ(large->size(), 1u << 20);
  EXPECT_EQ(runner.run("/nonexistent/trellis-tool", {}), std::nullopt);
  EXPECT_EQ(openDescriptorCount(), before);
  EXPECT_FALSE(hasChildLeft());
}

}  // namespace
}  // namespace trellis
