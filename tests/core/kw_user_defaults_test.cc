// KwUserDefaults over an in-memory storage: typed writes and reads with one flush per write and
// per batch, the three families each on its own store, group management, the shared instance, and
// the kind conversions on reading. Single-threaded except the shared-instance case.
#include "tools/kw_user_defaults.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "base/services.h"
#include "support/memory_preferences.h"

namespace trellis {
namespace {

using testing::MemoryStorage;

TEST(KwUserDefaultsTest, TypedValuesAreStoredWithTheirKindsOneFlushPerWriteAndPerBatch) {
  MemoryStorage storage;
  KwUserDefaults d(storage);
  d.setGroupName("g");
  testing::MemoryDomain& domain = *storage.domain("suite:g");
  const Array array{1, "two"};
  const Dictionary dictionary{{"a", 1.5}};
  d.setObjectForGroupKey(Value("text"), "string");
  d.setObjectForGroupKey(Value(array), "array");
  d.setObjectForGroupKey(Value(dictionary), "dictionary");
  d.setObjectForGroupKey(Value(Bytes{0, 255}), "data");
  d.setIntegerForGroupKey(-5, "integer");
  d.setFloatForGroupKey(0.1f, "float");
  d.setDoubleForGroupKey(0.1, "double");
  d.setBoolForGroupKey(true, "bool");
  d.setURLForGroupKey("https://example.org/a", "url");
  EXPECT_EQ(domain.values, (Dictionary{{"string", "text"}, {"array", array}, {"dictionary", dictionary},
                                       {"data", Bytes{0, 255}}, {"integer", std::int64_t{-5}}, {"float", 0.1f},
                                       {"double", 0.1}, {"bool", true}, {"url", "https://example.org/a"}}));
  EXPECT_EQ(domain.flushes, 9);
  EXPECT_EQ(std::tuple(d.objectForGroupKey("array"), d.stringForGroupKey("string"), d.arrayForGroupKey("array"),
                       d.dictionaryForGroupKey("dictionary"), d.dataForGroupKey("data")),
            std::tuple(Value(array), "text", array, dictionary, Bytes{0, 255}));
  EXPECT_EQ(std::tuple(d.integerForGroupKey("integer"), d.floatForGroupKey("float"), d.doubleForGroupKey("double"),
                       d.boolForGroupKey("bool"), d.URLForGroupKey("url")),
            std::tuple(-5, 0.1f, 0.1, true, "https://example.org/a"));
  EXPECT_EQ(domain.flushes, 9) << "reads never flush";

  // A batch flushes once, also when empty, and a null in it removes; a null elsewhere is refused.
  d.setObjectsWithGroupKeys({{"integer", Value()}, {"x", 1}});
  d.setObjectsWithGroupKeys({});
  EXPECT_EQ(domain.flushes, 11);
  EXPECT_EQ(domain.values.count("integer"), 0u);
  EXPECT_EQ(d.integerForGroupKey("x"), 1);
  d.setObjectsWithGroupKeys({{"x", Array{Value()}}});
  d.setObjectForGroupKey(Value(Array{Value(), 1}), "array");
  EXPECT_EQ(d.integerForGroupKey("x"), 1);
  EXPECT_EQ(d.arrayForGroupKey("array"), array);
  // Remove, a null object, and a URL set to nothing remove.
  d.removeObjectForGroupKey("string");
  d.setObjectForGroupKey(Value(), "dictionary");
  d.setURLForGroupKey("", "url");
  EXPECT_EQ(domain.values.count("string") + domain.values.count("dictionary") + domain.values.count("url"), 0u);
}

TEST(KwUserDefaultsTest, EachFamilyHasItsOwnStoreAndDropsWhatHasNone) {
  MemoryStorage storage;
  KwUserDefaults d(storage);
  // No current group and an unregistered name: writes dropped, reads missing.
  d.setBoolForGroupKey(true, "k");
  d.setObjectsWithGroupKeys({{"k", 1}});
  d.setIntegerForGroup(3, "unknown", "k");
  d.setObjectsWithGroup("unknown", {{"k", 1}});
  for (const auto& [name, domain] : storage.domains) EXPECT_EQ(domain->flushes, 0) << name;
  EXPECT_EQ(d.objectForGroupKey("k"), std::nullopt);
  EXPECT_EQ(d.stringForGroup("unknown", "k"), std::nullopt);
  EXPECT_EQ(std::tuple(d.integerForGroupKey("k"), d.floatForGroupKey("k"), d.doubleForGroupKey("k"),
                       d.boolForGroupKey("k"), d.URLForGroupKey("k")),
            std::tuple(0, 0.0f, 0.0, false, std::nullopt));

  d.setGroupName("current");
  d.addGroupWithName("named");
  d.setObjectForKey(Value("plain"), "k");
  d.setObjectForGroupKey(Value("current"), "k");
  d.setObjectForGroup(Value("named"), "named", "k");
  d.setObjectsWithKeys({{"b", 1}});
  d.setObjectsWithGroupKeys({{"b", 2}});
  d.setObjectsWithGroup("named", {{"b", 3}});
  EXPECT_EQ(storage.domain("")->values, (Dictionary{{"k", "plain"}, {"b", 1}}));
  EXPECT_EQ(storage.domain("suite:current")->values, (Dictionary{{"k", "current"}, {"b", 2}}));
  EXPECT_EQ(storage.domain("suite:named")->values, (Dictionary{{"k", "named"}, {"b", 3}}));
  EXPECT_EQ(d.stringForKey("k"), "plain");
  EXPECT_EQ(d.stringForGroupKey("k"), "current");
  EXPECT_EQ(d.stringForGroup("named", "k"), "named");
}

TEST(KwUserDefaultsTest, GroupsAreRegisteredByNameAndTheCurrentOneEndsWithItsRemoval) {
  MemoryStorage storage;
  KwUserDefaults d(storage);
  // setGroupName makes a new store each time and registers it in place of the old one.
  d.setGroupName("g");
  const std::shared_ptr<PreferencesStore> first = d.groupDefaults();
  d.setGroupName("g");
  EXPECT_NE(d.groupDefaults(), first);
  EXPECT_EQ(d.getGroupDefaultsWithName("g"), d.groupDefaults());
  // addGroupWithName returns the registered store itself and leaves the current group alone.
  EXPECT_EQ(d.addGroupWithName("g"), d.groupDefaults());
  const std::shared_ptr<PreferencesStore> other = d.addGroupWithName("other");
  EXPECT_EQ(d.getGroupDefaultsWithName("other"), other);
  // Removing another group leaves the current one; removing the current one ends it.
  d.removeGroupWithName("other");
  EXPECT_EQ(d.getGroupDefaultsWithName("other"), nullptr);
  EXPECT_NE(d.groupDefaults(), nullptr);
  d.removeGroupWithName("g");
  EXPECT_EQ(d.groupDefaults(), nullptr);
  // Empty and refused names are ignored.
  d.setGroupName("h");
  d.setGroupName("");
  d.setGroupName("refused");
  EXPECT_EQ(d.getGroupDefaultsWithName("h"), d.groupDefaults());
  EXPECT_EQ(d.addGroupWithName(""), nullptr);
  EXPECT_EQ(d.addGroupWithName("refused"), nullptr);
  EXPECT_EQ(d.groupDefaultsDict().size(), 1u);
}

TEST(KwUserDefaultsTest, TheSharedInstanceIsMadeOnceUnderConcurrentFirstCalls) {
  static MemoryStorage storage;  // the shared instance keeps it until the process ends
  ScopedServices services([](Services& s) { s.preferences = &storage; });
  std::vector<KwUserDefaults*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = &KwUserDefaults::share(); });
  for (auto& thread : threads) thread.join();
  for (KwUserDefaults* instance : seen) EXPECT_EQ(instance, seen.front());
  EXPECT_EQ(&KwUserDefaults::share(), seen.front());
}

TEST(KwUserDefaultsTest, ConversionsOnReading) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::nullopt_t none = std::nullopt;
  // Stored, then as text, integer, double (NaN: expect NaN), bool and URL.
  const std::tuple<Value, std::optional<std::string>, std::int64_t, double, bool, std::optional<std::string>> rows[] = {
      {"42", "42", 42, 42.0, true, none}, {" \t-42x", " \t-42x", -42, -42.0, true, none},
      {"2.5e3x", "2.5e3x", 2, 2500.0, true, none}, {"abc", "abc", 0, 0.0, false, none},
      {"inf", "inf", 0, 0.0, false, none}, {"99999999999999999999", "99999999999999999999", kMax, 1e20, true, none},
      {"-99999999999999999999", "-99999999999999999999", kMin, -1e20, true, none},
      {"9223372036854775808", "9223372036854775808", kMax, 9223372036854775808.0, true, none},
      {"1e400", "1e400", 1, inf, true, none}, {"YES", "YES", 0, 0.0, true, none}, {"no", "no", 0, 0.0, false, none},
      {"-0012", "-0012", -12, -12.0, true, none}, {"0.5", "0.5", 0, 0.5, false, none},
      {"+000", "+000", 0, 0.0, false, none},
      {"https://example.org/a b", "https://example.org/a b", 0, 0.0, false, "https://example.org/a b"},
      {"/tmp/a b%", "/tmp/a b%", 0, 0.0, false, "file:///tmp/a%20b%25"},
      {"relative/path", "relative/path", 0, 0.0, false, none}, {"1ab:c", "1ab:c", 1, 1.0, true, none},
      {true, "1", 1, 1.0, true, none}, {false, "0", 0, 0.0, false, none},
      {std::int32_t{-7}, "-7", -7, -7.0, true, none}, {std::uint32_t{7}, "7", 7, 7.0, true, none},
      {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615", kMax, 18446744073709551615.0, true, none},
      {0.1f, "0.1", 0, static_cast<double>(0.1f), true, none}, {1e300, "1e+300", kMax, 1e300, true, none},
      {-1e300, "-1e+300", kMin, -1e300, true, none}, {-2.9, "-2.9", -2, -2.9, true, none},
      {0.0, "0", 0, 0.0, false, none}, {nan, "nan", 0, nan, true, none}, {Date{5.0}, none, 0, 0.0, false, none},
      {Bytes{1}, none, 0, 0.0, false, none}, {Array{1}, none, 0, 0.0, false, none},
      {Dictionary{{"a", 1}}, none, 0, 0.0, false, none},
  };
  MemoryStorage storage;
  PreferencesStore store(storage.standardDomain());
  for (const auto& [stored, text, integer, number, truth, url] : rows) {
    SCOPED_TRACE(PreferencesStore::stringFromValue(stored).value_or(kindName(stored.kind())));
    ASSERT_TRUE(store.setObject(stored, "k"));
    EXPECT_EQ(store.stringForKey("k"), text);
    EXPECT_EQ(store.integerForKey("k"), integer);
    if (std::isnan(number)) {
      EXPECT_TRUE(std::isnan(store.doubleForKey("k")));
    } else {
      EXPECT_EQ(store.doubleForKey("k"), number);
      const float asFloat = std::fabs(number) <= std::numeric_limits<float>::max() ? static_cast<float>(number)
                            : number > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
      EXPECT_EQ(store.floatForKey("k"), asFloat);
      EXPECT_EQ(store.objectForKey("k"), stored);
    }
    EXPECT_EQ(store.boolForKey("k"), truth);
    EXPECT_EQ(store.URLForKey("k"), url);
    // Containers and data only from their own kind.
    EXPECT_EQ(store.arrayForKey("k").has_value(), stored.kind() == Value::Kind::Array);
    EXPECT_EQ(store.dictionaryForKey("k").has_value(), stored.kind() == Value::Kind::Dictionary);
    EXPECT_EQ(store.dataForKey("k").has_value(), stored.kind() == Value::Kind::Bytes);
  }
}

}  // namespace
}  // namespace trellis
