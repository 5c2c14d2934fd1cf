// The public-address lookup end to end against a local HTTPS server (tests/support/
// https_reply_server.py) whose self-signed certificate is made for this test run and trusted only
// through the fetcher's CA file: the handler gets the address or "0.0.0.0", on the main thread,
// exactly once, for a good reply, a reply without "ip_addr", one that is not JSON, a 5xx, bodies
// at and over the 64 KiB limit, a server that never answers, an untrusted certificate, a host
// that is not valid and a fetcher destroyed mid-request.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "metrics/network_info.h"
#include "platform/linux/https/https_fetcher.h"
#include "support/manual_run_loop.h"

extern char** environ;

namespace trellis::lnx {
namespace {

using namespace std::chrono_literals;

// Starts `argv`; its standard output goes to `stdoutFd` (or /dev/null when -1).
pid_t spawn(const std::vector<std::string>& argv, int stdoutFd) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdoutFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

class PublicAddressLookupTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The server is on this machine: no proxy from the environment may stand in between.
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);
    std::string pattern = (std::filesystem::temp_directory_path() / "trellis-https-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return fail("cannot make a temporary folder");
    folder_ = pattern;
    cert_ = folder_ + "/cert.pem";
    const std::string key = folder_ + "/key.pem";
    const pid_t openssl = spawn({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                 "-nodes", "-keyout", key, "-out", cert_, "-days", "2", "-subj", "/CN=127.0.0.1",
                                 "-addext", "subjectAltName=IP:127.0.0.1"},
                                -1);
    int status = 0;
    if (openssl < 0 || waitpid(openssl, &status, 0) != openssl || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return fail("openssl could not make a certificate (scripts/install-deps installs it)");
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return fail("no pipe");
    const std::string script = std::string(TRELLIS_TEST_FIXTURES) + "/../support/https_reply_server.py";
    // The system's interpreter when there is one: version-manager shims add a second per start.
    const std::string python = ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    server_ = spawn({python, script, cert_, key}, fds[1]);
    ::close(fds[1]);
    std::string line;
    char c;
    while (server_ > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(fds[0]);
    const nlohmann::json ports = nlohmann::json::parse(line, nullptr, false);
    if (!ports.is_object()) return fail("the HTTPS server did not start: " + line);
    for (const auto& [name, port] : ports.items()) ports_[name] = port.get<int>();
  }

  static void TearDownTestSuite() {
    if (server_ > 0) {
      ::kill(server_, SIGTERM);
      ::waitpid(server_, nullptr, 0);
    }
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }

  static void fail(std::string why) { setupError_ = std::move(why); }

  void SetUp() override { ASSERT_TRUE(setupError_.empty()) << setupError_; }

  static std::string host(const std::string& answer) { return "127.0.0.1:" + std::to_string(ports_.at(answer)); }

  struct Result {
    int calls = 0;
    bool onMainThread = true;
    std::string address;
    std::chrono::steady_clock::duration took{};
  };

  // One lookup; waits for the handler, then for the fetcher's threads, then runs the queue once
  // more so that a second call of the handler would be seen.
  static Result lookUp(const std::string& hostText, HttpsFetcher::Limits limits = {}, bool trusted = true,
                       std::chrono::milliseconds destroyAfter = 0ms) {
    testing::ManualRunLoop loop;
    Result result;
    const auto mainThread = std::this_thread::get_id();
    const auto start = std::chrono::steady_clock::now();
    {
      CurlHttpsFetcher fetcher(CurlHttpsFetcher::Options{trusted ? cert_ : ""});
      PublicAddressLookup lookup;
      lookup.fetcher = &fetcher;
      lookup.mainQueue = &loop;
      lookup.host = [hostText] { return hostText; };
      lookup.limits = limits;
      NetworkModel().getNetwortIpWithHandler(
          [&](const std::string& ip) {
            ++result.calls;
            result.onMainThread = result.onMainThread && std::this_thread::get_id() == mainThread;
            result.address = ip;
          },
          lookup);
      EXPECT_EQ(result.calls, 0) << "the handler must not run before the call returns";
      if (destroyAfter > 0ms) {
        std::this_thread::sleep_for(destroyAfter);
      } else {
        while (result.calls == 0 && std::chrono::steady_clock::now() - start < 20s) {
          loop.runQueued();
          std::this_thread::sleep_for(5ms);
        }
      }
    }
    loop.runQueued();
    result.took = std::chrono::steady_clock::now() - start;
    return result;
  }

  static inline std::string setupError_;
  static inline std::string folder_;
  static inline std::string cert_;
  static inline pid_t server_ = -1;
  static inline std::map<std::string, int> ports_;
};

TEST_F(PublicAddressLookupTest, EachReplyGivesTheAddressOrTheFallbackOnceOnTheMainThread) {
  const struct {
    const char* answer;
    const char* expected;
  } cases[] = {
      {"good", "203.0.113.7"},
      {"no-ip", "0.0.0.0"},
      {"plain-text", "0.0.0.0"},
      // Its body does hold an "ip_addr": a failed status must not be read.
      {"server-error", "0.0.0.0"},
      {"at-limit", "203.0.113.8"},
      {"over-limit", "0.0.0.0"},
      {"over-limit-announced", "0.0.0.0"},
  };
  for (const auto& c : cases) {
    const Result result = lookUp(host(c.answer));
    EXPECT_EQ(result.address, c.expected) << c.answer;
    EXPECT_EQ(result.calls, 1) << c.answer;
    EXPECT_TRUE(result.onMainThread) << c.answer;
  }
}

TEST_F(PublicAddressLookupTest, ASilentServerTimesOut) {
  const Result result = lookUp(host("silent"), {500ms, 64 * 1024});
  EXPECT_EQ(result.address, "0.0.0.0");
  EXPECT_EQ(result.calls, 1);
  EXPECT_TRUE(result.onMainThread);
  EXPECT_GE(result.took, 450ms);
  EXPECT_LT(result.took, 5s);
}

TEST_F(PublicAddressLookupTest, FailuresBeforeAnyReply) {
  // The test's certificate is trusted only through the CA file.
  Result result = lookUp(host("good"), {}, /*trusted=*/false);
  EXPECT_EQ(result.address, "0.0.0.0");
  EXPECT_EQ(result.calls, 1);

  // A host that would change the URL's meaning is refused, still through the main queue.
  result = lookUp("127.0.0.1:" + std::to_string(ports_.at("good")) + "/x?");
  EXPECT_EQ(result.address, "0.0.0.0");
  EXPECT_EQ(result.calls, 1);
  EXPECT_TRUE(result.onMainThread);

  // Nobody listening.
  result = lookUp("127.0.0.1:1");
  EXPECT_EQ(result.address, "0.0.0.0");
  EXPECT_EQ(result.calls, 1);

  // A fetcher destroyed while its request waits on a silent server ends the request at once and
  // still answers, once.
  result = lookUp(host("silent"), {}, true, /*destroyAfter=*/300ms);
  EXPECT_EQ(result.address, "0.0.0.0");
  EXPECT_EQ(result.calls, 1);
  EXPECT_TRUE(result.onMainThread);
  EXPECT_LT(result.took, 4s);
}

}  // namespace
}  // namespace trellis::lnx
