// What the companion prints for the agent's readings.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "cli/bus_commands.h"
#include "cli/companion.h"
#include "cli/smc_commands.h"
#include "smc/smc_client.h"
#include "support/service_setters.h"

namespace trellis::cli {
namespace {

TEST(CompanionTest, JsonLinesKeepNumbersAsNumbers) {
  EXPECT_EQ(jsonLine("NSNotificationNameCpuTemperature", Dictionary{{"cpu", 42.5}}),
            R"({"name":"NSNotificationNameCpuTemperature","userInfo":{"cpu":42.5}})");
  EXPECT_EQ(jsonLine("NSNotificationNameFansSpeed", Dictionary{{"fan", Dictionary{{"count", 0}}}}),
            R"({"name":"NSNotificationNameFansSpeed","userInfo":{"fan":{"count":0}}})");
  EXPECT_EQ(jsonLine("X", std::nullopt), R"({"name":"X","userInfo":null})");
}

TEST(CompanionTest, ACycleLineComesWithTheFanReadingAndStartsAfresh) {
  CycleLine cycle;
  EXPECT_FALSE(cycle.add("NSNotificationNameCpuTemperature", Dictionary{{"cpu", 51.25}}));
  EXPECT_FALSE(cycle.add("NSNotificationNameSSDTemperature", Dictionary{{"disk", 0.0}}));
  Dictionary fans{{"count", 2},
                  {"fans", Array{Dictionary{{"ID", "Left"}, {"speed", 2160}, {"minSpeed", 1200}, {"maxSpeed", 6156}},
                                 Dictionary{{"speed", 0}, {"minSpeed", -1}, {"maxSpeed", -1}}}}};
  auto line = cycle.add("NSNotificationNameFansSpeed", Dictionary{{"fan", fans}});
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "CPU 51.2 °C   disk 0.0 °C   2 fans: Left 2160 rpm (1200-6156), 0 rpm");

  // A reading that went missing shows as unknown rather than as a stale value.
  line = cycle.add("NSNotificationNameFansSpeed", Dictionary{{"fan", Dictionary{{"count", 0}}}});
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "CPU ?   disk ?   0 fans");
  EXPECT_EQ(*cycle.add("NSNotificationNameFansSpeed", std::nullopt), "CPU ?   disk ?   0 fans");
}

}  // namespace
}  // namespace trellis::cli


namespace trellis::cli {
namespace {

int smcRead(const std::string& spec, const std::string& root, const std::string& key, bool json) {
  std::vector<std::string> words = {"trellis", "smc", "read", key, "--smc", spec, "--root", root};
  if (json) words.push_back("--json");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  return runCompanion(static_cast<int>(argv.size()), argv.data());
}

SmcKeyValue keyValue(const char* key, const char* type, std::uint32_t size, std::initializer_list<std::uint8_t> bytes) {
  SmcKeyValue value{};
  std::snprintf(value.key, sizeof value.key, "%s", key);
  std::snprintf(value.dataType, sizeof value.dataType, "%s", type);
  value.dataSize = size;
  std::size_t i = 0;
  for (std::uint8_t b : bytes) value.bytes[i++] = b;
  return value;
}

TEST(CompanionSmcTest, TypedReadsPrintExactlyAsDocumented) {
  EXPECT_EQ(smcReadJson(keyValue("TC0P", "sp78", 2, {0x2a, 0x80})),
            R"({"key": "TC0P", "type": "sp78", "size": 2, "bytes": "2a80", "value": 42.5})");
  EXPECT_EQ(smcReadJson(keyValue("FNum", "ui8 ", 1, {3})),
            R"({"key": "FNum", "type": "ui8 ", "size": 1, "bytes": "03", "value": 3})");
  EXPECT_EQ(smcReadJson(keyValue("F0Ac", "fpe2", 2, {0x0f, 0xa0})),
            R"({"key": "F0Ac", "type": "fpe2", "size": 2, "bytes": "0fa0", "value": 1000})");
  EXPECT_EQ(smcReadText(keyValue("TC0P", "sp78", 2, {0x2a, 0x80})), "TC0P  sp78  2 bytes  2a80  42.5");
  // A type holding a quote or a control byte still gives valid JSON.
  EXPECT_EQ(smcReadJson(keyValue("X\"\x01Y", "{fds", 0, {})),
            R"({"key": "X\"\u0001Y", "type": "{fds", "size": 0, "bytes": "", "value": 0})");
}

TEST(CompanionSmcTest, ReadsThroughTheChosenTransportAndFailsClearly) {
  char path[] = "/tmp/trellis-smc-XXXXXX.json";
  int fd = mkstemps(path, 5);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << R"({"keys": [{"key": "TC0P", "type": "sp78", "bytes": "2a80"}]})";
  const std::string spec = std::string("sim:") + path;

  SmcResetProcessStateForTesting();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(smcRead(spec, "/", "TC0P", /*json=*/true), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "{\"key\": \"TC0P\", \"type\": \"sp78\", \"size\": 2, \"bytes\": \"2a80\", \"value\": 42.5}\n");

  SmcResetProcessStateForTesting();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(smcRead(spec, "/", "TH0x", /*json=*/true), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "trellis: the SMC has no key TH0x\n");

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(smcRead(spec, "/", "TOOLONG", /*json=*/false), 2);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("four characters"), std::string::npos);

  SmcResetProcessStateForTesting();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(smcRead("none", "/", "TC0P", /*json=*/false), 1);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("no SMC connection"), std::string::npos);

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(smcRead("sim:/nonexistent/table.json", "/", "TC0P", /*json=*/false), 1);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("/nonexistent/table.json"), std::string::npos);
  SmcResetProcessStateForTesting();
  testing::setService(&Services::smc, testing::noSmc());
  unlink(path);
}

}  // namespace
}  // namespace trellis::cli
