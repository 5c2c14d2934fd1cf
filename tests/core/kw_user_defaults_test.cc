// KwUserDefaults over an in-memory storage: the three families write to and read from the right
// store, missing values, one flush per write and per batch, group management, and the kind
// conversions on reading. Single-threaded except the shared-instance case.
#include "tools/kw_user_defaults.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

#include "support/memory_preferences.h"
#include "support/service_setters.h"

namespace trellis {
namespace {

using testing::MemoryStorage;

// One family's operations, with the group name (if any) bound.
struct Family {
  std::function<void(const Value&, std::string_view)> setObject;
  std::function<std::optional<Value>(std::string_view)> object;
  std::function<void(std::string_view)> remove;
  std::function<std::optional<std::string>(std::string_view)> string;
  std::function<std::optional<Array>(std::string_view)> array;
  std::function<std::optional<Dictionary>(std::string_view)> dictionary;
  std::function<std::optional<Bytes>(std::string_view)> data;
  std::function<void(std::int64_t, std::string_view)> setInteger;
  std::function<std::int64_t(std::string_view)> integer;
  std::function<void(float, std::string_view)> setFloat;
  std::function<float(std::string_view)> floatValue;
  std::function<void(double, std::string_view)> setDouble;
  std::function<double(std::string_view)> doubleValue;
  std::function<void(bool, std::string_view)> setBool;
  std::function<bool(std::string_view)> boolValue;
  std::function<void(std::string_view, std::string_view)> setURL;
  std::function<std::optional<std::string>(std::string_view)> url;
  std::function<void(const Dictionary&)> setObjects;
};

// The variadic part is empty for the two families without a group argument, or `"name",`.
#define FAMILY(d, Suffix, Batch, ...)                                                      \
  Family {                                                                                      \
    [&](const Value& v, std::string_view k) { d.setObject##Suffix(v, __VA_ARGS__ k); },               \
        [&](std::string_view k) { return d.object##Suffix(__VA_ARGS__ k); },                          \
        [&](std::string_view k) { d.removeObject##Suffix(__VA_ARGS__ k); },                           \
        [&](std::string_view k) { return d.string##Suffix(__VA_ARGS__ k); },                          \
        [&](std::string_view k) { return d.array##Suffix(__VA_ARGS__ k); },                           \
        [&](std::string_view k) { return d.dictionary##Suffix(__VA_ARGS__ k); },                      \
        [&](std::string_view k) { return d.data##Suffix(__VA_ARGS__ k); },                            \
        [&](std::int64_t v, std::string_view k) { d.setInteger##Suffix(v, __VA_ARGS__ k); },          \
        [&](std::string_view k) { return d.integer##Suffix(__VA_ARGS__ k); },                         \
        [&](float v, std::string_view k) { d.setFloat##Suffix(v, __VA_ARGS__ k); },                   \
        [&](std::string_view k) { return d.float##Suffix(__VA_ARGS__ k); },                           \
        [&](double v, std::string_view k) { d.setDouble##Suffix(v, __VA_ARGS__ k); },                 \
        [&](std::string_view k) { return d.double##Suffix(__VA_ARGS__ k); },                          \
        [&](bool v, std::string_view k) { d.setBool##Suffix(v, __VA_ARGS__ k); },                     \
        [&](std::string_view k) { return d.bool##Suffix(__VA_ARGS__ k); },                            \
        [&](std::string_view u, std::string_view k) { d.setURL##Suffix(u, __VA_ARGS__ k); },          \
        [&](std::string_view k) { return d.URL##Suffix(__VA_ARGS__ k); },                             \
        [&](const Dictionary& all) { d.setObjectsWith##Batch(__VA_ARGS__ all); },                     \
  }

void expectAllMissing(const Family& f, const std::string& where) {
  SCOPED_TRACE(where);
  EXPECT_EQ(f.object("k"), std::nullopt);
  EXPECT_EQ(f.string("k"), std::nullopt);
  EXPECT_EQ(f.array("k"), std::nullopt);
  EXPECT_EQ(f.dictionary("k"), std::nullopt);
  EXPECT_EQ(f.data("k"), std::nullopt);
  EXPECT_EQ(f.integer("k"), 0);
  EXPECT_EQ(f.floatValue("k"), 0.0f);
  EXPECT_EQ(f.doubleValue("k"), 0.0);
  EXPECT_FALSE(f.boolValue("k"));
  EXPECT_EQ(f.url("k"), std::nullopt);
}

TEST(KwUserDefaultsTest, EachFamilyWritesFlushesAndReadsItsOwnStore) {
  MemoryStorage storage;
  KwUserDefaults d(storage);
  d.setGroupName("current");
  ASSERT_NE(d.addGroupWithName("named"), nullptr);
  struct Case {
    const char* name;
    Family family;
    std::string domain;
  } cases[] = {
      {"plain", FAMILY(d, ForKey, Keys), ""},
      {"group key", FAMILY(d, ForGroupKey, GroupKeys), "suite:current"},
      {"named group", FAMILY(d, ForGroup, Group, "named", ), "suite:named"},
  };
  const Array array{Value(1), Value("two")};
  const Dictionary dictionary{{"a", Value(1.5)}};
  const Bytes bytes{0, 255};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Family& f = c.family;
    testing::MemoryDomain& domain = *storage.domain(c.domain);
    expectAllMissing(f, "before any write");

    f.setObject(Value("text"), "string");
    f.setObject(Value(array), "array");
    f.setObject(Value(dictionary), "dictionary");
    f.setObject(Value(bytes), "data");
    f.setInteger(-5, "integer");
    f.setFloat(0.1f, "float");
    f.setDouble(0.1, "double");
    f.setBool(true, "bool");
    f.setURL("https://example.org/a", "url");
    EXPECT_EQ(domain.flushes, 9) << "one flush per write";
    const Dictionary expected{{"string", Value("text")},   {"array", Value(array)}, {"dictionary", Value(dictionary)},
                              {"data", Value(bytes)},      {"integer", Value(std::int64_t{-5})},
                              {"float", Value(0.1f)},      {"double", Value(0.1)},  {"bool", Value(true)},
                              {"url", Value("https://example.org/a")}};
    EXPECT_EQ(domain.values, expected) << "each value lands in the family's own store, with its kind";
    for (const auto& [name, other] : storage.domains) {
      if (name != c.domain) {
        EXPECT_EQ(other->values.count("string"), 0u) << name;
      }
    }

    EXPECT_EQ(f.object("array"), Value(array));
    EXPECT_EQ(f.string("string"), "text");
    EXPECT_EQ(f.array("array"), array);
    EXPECT_EQ(f.dictionary("dictionary"), dictionary);
    EXPECT_EQ(f.data("data"), bytes);
    EXPECT_EQ(f.integer("integer"), -5);
    EXPECT_EQ(f.floatValue("float"), 0.1f);
    EXPECT_EQ(f.doubleValue("double"), 0.1);
    EXPECT_TRUE(f.boolValue("bool"));
    EXPECT_EQ(f.url("url"), "https://example.org/a");
    EXPECT_EQ(domain.flushes, 9) << "getters never flush";

    // A batch: one flush after the last entry, also for an empty dictionary; a null removes.
    f.setObjects({{"integer", Value()}, {"x", Value(1)}, {"y", Value(2)}});
    EXPECT_EQ(domain.flushes, 10);
    EXPECT_EQ(f.integer("integer"), 0);
    EXPECT_EQ(f.integer("y"), 2);
    f.setObjects({});
    EXPECT_EQ(domain.flushes, 11);

    // Remove, a URL set to nothing, and a value holding a null (refused: not a property list).
    f.remove("string");
    f.setURL("", "url");
    f.setObject(Value(Array{Value(), Value(1)}), "array");
    EXPECT_EQ(f.string("string"), std::nullopt);
    EXPECT_EQ(f.url("url"), std::nullopt);
    EXPECT_EQ(f.array("array"), array);
  }
}

TEST(KwUserDefaultsTest, GroupManagementAndDroppedGroupOperations) {
  MemoryStorage storage;
  KwUserDefaults d(storage);
  const Family current = FAMILY(d, ForGroupKey, GroupKeys);
  const Family unknown = FAMILY(d, ForGroup, Group, "unknown", );

  // No current group and an unregistered name: writes dropped without a trace, missing reads.
  current.setBool(true, "k");
  current.setObjects({{"k", Value(1)}});
  unknown.setInteger(3, "k");
  unknown.setObjects({});
  expectAllMissing(current, "no current group");
  expectAllMissing(unknown, "unregistered group");
  for (const auto& [name, domain] : storage.domains) EXPECT_EQ(domain->flushes, 0) << name;

  // setGroupName makes a new store each time, replacing the registered one.
  d.setGroupName("g");
  const std::shared_ptr<PreferencesStore> first = d.groupDefaults();
  d.setGroupName("g");
  ASSERT_NE(d.groupDefaults(), nullptr);
  EXPECT_NE(d.groupDefaults(), first);
  EXPECT_EQ(d.getGroupDefaultsWithName("g"), d.groupDefaults());

  // addGroupWithName returns the registered store itself and leaves the current group alone.
  EXPECT_EQ(d.addGroupWithName("g"), d.groupDefaults());
  const std::shared_ptr<PreferencesStore> other = d.addGroupWithName("other");
  EXPECT_EQ(d.getGroupDefaultsWithName("other"), other);
  EXPECT_EQ(d.getGroupDefaultsWithName("g"), d.groupDefaults());

  // Removing another group leaves the current one; removing the current one (by identity) ends it.
  d.removeGroupWithName("other");
  EXPECT_EQ(d.getGroupDefaultsWithName("other"), nullptr);
  EXPECT_NE(d.groupDefaults(), nullptr);
  d.removeGroupWithName("g");
  EXPECT_EQ(d.groupDefaults(), nullptr);
  current.setBool(true, "k");
  EXPECT_FALSE(current.boolValue("k"));

  d.setGroupName("h");
  d.setGroupName("i");

  // Empty and refused names are ignored.
  d.setGroupName("");
  d.setGroupName("refused");
  EXPECT_EQ(d.getGroupDefaultsWithName("i"), d.groupDefaults());
  EXPECT_EQ(d.addGroupWithName(""), nullptr);
  EXPECT_EQ(d.addGroupWithName("refused"), nullptr);
  EXPECT_EQ(d.groupDefaultsDict().size(), 2u);  // "h" and "i"
}

TEST(KwUserDefaultsTest, SharedInstanceIsMadeOnceUnderConcurrentFirstCalls) {
  // The shared instance keeps the storage it was made over until the process ends.
  static testing::MemoryStorage storage;
  testing::setService(&Services::preferences, &storage);
  std::vector<KwUserDefaults*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = &KwUserDefaults::share(); });
  for (auto& thread : threads) thread.join();
  for (KwUserDefaults* instance : seen) EXPECT_EQ(instance, seen.front());
  EXPECT_EQ(KwUserDefaults::share().groupDefaults(), nullptr);
}

TEST(KwUserDefaultsTest, ConversionsOnReading) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Row {
    Value stored;
    std::optional<std::string> text;
    std::int64_t integer;
    double number;  // NaN: expect NaN
    bool truth;
    std::optional<std::string> url;
  } rows[] = {
      {Value("42"), "42", 42, 42.0, true, std::nullopt},
      {Value(" \t-42x"), " \t-42x", -42, -42.0, true, std::nullopt},
      {Value("2.5e3x"), "2.5e3x", 2, 2500.0, true, std::nullopt},
      {Value("abc"), "abc", 0, 0.0, false, std::nullopt},
      {Value("inf"), "inf", 0, 0.0, false, std::nullopt},
      {Value("99999999999999999999"), "99999999999999999999", kMax, 1e20, true, std::nullopt},
      {Value("-99999999999999999999"), "-99999999999999999999", kMin, -1e20, true, std::nullopt},
      {Value("1e400"), "1e400", 1, inf, true, std::nullopt},
      {Value("YES"), "YES", 0, 0.0, true, std::nullopt},
      {Value("no"), "no", 0, 0.0, false, std::nullopt},
      {Value("-0012"), "-0012", -12, -12.0, true, std::nullopt},
      {Value("0.5"), "0.5", 0, 0.5, false, std::nullopt},
      {Value("+000"), "+000", 0, 0.0, false, std::nullopt},
      {Value("https://example.org/a b"), "https://example.org/a b", 0, 0.0, false, "https://example.org/a b"},
      {Value("/tmp/a b%"), "/tmp/a b%", 0, 0.0, false, "file:///tmp/a%20b%25"},
      {Value("relative/path"), "relative/path", 0, 0.0, false, std::nullopt},
      {Value("1ab:c"), "1ab:c", 1, 1.0, true, std::nullopt},
      {Value(true), "1", 1, 1.0, true, std::nullopt},
      {Value(false), "0", 0, 0.0, false, std::nullopt},
      {Value(std::int32_t{-7}), "-7", -7, -7.0, true, std::nullopt},
      {Value(std::uint32_t{7}), "7", 7, 7.0, true, std::nullopt},
      {Value(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615", kMax, 18446744073709551615.0, true,
       std::nullopt},
      {Value(0.1f), "0.1", 0, static_cast<double>(0.1f), true, std::nullopt},
      {Value(1e300), "1e+300", kMax, 1e300, true, std::nullopt},
      {Value(-1e300), "-1e+300", kMin, -1e300, true, std::nullopt},
      {Value(-2.9), "-2.9", -2, -2.9, true, std::nullopt},
      {Value(0.0), "0", 0, 0.0, false, std::nullopt},
      {Value(nan), "nan", 0, nan, true, std::nullopt},
      {Value(Date{5.0}), std::nullopt, 0, 0.0, false, std::nullopt},
      {Value(Bytes{1}), std::nullopt, 0, 0.0, false, std::nullopt},
      {Value(Array{Value(1)}), std::nullopt, 0, 0.0, false, std::nullopt},
      {Value(Dictionary{{"a", Value(1)}}), std::nullopt, 0, 0.0, false, std::nullopt},
  };
  MemoryStorage storage;
  PreferencesStore store(storage.standardDomain());
  for (const Row& row : rows) {
    const std::string shown = PreferencesStore::stringFromValue(row.stored).value_or(kindName(row.stored.kind()));
    SCOPED_TRACE(shown);
    ASSERT_TRUE(store.setObject(row.stored, "k"));
    EXPECT_EQ(store.stringForKey("k"), row.text);
    EXPECT_EQ(store.integerForKey("k"), row.integer);
    if (std::isnan(row.number)) {
      EXPECT_TRUE(std::isnan(store.doubleForKey("k")));
    } else {
      EXPECT_EQ(store.doubleForKey("k"), row.number);
      const float infinity = std::numeric_limits<float>::infinity();
      const float asFloat = std::fabs(row.number) <= std::numeric_limits<float>::max() ? static_cast<float>(row.number)
                            : row.number > 0                                         ? infinity
                                                                                     : -infinity;
      EXPECT_EQ(store.floatForKey("k"), asFloat);
    }
    EXPECT_EQ(store.boolForKey("k"), row.truth);
    EXPECT_EQ(store.URLForKey("k"), row.url);
    // Containers and data only from their own kind.
    EXPECT_EQ(store.arrayForKey("k").has_value(), row.stored.kind() == Value::Kind::Array);
    EXPECT_EQ(store.dictionaryForKey("k").has_value(), row.stored.kind() == Value::Kind::Dictionary);
    EXPECT_EQ(store.dataForKey("k").has_value(), row.stored.kind() == Value::Kind::Bytes);
    if (!std::isnan(row.number)) {
      EXPECT_EQ(store.objectForKey("k"), row.stored);
    }
  }
}

}  // namespace
}  // namespace trellis
