// The property-list value: number conversions at the edges of their range, the depth of deep
// nesting, and what counts as equal.
#include "model/value.h"

#include <gtest/gtest.h>

#include <limits>

namespace trellis {
namespace {

TEST(ValueTest, ToInt64RefusesWhatDoesNotFit) {
  EXPECT_EQ(Value(std::numeric_limits<std::uint64_t>::max()).toInt64(), std::nullopt);
  EXPECT_EQ(Value(std::uint64_t{9223372036854775807u}).toInt64(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Value(std::uint64_t{9223372036854775808u}).toInt64(), std::nullopt);
  EXPECT_EQ(Value(std::numeric_limits<std::int64_t>::min()).toInt64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Value(std::numeric_limits<std::uint32_t>::max()).toInt64(), 4294967295);

  // Floating point: truncated toward zero, refused at 2^63 and beyond and when not finite.
  EXPECT_EQ(Value(2.9).toInt64(), 2);
  EXPECT_EQ(Value(-2.9f).toInt64(), -2);
  EXPECT_EQ(Value(-9223372036854775808.0).toInt64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Value(9223372036854775808.0).toInt64(), std::nullopt);
  EXPECT_EQ(Value(9223372036854774784.0).toInt64(), 9223372036854774784);  // the largest double below 2^63
  EXPECT_EQ(Value(-9223372036854777856.0).toInt64(), std::nullopt);
  EXPECT_EQ(Value(9.3e18f).toInt64(), std::nullopt);
  EXPECT_EQ(Value(std::numeric_limits<double>::quiet_NaN()).toInt64(), std::nullopt);
  EXPECT_EQ(Value(-std::numeric_limits<float>::infinity()).toInt64(), std::nullopt);

  // Booleans count as 0 and 1; nothing else is a number.
  EXPECT_EQ(Value(true).toInt64(), 1);
  EXPECT_EQ(Value(true).toDouble(), 1.0);
  EXPECT_FALSE(Value(true).isNumber());
  for (const Value& other : {Value(), Value("12"), Value(Date{5}), Value(Bytes{1}), Value(Array{1.0})}) {
    EXPECT_EQ(other.toInt64(), std::nullopt) << kindName(other.kind());
    EXPECT_EQ(other.toDouble(), std::nullopt) << kindName(other.kind());
    EXPECT_FALSE(other.isNumber()) << kindName(other.kind());
  }
}

TEST(ValueTest, DepthCountsNestedContainers) {
  EXPECT_EQ(Value(std::int32_t{1}).depth(), 0);
  EXPECT_EQ(Value(Array{}).depth(), 1);
  EXPECT_EQ(Value(Dictionary{{"a", 1.0}}).depth(), 1);
  // The deepest branch counts, wherever it is.
  EXPECT_EQ(Value(Dictionary{{"a", Array{}}, {"b", Array{Dictionary{{"c", Array{}}}}}, {"d", 1.0}}).depth(), 4);

  // Deep enough that a recursive count would be at risk; building and destroying it is not.
  Value deep = Array{};
  for (int i = 1; i < 3000; ++i) {
    if (i % 2 != 0) {
      Dictionary outer;
      outer.emplace("k", std::move(deep));
      deep = std::move(outer);
    } else {
      Array outer;
      outer.push_back(std::move(deep));
      deep = std::move(outer);
    }
  }
  EXPECT_EQ(deep.depth(), 3000);
}

TEST(ValueTest, EqualityComparesKindsAndContents) {
  // Same number, different kinds: not equal.
  EXPECT_NE(Value(std::int32_t{1}), Value(std::int64_t{1}));
  EXPECT_NE(Value(std::uint32_t{1}), Value(std::int32_t{1}));
  EXPECT_NE(Value(0.5f), Value(0.5));
  EXPECT_NE(Value(true), Value(std::int32_t{1}));
  EXPECT_NE(Value(), Value(Array{}));
  EXPECT_NE(Value(Date{1}), Value(1.0));
  EXPECT_NE(Value("1"), Value(Bytes{'1'}));

  // Containers compare element by element; a dictionary does not depend on insertion order.
  Dictionary one;
  one["a"] = std::int32_t{1};
  one["b"] = Array{"x", Dictionary{{"c", Null{}}}};
  Dictionary other;
  other["b"] = Array{"x", Dictionary{{"c", Null{}}}};
  other["a"] = std::int32_t{1};
  EXPECT_EQ(Value(one), Value(other));
  other["b"] = Array{"x", Dictionary{{"c", false}}};
  EXPECT_NE(Value(one), Value(other));
  EXPECT_NE(Value(Array{1.0, 2.0}), Value(Array{2.0, 1.0}));

  const Value dictionary(one);
  ASSERT_NE(dictionary.find("a"), nullptr);
  EXPECT_EQ(*dictionary.find("a"), Value(std::int32_t{1}));
  EXPECT_EQ(dictionary.find("z"), nullptr);
  EXPECT_EQ(Value(Array{"a"}).find("a"), nullptr);
}

}  // namespace
}  // namespace trellis
