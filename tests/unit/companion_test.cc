// What the companion prints for the agent's readings.
#include <gtest/gtest.h>

#include "cli/companion.h"

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
