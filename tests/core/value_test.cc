// The property-list value and its JSON form: number conversions at the edges of their range, the
// depth of deep nesting, equality, the exact text each kind prints as (floats in particular), the
// kinds numbers read back as, and bad or deeply nested text giving nothing and a reason.
#include "model/value.h"

#include <gtest/gtest.h>

#include <limits>

#include "model/value_json.h"

namespace trellis {
namespace {

using Int64 = std::optional<std::int64_t>;
template <class T>
using Limits = std::numeric_limits<T>;

std::string printed(const Value& value) { return toJson(value).dump(); }

TEST(ValueTest, NumbersConvertWhenTheyFitAndNothingElseIsANumber) {
  // Floating point truncates toward zero and is refused at 2^63 and beyond and when not finite;
  // booleans count as 0 and 1 without being numbers.
  const std::pair<Value, Int64> rows[] = {
      {Value(Limits<std::uint64_t>::max()), std::nullopt}, {Value(std::uint64_t{9223372036854775807u}), Limits<std::int64_t>::max()},
      {Value(std::uint64_t{9223372036854775808u}), std::nullopt}, {Value(Limits<std::int64_t>::min()), Limits<std::int64_t>::min()},
      {Value(Limits<std::uint32_t>::max()), 4294967295}, {Value(2.9), 2}, {Value(-2.9f), -2},
      {Value(-9223372036854775808.0), Limits<std::int64_t>::min()}, {Value(9223372036854775808.0), std::nullopt},
      {Value(9223372036854774784.0), 9223372036854774784}, {Value(-9223372036854777856.0), std::nullopt},
      {Value(9.3e18f), std::nullopt}, {Value(Limits<double>::quiet_NaN()), std::nullopt},
      {Value(-Limits<float>::infinity()), std::nullopt}, {Value(true), 1}};
  for (const auto& [value, expected] : rows) EXPECT_EQ(value.toInt64(), expected) << printed(value);
  EXPECT_EQ(Value(true).toDouble(), 1.0);
  EXPECT_FALSE(Value(true).isNumber());
  EXPECT_TRUE(Value(0.5f).isNumber());
  for (const Value& other : {Value(), Value("12"), Value(Date{5}), Value(Bytes{1}), Value(Array{1.0})}) {
    EXPECT_EQ(other.toInt64(), std::nullopt) << kindName(other.kind());
    EXPECT_EQ(other.toDouble(), std::nullopt) << kindName(other.kind());
    EXPECT_FALSE(other.isNumber()) << kindName(other.kind());
  }
}

TEST(ValueTest, DepthCountsTheDeepestBranchOfContainersAndEqualityComparesKinds) {
  EXPECT_EQ(Value(1).depth(), 0);
  EXPECT_EQ(Value(Array{}).depth(), 1);
  EXPECT_EQ(Value(Dictionary{{"a", Array{}}, {"b", Array{Dictionary{{"c", Array{}}}}}, {"d", 1.0}}).depth(), 4);
  Value deep = Array{};  // deep enough that a recursive count would be at risk
  for (int i = 1; i < 3000; ++i) {
    Dictionary dictionary;
    Array array;
    if (i % 2) dictionary.emplace("k", std::move(deep));
    else array.push_back(std::move(deep));
    deep = i % 2 ? Value(std::move(dictionary)) : Value(std::move(array));
  }
  EXPECT_EQ(deep.depth(), 3000);

  EXPECT_NE(Value(std::int32_t{1}), Value(std::int64_t{1}));
  EXPECT_NE(Value(0.5f), Value(0.5));
  EXPECT_NE(Value(true), Value(1));
  EXPECT_NE(Value("1"), Value(Bytes{'1'}));
  EXPECT_EQ(Value(Dictionary{{"a", 1}, {"b", Array{"x", Null{}}}}), Value(Dictionary{{"b", Array{"x", Null{}}}, {"a", 1}}));
  EXPECT_NE(Value(Array{1.0, 2.0}), Value(Array{2.0, 1.0}));
  const Value dictionary(Dictionary{{"a", 1}});
  EXPECT_EQ(*dictionary.find("a"), Value(1));
  EXPECT_EQ(dictionary.find("z"), nullptr);
  EXPECT_EQ(Value(Array{"a"}).find("a"), nullptr);
}

TEST(ValueTest, AssigningKeepingStorageGivesTheSameValueAndKeepsWhatAgrees) {
  // Keys gained, lost and kept (before, between and after the others), arrays that grow and
  // shrink, and a kind that changes, at every level.
  const Value shapes[] = {
      Value(),
      Value(Dictionary{{"b", 1}, {"d", Array{"x", Dictionary{{"k", 1}}}}, {"f", "text"}}),
      Value(Dictionary{{"a", 2}, {"b", "now text"}, {"c", Array{}}, {"d", Array{"y"}}, {"g", Null{}}}),
      Value(Dictionary{{"d", Array{"x", Dictionary{{"j", 2}, {"k", 3}}, 4}}, {"z", Bytes{1, 2}}}),
      Value(Array{Dictionary{{"a", 1}}, Array{1, 2}}),
      Value(Dictionary{}),
      Value("a text long enough to live outside the string itself"),
  };
  for (const Value& before : shapes) {
    for (const Value& after : shapes) {
      Value target = before;
      assignKeepingStorage(target, after);
      EXPECT_EQ(target, after) << printed(before) << " -> " << printed(after);
    }
  }
  // Entries and text buffers that agree in shape are the same storage afterwards.
  Dictionary form{{"fans", Array{Dictionary{{"ID", "a name longer than the short-string buffer"}, {"speed", 1}}}}};
  const Value* entry = &form.find("fans")->second;
  const char* text = (*entry->array())[0].find("ID")->string()->data();
  assignKeepingStorage(form, Dictionary{{"fans", Array{Dictionary{{"ID", "another name, as long as the first one"},
                                                                    {"speed", 2}}}}});
  EXPECT_EQ(&form.find("fans")->second, entry);
  EXPECT_EQ((*entry->array())[0].find("ID")->string()->data(), text);
  EXPECT_EQ(*(*entry->array())[0].find("speed"), Value(2));
}

TEST(ValueJsonTest, EveryKindPrintsAsItsExactText) {
  const std::pair<Value, const char*> rows[] = {
      {Null{}, "null"}, {true, "true"}, {Limits<std::int32_t>::min(), "-2147483648"},
      {Limits<std::int64_t>::min(), "-9223372036854775808"}, {Limits<std::uint64_t>::max(), "18446744073709551615"},
      {0.1, "0.1"}, {42.5f, "42.5"}, {0.1f, "0.1"}, {-36.6f, "-36.6"}, {3.4028235e38f, "3.4028235e+38"},
      {Limits<float>::quiet_NaN(), "null"}, {Limits<float>::infinity(), "null"},
      {"a \"quoted\" line\n", R"("a \"quoted\" line\n")"}, {Bytes{0x00, 0x0f, 0xab, 0xff}, R"("000fabff")"},
      {Date{1700000000.5}, "1700000000.5"}, {Array{}, "[]"}, {Dictionary{}, "{}"},
      {Dictionary{{"fan", Dictionary{{"count", 2}, {"fans", Array{Dictionary{{"ID", 0}}, Null{}}}}}, {"cpu", 42.5f}},
       R"({"cpu":42.5,"fan":{"count":2,"fans":[{"ID":0},null]}})"}};
  for (const auto& [value, text] : rows) EXPECT_EQ(printed(value), text);  // floats: the float's shortest text
}

TEST(ValueJsonTest, TextReadsBackAsValuesOfTheNarrowestKind) {
  const std::pair<const char*, Value> rows[] = {
      {"0", 0}, {"2147483647", 2147483647}, {"-2147483648", Limits<std::int32_t>::min()},
      {"2147483648", std::int64_t{2147483648}}, {"-2147483649", std::int64_t{-2147483649}},
      {"9223372036854775807", Limits<std::int64_t>::max()}, {"9223372036854775808", std::uint64_t{9223372036854775808u}},
      {"18446744073709551616", 18446744073709551616.0}, {"-0.5e3", -500.0},
      // The last of a repeated key wins.
      {R"({"a": [1, "two", null, true, {"b": 2.5}], "a": false, "c": {}})", Dictionary{{"a", false}, {"c", Dictionary{}}}}};
  for (const auto& [text, expected] : rows) {
    std::optional<Value> value = parseJson(text);
    ASSERT_TRUE(value.has_value()) << text;
    EXPECT_EQ(*value, expected) << text << " read as " << kindName(value->kind());
  }
  EXPECT_EQ(fromJson(nlohmann::json::binary({1, 2})), Value(Bytes{1, 2}));
  EXPECT_EQ(fromJson(nlohmann::json(nlohmann::json::value_t::discarded)), std::nullopt);
}

TEST(ValueJsonTest, NestingIsLimitedAndBadTextGivesNothingAndAReason) {
  std::string error;
  EXPECT_EQ(parseJson("[[[1]]]", &error, 2), std::nullopt);
  EXPECT_EQ(error, "nested deeper than 2 levels");
  EXPECT_EQ(parseJson(R"({"a": {"b": {}}})", nullptr, 2), std::nullopt);
  EXPECT_EQ(parseJson("1", nullptr, 0), Value(1));
  EXPECT_EQ(parseJson(R"(["\"[[["])", nullptr, 1), Value(Array{"\"[[["})) << "brackets in text do not count";
  nlohmann::json deep = nlohmann::json::array();
  for (int i = 0; i < 64; ++i) deep = nlohmann::json::array({deep});
  EXPECT_EQ(fromJson(deep), std::nullopt);  // 65 deep; the default limit is 64
  EXPECT_EQ(fromJson(deep, 65)->depth(), 65);
  // Far deeper than any limit: refused while read, without exhausting the stack.
  for (const std::string& text : {std::string(200000, '[') + std::string(200000, ']'), std::string(), std::string("{"),
                                  std::string("nul"), std::string("{} x"), std::string("[1,]"), std::string("\"\xff\""),
                                  std::string("1e999")}) {
    error.clear();
    EXPECT_EQ(parseJson(text, &error), std::nullopt) << text.substr(0, 10);
    EXPECT_FALSE(error.empty()) << text.substr(0, 10);
    EXPECT_EQ(parseJson(text), std::nullopt) << "no exception when no reason is wanted";
  }
}

}  // namespace
}  // namespace trellis
