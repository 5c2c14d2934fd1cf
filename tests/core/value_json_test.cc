// Values as JSON: the exact text each kind prints as (floats in particular), how numbers read
// back, and that bad or deeply nested text gives nothing and a reason instead of an exception.
#include "model/value_json.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace trellis {
namespace {

std::string printed(const Value& value) { return toJson(value).dump(); }

TEST(ValueJsonTest, EveryKindPrintsAsExpected) {
  EXPECT_EQ(printed(Null{}), "null");
  EXPECT_EQ(printed(true), "true");
  EXPECT_EQ(printed(std::numeric_limits<std::int32_t>::min()), "-2147483648");
  EXPECT_EQ(printed(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(printed(std::numeric_limits<std::uint32_t>::max()), "4294967295");
  EXPECT_EQ(printed(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
  EXPECT_EQ(printed(0.1), "0.1");
  EXPECT_EQ(printed("a \"quoted\" line\n"), R"("a \"quoted\" line\n")");
  EXPECT_EQ(printed(Bytes{0x00, 0x0f, 0xab, 0xff}), R"("000fabff")");
  EXPECT_EQ(printed(Bytes{}), R"("")");
  EXPECT_EQ(printed(Date{1700000000.5}), "1700000000.5");
  EXPECT_EQ(printed(Array{}), "[]");
  EXPECT_EQ(printed(Dictionary{}), "{}");
  EXPECT_EQ(printed(Dictionary{{"fan", Dictionary{{"count", std::int32_t{2}},
                                                  {"fans", Array{Dictionary{{"ID", std::int32_t{0}}}, Null{}}}}},
                               {"cpu", 42.5f}}),
            R"({"cpu":42.5,"fan":{"count":2,"fans":[{"ID":0},null]}})");
}

TEST(ValueJsonTest, FloatsPrintAsTheShortestTextOfTheFloat) {
  EXPECT_EQ(printed(42.5f), "42.5");
  EXPECT_EQ(printed(0.1f), "0.1");
  EXPECT_EQ(printed(-36.6f), "-36.6");
  EXPECT_EQ(printed(3.4028235e38f), "3.4028235e+38");
  // JSON has no text for these.
  EXPECT_EQ(printed(std::numeric_limits<float>::quiet_NaN()), "null");
  EXPECT_EQ(printed(std::numeric_limits<float>::infinity()), "null");

  // Readings as sensors give them (1/256 degree steps, millidegrees, quarter revolutions per
  // minute) print with no more significant digits than the float's own shortest text; printing
  // the float's double would give up to 17.
  auto digits = [](std::string_view text) {
    text = text.substr(0, text.find_first_of("eE"));
    std::string kept;
    for (char c : text) {
      if (c >= '0' && c <= '9') kept.push_back(c);
    }
    kept.erase(0, kept.find_first_not_of('0'));
    kept.erase(kept.find_last_not_of('0') + 1);
    return kept.size();
  };
  auto shortest = [](float number) {
    char buffer[64];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, number).ptr;
    return std::string(buffer, end);
  };
  std::vector<float> readings;
  for (int step = -20 * 256; step <= 130 * 256; ++step) readings.push_back(static_cast<float>(step) / 256.0f);
  for (int milli = -20000; milli <= 130000; milli += 7) readings.push_back(static_cast<float>(milli) / 1000.0f);
  for (int quarter = 0; quarter <= 4 * 8000; quarter += 3) readings.push_back(static_cast<float>(quarter) / 4.0f);
  for (float number : readings) {
    const std::string text = printed(number);
    ASSERT_LE(digits(text), digits(shortest(number))) << text << " for " << shortest(number);
  }

  // Any float at all reads back as itself.
  std::mt19937 random(7);
  for (int i = 0; i < 20000; ++i) {
    std::uint32_t bits = static_cast<std::uint32_t>(random());
    float number;
    std::memcpy(&number, &bits, sizeof number);
    if (!std::isfinite(number)) continue;
    const std::string text = printed(number);
    float back = 0;
    std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(back, number) << text;
  }
}

TEST(ValueJsonTest, DocumentsReadBackAsValuesOfTheNarrowestKind) {
  const std::pair<const char*, Value> rows[] = {
      {"0", std::int32_t{0}},
      {"2147483647", std::int32_t{2147483647}},
      {"-2147483648", std::numeric_limits<std::int32_t>::min()},
      {"2147483648", std::int64_t{2147483648}},
      {"-2147483649", std::int64_t{-2147483649}},
      {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      {"9223372036854775808", std::uint64_t{9223372036854775808u}},
      {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
      {"18446744073709551616", 18446744073709551616.0},
      {"1.0", 1.0},
      {"-0.5e3", -500.0},
      // nlohmann keeps the last of a repeated key.
      {R"({"a": [1, "two", null, true, {"b": 2.5}], "a": false, "c": {}})",
       Dictionary{{"a", false}, {"c", Dictionary{}}}},
  };
  for (const auto& [text, expected] : rows) {
    std::optional<Value> value = parseJson(text);
    ASSERT_TRUE(value.has_value()) << text;
    EXPECT_EQ(*value, expected) << text << " read as " << kindName(value->kind());
  }
  const Value original = Dictionary{{"list", Array{std::int32_t{1}, "two", Null{}, true, Dictionary{{"b", 2.5}}}},
                                    {"big", std::numeric_limits<std::uint64_t>::max()},
                                    {"negative", std::int64_t{-5000000000}}};
  EXPECT_EQ(parseJson(toJson(original).dump()), original);
  // A JSON value that already exists converts the same way.
  EXPECT_EQ(fromJson(nlohmann::json::binary({1, 2})), Value(Bytes{1, 2}));
  EXPECT_EQ(fromJson(nlohmann::json(nlohmann::json::value_t::discarded)), std::nullopt);
}

TEST(ValueJsonTest, NestingIsLimitedAndBadTextGivesNothing) {
  // Depth counts containers: [[[1]]] is 3 deep.
  EXPECT_EQ(parseJson("[[[1]]]", nullptr, 3), Value(Array{Array{Array{std::int32_t{1}}}}));
  std::string error;
  EXPECT_EQ(parseJson("[[[1]]]", &error, 2), std::nullopt);
  EXPECT_NE(error.find("deeper than 2"), std::string::npos) << error;
  EXPECT_EQ(parseJson(R"({"a": {"b": {}}})", nullptr, 2), std::nullopt);
  EXPECT_EQ(parseJson("1", nullptr, 0), Value(std::int32_t{1}));

  nlohmann::json deep = nlohmann::json::array();
  for (int i = 0; i < 64; ++i) deep = nlohmann::json::array({deep});
  EXPECT_EQ(fromJson(deep), std::nullopt);  // 65 deep; the default limit is 64
  EXPECT_TRUE(fromJson(deep, 65).has_value());

  // Text far deeper than any limit is refused while it is read, without exhausting the stack.
  const std::string hostile = std::string(200000, '[') + std::string(200000, ']');
  error.clear();
  EXPECT_EQ(parseJson(hostile, &error), std::nullopt);
  EXPECT_FALSE(error.empty());

  // Text that is not JSON gives nothing and a reason, and no exception when no reason is wanted.
  for (const char* text : {"", "{", "{\"a\":}", "nul", "{} x", "[1,]", "'single'", "{\"a\" 1}", "\"\xff\"", "1e999"}) {
    std::string error;
    EXPECT_EQ(parseJson(text, &error), std::nullopt) << text;
    EXPECT_FALSE(error.empty()) << text;
    EXPECT_EQ(parseJson(text), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace trellis
