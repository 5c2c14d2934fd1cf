// The companion as a person runs it, in this process: each command line with its exit status and
// the exact texts it prints (the services are built for the command and put back after it), and
// the lines `watch` prints for the agent's readings.
#include "cli/companion.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "cli/bus_commands.h"
#include "cli/metrics_commands.h"
#include "cli/smc_commands.h"
#include "metrics/cpu_info.h"
#include "metrics/memory_info.h"
#include "support/temp_tree.h"

namespace trellis::cli {
namespace {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome trellis(std::vector<std::string> words) {
  words.insert(words.begin(), "trellis");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  SmcResetProcessStateForTesting();
  CpuInfo::resetProcessCachesForTesting();
  MemoryInfo::resetProcessCachesForTesting();
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const int status = runCompanion(static_cast<int>(argv.size()), argv.data());
  std::string out = ::testing::internal::GetCapturedStdout();
  return {status, out, ::testing::internal::GetCapturedStderr()};
}

TEST(CompanionTest, CommandsPrintExactlyAndEndWithTheirStatus) {
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
  testing::TempTree tree;
  const std::string table = tree.write("smc.json", R"({"keys": [{"key": "TC0P", "type": "sp78", "bytes": "2a80"},
                                                              {"key": "FNum", "type": "ui8 ", "bytes": "01"},
                                                              {"key": "F0Mn", "type": "flt ", "bytes": "0000c07f"},
                                                              {"key": "F0Mx", "type": "flt ", "bytes": "000080ff"}]})");
  const std::string sim = "sim:" + table;
  const std::string fixtures = TRELLIS_TEST_FIXTURES;
  const std::string memory = fixtures + "/meminfo/", proc = fixtures + "/proc/";
  // User information `levels` deep: {"k": [[...[1]...]]}.
  const auto nested = [](int levels) {
    return R"({"k": )" + std::string(levels - 1, '[') + "1" + std::string(levels - 1, ']') + "}";
  };
  const std::string missing = "trellis: cannot load the simulated SMC /nonexistent.json: /nonexistent.json: No such "
                              "file or directory\n";
  const std::string noBus = "trellis: cannot connect to the session bus: No such file or directory\n";
  const struct {
    std::vector<std::string> words;
    int status;
    std::string out, err;
  } cases[] = {
      {{"smc", "read", "TC0P", "--json", "--smc", sim},
       0, R"({"key": "TC0P", "type": "sp78", "size": 2, "bytes": "2a80", "value": 42.5})" "\n", ""},
      {{"smc", "--smc", sim, "read", "FNum"}, 0, "FNum  ui8   1 byte  01  1\n", ""},
      // JSON has no NaN or infinities.
      {{"smc", "read", "F0Mn", "--json", "--smc", sim},
       0, R"({"key": "F0Mn", "type": "flt ", "size": 4, "bytes": "0000c07f", "value": null})" "\n", ""},
      {{"smc", "read", "F0Mx", "--json", "--smc", sim},
       0, R"({"key": "F0Mx", "type": "flt ", "size": 4, "bytes": "000080ff", "value": null})" "\n", ""},
      {{"smc", "read", "F0Mx", "--smc", sim}, 0, "F0Mx  flt   4 bytes  000080ff  -inf\n", ""},
      {{"smc", "read", "TH0x", "--smc", sim}, 1, "", "trellis: the SMC has no key TH0x\n"},
      {{"smc", "read", "TOOLONG", "--smc", "sim:/nonexistent.json"},
       2, "", "trellis: an SMC key is four characters, not 'TOOLONG'\n"},
      {{"smc", "read", "TC0P", "--smc", "sim:/nonexistent.json"}, 1, "", missing},
      {{"smc", "keys", "--smc", "none"}, 1, "", "trellis: no SMC connection (none: no SMC)\n"},
      {{"smc", "info", "--smc", sim}, 0, "sim: the simulated SMC of " + table + "\n", ""},
      {{"metrics", "memory", "--json", "--root", memory + "normal"},
       0, R"({"free":12619218944,"freeString":"11.8 GB","total":16694837248,"totalString":"15.5 GB",)"
          R"("usePercentString":"24%","useString":"3.8 GB"})" "\n", ""},
      // The options of `metrics` count for its subcommands; memory reads no SMC.
      {{"metrics", "--root", memory + "normal", "--smc", "bogus", "memory"},
       0, "total  15.5 GB\nfree   11.8 GB (free and file cache)\nused   3.8 GB (24%)\n", ""},
      {{"metrics", "--root", memory + "damaged", "memory"},
       1, "", "trellis: cannot read the memory size from " + memory + "damaged/proc/meminfo\n"},
      {{"metrics", "cpu", "--since-boot", "--root", proc + "x86-4cpu", "--smc", sim},
       0, "Intel(R) Core(TM) i5-7500 CPU @ 3.40GHz\n"
          "processors 4   tasks 5   threads 1234   temperature 42.5 °C\n"
          "usage      user 7%   system 2%   idle 91%\n"
          "load       0.52 0.58 0.59\n"
          "cpu0       user   7%   system   2%   idle  91%\n"
          "cpu1       user   9%   system   2%   idle  88%\n"
          "cpu2       user   6%   system   2%   idle  92%\n"
          "cpu3       user   6%   system   2%   idle  92%\n", ""},
      {{"metrics", "--smc", sim, "--root", proc + "arm64-hardware", "cpu", "--since-boot", "--json"},
       0, R"({"brand":"Qualcomm Technologies, Inc SM8150","cpuCount":4,"cpusUsageArr":[{"idle":70,"system":10,)"
          R"("user":20},{"idle":70,"system":10,"user":20},{"idle":70,"system":10,"user":20},{"idle":70,)"
          R"("system":10,"user":20}],"idlePercent":70,"loadAverage":[1.0,0.5,0.25],"systemUsagePercent":10,)"
          R"("taskCount":1,"temperature":42.5,"threadCount":300,"userUsagePercent":20})" "\n", ""},
      {{"metrics", "--smc", "sim:/nonexistent.json", "disk"}, 1, "", missing},
      {{"post", "X", "--user-info", "[1, 2]"}, 2, "", "trellis: --user-info must be a JSON object\n"},
      {{"post", "X", "--user-info", "@/nonexistent/info.json"}, 2, "", "trellis: cannot read /nonexistent/info.json\n"},
      {{"post", "X", "--user-info", nested(22)},
       2, "", "trellis: user information nested too deep to post (at most 21 levels)\n"},
      {{"post", "X", "--user-info", nested(21)}, 1, "", noBus},
      {{"pause"}, 1, "", noBus},
      {{"--bus", "system", "quit"}, 1, "", "trellis: cannot connect to the system bus: No such file or directory\n"},
      {{"public-ip", "--host", "example.net/x?"},
       2, "", "trellis: not a host name or address (with an optional :port): example.net/x?\n"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = trellis(c.words);
    const std::string line = ::testing::PrintToString(c.words);
    EXPECT_EQ(outcome.status, c.status) << line;
    EXPECT_EQ(outcome.out, c.out) << line;
    EXPECT_EQ(outcome.err, c.err) << line;
  }

  // A doctor whose SMC cannot be had says so and goes on; so does one without a bus.
  const Outcome doctor = trellis({"doctor", "--smc", "sim:/nonexistent.json", "--wait", "0"});
  EXPECT_EQ(doctor.status, 1);
  EXPECT_EQ(doctor.err, missing);
  EXPECT_EQ(doctor.out.rfind("SMC        cannot be had with --smc sim:/nonexistent.json\nBus        no session bus\n", 0),
            0u) << doctor.out;
  EXPECT_NE(doctor.out.find("Missing    - the SMC transport asked for"), std::string::npos) << doctor.out;
}

TEST(CompanionTest, WatchPrintsJsonLinesAndOneLinePerCycle) {
  EXPECT_EQ(jsonLine("NSNotificationNameCpuTemperature", Dictionary{{"cpu", 42.5}}),
            R"({"name":"NSNotificationNameCpuTemperature","userInfo":{"cpu":42.5}})");
  EXPECT_EQ(jsonLine("X", Dictionary{{"fan", Dictionary{{"count", 0}}}}), R"({"name":"X","userInfo":{"fan":{"count":0}}})");
  EXPECT_EQ(jsonLine("X", std::nullopt), R"({"name":"X","userInfo":null})");

  CycleLine cycle;
  EXPECT_FALSE(cycle.add("NSNotificationNameCpuTemperature", Dictionary{{"cpu", 51.25}}));
  EXPECT_FALSE(cycle.add("NSNotificationNameSSDTemperature", Dictionary{{"disk", 0.0}}));
  Dictionary fans{{"count", 3},
                  {"fans", Array{Dictionary{{"ID", "Left"}, {"speed", 2160}, {"minSpeed", 1200}, {"maxSpeed", 6156}},
                                 Dictionary{{"ID", ""}, {"speed", 0}, {"minSpeed", 1200}, {"maxSpeed", -1}},
                                 // A sender's ID reaches the terminal with no control character in it.
                                 Dictionary{{"ID", "\x1b]0;x\x07\xc2\x9b\xff\xe0\x80\x9b\\é\x7f"}}}}};
  EXPECT_EQ(cycle.add("NSNotificationNameFansSpeed", Dictionary{{"fan", fans}}),
            "CPU 51.2 °C   disk 0.0 °C   3 fans: Left 2160 rpm (1200-6156), 0 rpm, "
            "\\x1b]0;x\\x07\\u009b\\xff\\xe0\\x80\\x9b\\\\é\\x7f 0 rpm");
  // A reading that went missing shows as unknown rather than as a stale value.
  EXPECT_EQ(cycle.add("NSNotificationNameFansSpeed", Dictionary{{"fan", Dictionary{{"count", 1}}}}),
            "CPU ?   disk ?   1 fan");
  EXPECT_EQ(cycle.add("NSNotificationNameFansSpeed", Dictionary{{"fan", Dictionary{}}}), "CPU ?   disk ?   0 fans");
  EXPECT_EQ(cycle.add("NSNotificationNameFansSpeed", std::nullopt), "CPU ?   disk ?   0 fans");
}

TEST(CompanionTest, ReadingsOfAnySmcKeyAndRecordsOfNothingGiveValidJson) {
  SmcKeyValue value{};
  std::snprintf(value.key, sizeof value.key, "X\"\x01Y");
  std::snprintf(value.dataType, sizeof value.dataType, "fpe2");
  value.dataSize = 2;
  value.bytes[0] = 0x0f;
  value.bytes[1] = 0xa0;
  EXPECT_EQ(smcReadJson(value), R"({"key": "X\"\u0001Y", "type": "fpe2", "size": 2, "bytes": "0fa0", "value": 1000})");
  // A CPU record not read yet: no brand, no lists.
  EXPECT_EQ(cpuRecordJson(CpuModel()), R"({"cpuCount":0,"idlePercent":0,"systemUsagePercent":0,"taskCount":0,)"
                                       R"("temperature":0.0,"threadCount":0,"userUsagePercent":0})");
}

}  // namespace
}  // namespace trellis::cli
