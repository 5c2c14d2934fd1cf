// Keyed archives: the fan set through a document and back (in memory, and through a file read by
// another process), keys under "_" + name, which classes a decode accepts, every kind of value
// keeping its kind, what cannot be archived, and documents cut short or corrupted in every way we
// could think of giving a clean failure.
#include "model/keyed_archive.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "support/fan_records.h"
#include "support/temp_tree.h"

namespace trellis {
namespace {

using testing::describe;
using testing::makeFan;
using testing::twoFans;

std::string document(std::string_view top) {
  return R"({"format": "trellis-keyed-archive", "version": 1, "top": )" + std::string(top) + "}";
}
// A document whose root is a fan set with these fields.
std::string fanSet(std::string_view fields) {
  return document(R"({"root": {"object": {"class": "FanModel", "fields": {)" + std::string(fields) + "}}}}");
}
// What a fan set document decodes to, or "failed".
std::string decoded(const std::string& text) {
  std::string error;
  std::shared_ptr<FanModel> model = unarchivedRecord<FanModel>(text, &error);
  EXPECT_EQ(model == nullptr, !error.empty()) << error;
  return model ? describe(*model) : "failed";
}

// A record with no archiving, and one that refers to itself.
struct Plain {
  static RecordTable<Plain> recordTable() {
    return RecordTable<Plain>("ArchivePlain")
        .property(
            "n", [](const Plain& p) { return p.n; }, [](Plain& p, std::int32_t v) { p.n = v; });
  }
  std::int32_t n = 0;
};
struct Chain {
  static RecordTable<Chain> recordTable() {
    return RecordTable<Chain>("ArchiveChain")
        .property(
            "next", [](const Chain& c) { return c.next; }, [](Chain& c, std::shared_ptr<Chain> v) { c.next = v; })
        .archivable();
  }
  std::shared_ptr<Chain> next;
};

TEST(KeyedArchiveTest, FanSetsRoundTripThroughTheirOwnCodingPairAndAnotherProcess) {
  const std::string twoText = describe(twoFans());
  EXPECT_EQ(decoded(*archivedDocument(twoFans())), twoText);
  // An empty fan set stays without a list; an empty list stays an empty list.
  EXPECT_EQ(decoded(*archivedDocument(FanModel())), "0: no list");
  FanModel empty;
  empty.setFans(std::vector<std::shared_ptr<Fan>>{});
  EXPECT_EQ(decoded(*archivedDocument(empty)), "0:");

  // The records' own pair: fields at the top level, the fans as archived Fan objects.
  KeyedArchiver archiver;
  twoFans().encodeWithCoder(archiver);
  const std::string text = *archiver.finishEncoding();
  EXPECT_NE(text.find(R"("count":{"int32":2})"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("class":"Fan")"), std::string::npos) << text;
  std::unique_ptr<KeyedUnarchiver> unarchiver = KeyedUnarchiver::forReading(text);
  ASSERT_NE(unarchiver, nullptr);
  std::shared_ptr<FanModel> back = FanModel::initWithCoder(*unarchiver);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(describe(*back), twoText);
  KeyedArchiver fanArchiver;
  makeFan("F", 1, 2, 3)->encodeWithCoder(fanArchiver);
  unarchiver = KeyedUnarchiver::forReading(*fanArchiver.finishEncoding());
  ASSERT_NE(unarchiver, nullptr);
  std::shared_ptr<Fan> fan = Fan::initWithCoder(*unarchiver);
  ASSERT_NE(fan, nullptr);
  EXPECT_EQ(fan->mj_keyValues(), makeFan("F", 1, 2, 3)->mj_keyValues());

  // A file written here is read by a fresh process.
  testing::TempTree tree;
  tree.write("fans.archive", *archivedDocument(twoFans()));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::shared_ptr<FanModel> read = unarchivedRecord<FanModel>(tree.read("fans.archive"));
    ::_exit(read != nullptr && describe(*read) == twoText ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(KeyedArchiveTest, EveryKindOfValueKeepsItsKind) {
  const Dictionary values{
      {"null", Null{}},
      {"bool", true},
      {"int32", std::int32_t{-7}},
      {"int64small", std::int64_t{7}},  // small, and still an int64
      {"int64", std::numeric_limits<std::int64_t>::min()},
      {"uint32", std::numeric_limits<std::uint32_t>::max()},
      {"uint64", std::numeric_limits<std::uint64_t>::max()},
      {"float", 0.1f},
      {"floatMax", std::numeric_limits<float>::max()},
      {"floatTiny", std::numeric_limits<float>::denorm_min()},
      {"double", 0.1},
      {"doubleWhole", 2.0},  // not the int32 2
      {"negativeZero", -0.0},
      {"infinity", std::numeric_limits<double>::infinity()},
      {"minusInfinity", -std::numeric_limits<float>::infinity()},
      {"string", "Fan \"é\" \n\t"},
      {"bytes", Bytes{0x00, 0xab, 0xff}},
      {"date", Date{1700000000.25}},
      {"dictionary", Dictionary{{"inner", Array{std::int32_t{1}, Dictionary{}, Array{}}}}},
  };
  KeyedArchiver archiver;
  for (const auto& [key, value] : values) ASSERT_TRUE(archiver.encodeObject(Object(value), key)) << key;
  ASSERT_TRUE(archiver.encodeObject(Object(Value(Array{1.5, "x"})), "list"));
  ASSERT_TRUE(archiver.encodeObject(Object(Value(std::numeric_limits<double>::quiet_NaN())), "nan"));
  std::unique_ptr<KeyedUnarchiver> unarchiver = KeyedUnarchiver::forReading(*archiver.finishEncoding());
  ASSERT_NE(unarchiver, nullptr);
  const ObjectClasses all{ValueClass::Null, ValueClass::Number, ValueClass::Text,      ValueClass::Bytes,
                          ValueClass::Date, ValueClass::List,   ValueClass::Dictionary};
  auto decode = [&](std::string_view key) { return unarchiver->decodeObjectOfClasses(all, key); };
  for (const auto& [key, value] : values) {
    std::optional<Object> object = decode(key);
    ASSERT_TRUE(object && object->value()) << key;
    EXPECT_EQ(*object->value(), value) << key;  // same kind and value
  }
  EXPECT_TRUE(std::signbit(*decode("negativeZero")->value()->get<double>()));
  EXPECT_TRUE(std::isnan(*decode("nan")->value()->get<double>()));
  std::optional<Object> list = decode("list");
  ASSERT_TRUE(list && list->list());
  EXPECT_EQ(mj_keyValues(*list), Value(Array{1.5, "x"}));
  EXPECT_EQ(decode("missing"), std::nullopt);
  EXPECT_FALSE(unarchiver->failed());
}

TEST(KeyedArchiveTest, FieldsAreReadUnderEitherKeyFromAnyNumberThatFits) {
  // "_" + name when the plain key is missing; the plain key wins when both are there; a missing
  // field is left as made.
  EXPECT_EQ(decoded(fanSet(R"("_count": {"int32": 3}, "_fans": {"array": [{"object": {"class": "Fan",
      "fields": {"_ID": {"string": "x"}, "speed": {"int32": 5}}}}]})")),
            "3: x 5 0 0,");
  EXPECT_EQ(decoded(fanSet(R"("_count": {"int32": 3}, "count": {"int32": 4})")), "4: no list");
  EXPECT_EQ(decoded(fanSet("")), "0: no list");
  // Any number an integer property can hold; other numbers, and what is not a number, fail it all.
  const std::pair<const char*, const char*> counts[] = {
      {R"({"int64": 7})", "7: no list"},   {R"({"uint64": 8})", "8: no list"},     {R"({"double": 9.0})", "9: no list"},
      {R"({"bool": true})", "1: no list"}, {R"({"int64": 4294967296})", "failed"}, {R"({"double": 9.5})", "failed"},
      {R"({"string": "7"})", "failed"},    {R"({"null": null})", "failed"},        {R"({"array": []})", "failed"},
  };
  for (const auto& [node, expected] : counts) EXPECT_EQ(decoded(fanSet(R"("count": )" + std::string(node))), expected);
}

TEST(KeyedArchiveTest, ADecodeAcceptsOnlyItsClassesAndFailsAsAWhole) {
  // Fans: a Fan object; other classes, declared or not; accepted classes whose values do not fit a
  // list of fans; classes accepted nowhere in it; a fan that itself fails.
  const std::pair<const char*, const char*> rows[] = {
      {R"({"array": [{"object": {"class": "Fan", "fields": {}}}]})", "2: - 0 0 0,"},
      {R"({"array": [{"object": {"class": "FanModel", "fields": {}}}]})", "failed"},
      {R"({"array": [{"object": {"class": "Unknown", "fields": {}}}]})", "failed"},
      {R"({"array": [{"int32": 1}]})", "failed"},
      {R"({"int32": 1})", "failed"},
      {R"({"string": "fans"})", "failed"},
      {R"({"dictionary": {}})", "failed"},
      {R"({"array": [{"object": {"class": "Fan", "fields": {"ID": {"int32": 1}}}}]})", "failed"},
      {R"({"array": [{"object": {"class": "Fan", "fields": {"speed": {"string": "1"}}}}]})", "failed"},
  };
  for (const auto& [fans, expected] : rows) {
    EXPECT_EQ(decoded(fanSet(R"("count": {"int32": 2}, "fans": )" + std::string(fans))), expected) << fans;
  }
  // The root of another class; after a failure, every decode gives nothing.
  std::unique_ptr<KeyedUnarchiver> unarchiver = KeyedUnarchiver::forReading(
      document(R"({"root": {"object": {"class": "Fan", "fields": {}}}, "n": {"int32": 1}})"));
  ASSERT_NE(unarchiver, nullptr);
  EXPECT_TRUE(unarchiver->containsValueForKey("root"));
  EXPECT_FALSE(unarchiver->containsValueForKey("count"));
  EXPECT_EQ(unarchiver->decodeObjectOfClass<FanModel>("root"), nullptr);
  EXPECT_TRUE(unarchiver->failed());
  EXPECT_EQ(unarchiver->decodeObjectOfClasses(ObjectClasses{ValueClass::Number}, "n"), std::nullopt);
  // A record type that is not archivable is not made even when asked for.
  unarchiver =
      KeyedUnarchiver::forReading(document(R"({"root": {"object": {"class": "ArchivePlain", "fields": {}}}})"));
  ASSERT_NE(unarchiver, nullptr);
  EXPECT_EQ(unarchiver->decodeObjectOfClass<Plain>("root"), nullptr);
  EXPECT_TRUE(unarchiver->failed());
}

TEST(KeyedArchiveTest, WhatCannotBeArchivedFailsTheArchive) {
  KeyedArchiver plain;
  EXPECT_FALSE(plain.encodeObject(Plain(), "root"));
  EXPECT_TRUE(plain.failed());
  EXPECT_FALSE(plain.encodeObject(Object(Value(1.0)), "other")) << "failed stays failed";
  EXPECT_EQ(plain.finishEncoding(), std::nullopt);
  KeyedArchiver text;
  EXPECT_TRUE(text.encodeObject(Object(Value(std::string("\xff\xfe"))), "text"));
  EXPECT_EQ(text.finishEncoding(), std::nullopt);
  EXPECT_FALSE(text.error().empty());

  // A cycle is refused at the depth limit. A chain that fits is written and read back whole; one
  // link more does not fit. The root node sits at JSON level 3; record k's node at 3k and its
  // "fields" object at 3k + 2.
  auto chainOf = [](int length) {
    auto head = std::make_shared<Chain>();
    for (int i = 1; i < length; ++i) head = std::make_shared<Chain>(Chain{head});
    return head;
  };
  auto cycle = std::make_shared<Chain>();
  cycle->next = cycle;
  EXPECT_EQ(archivedDocument(*cycle), std::nullopt);
  cycle->next = nullptr;
  const int fits = (kMaxArchiveDepth - 2) / 3;
  std::shared_ptr<Chain> back = unarchivedRecord<Chain>(*archivedDocument(*chainOf(fits)));
  ASSERT_NE(back, nullptr);
  int length = 1;
  for (auto link = back; link->next; link = link->next) ++length;
  EXPECT_EQ(length, fits);
  EXPECT_EQ(archivedDocument(*chainOf(fits + 1)), std::nullopt);

  // A null record writes nothing; a list leaves its null records out.
  KeyedArchiver nulls;
  EXPECT_TRUE(nulls.encodeObject(Object(std::shared_ptr<Fan>()), "none"));
  EXPECT_TRUE(nulls.encodeObject(Object(ObjectList{Object(std::shared_ptr<Fan>()), Object(Value(1.0))}), "list"));
  std::unique_ptr<KeyedUnarchiver> unarchiver = KeyedUnarchiver::forReading(*nulls.finishEncoding());
  ASSERT_NE(unarchiver, nullptr);
  EXPECT_FALSE(unarchiver->containsValueForKey("none"));
  std::optional<Object> list = unarchiver->decodeObjectOfClasses({ValueClass::List, ValueClass::Number}, "list");
  ASSERT_TRUE(list);
  EXPECT_EQ(mj_keyValues(*list), Value(Array{1.0}));
}

TEST(KeyedArchiveTest, DamagedDocumentsFailCleanlyWithAReason) {
  const std::string text = *archivedDocument(twoFans());
  for (std::size_t length = 0; length < text.size(); ++length) {
    std::string error;
    EXPECT_EQ(KeyedUnarchiver::forReading(std::string_view(text).substr(0, length), &error), nullptr) << length;
    EXPECT_FALSE(error.empty()) << length;
  }
  EXPECT_NE(unarchivedRecord<FanModel>(" \n" + text + "\n"), nullptr) << "surrounding white space is not damage";

  const std::string fan = R"({"object": {"class": "Fan", "fields": {"speed": {"int32": 5}}}})";
  const auto node = [](const std::string& k) { return document(R"({"k": )" + k + "}"); };
  const std::pair<const char*, std::string> rows[] = {
      {"not JSON", "fans"},
      {"empty", ""},
      {"NUL inside", std::string("{\"format\"\0", 10)},
      {"trailing bytes", document(R"({})") + "x"},
      {"a second document", document(R"({})") + document(R"({})")},
      {"an array", "[]"},
      {"wrong format", R"({"format": "other", "version": 1, "top": {}})"},
      {"another version", R"({"format": "trellis-keyed-archive", "version": 2, "top": {}})"},
      {"version as text", R"({"format": "trellis-keyed-archive", "version": "1", "top": {}})"},
      {"version with a fraction", R"({"format": "trellis-keyed-archive", "version": 1.0, "top": {}})"},
      {"missing top", R"({"format": "trellis-keyed-archive", "version": 1})"},
      {"extra member", R"({"format": "trellis-keyed-archive", "version": 1, "top": {}, "x": 1})"},
      {"top not an object", document("[]")},
      {"node not an object", node("5")},
      {"node with two members", node(R"({"int32": 1, "int64": 1})")},
      {"node with no member", node("{}")},
      {"unknown tag", node(R"({"int128": 1})")},
      {"int32 too large", node(R"({"int32": 2147483648})")},
      {"int32 with fraction", node(R"({"int32": 1.0})")},
      {"int32 as text", node(R"({"int32": "1"})")},
      {"int64 too large", node(R"({"int64": 9223372036854775808})")},
      {"uint32 negative", node(R"({"uint32": -1})")},
      {"uint64 negative", node(R"({"uint64": -1})")},
      {"float not a float", node(R"({"float": 0.1})")},
      {"float out of range", node(R"({"float": 1e300})")},
      {"double as integer", node(R"({"double": 1})")},
      {"double as other text", node(R"({"double": "nan"})")},
      {"bool as number", node(R"({"bool": 1})")},
      {"null holding something", node(R"({"null": 0})")},
      {"string as number", node(R"({"string": 1})")},
      {"string not UTF-8", node("{\"string\": \"\xc3\x28\"}")},
      {"bytes odd", node(R"({"bytes": "abc"})")},
      {"bytes upper case", node(R"({"bytes": "AB"})")},
      {"bytes not hex", node(R"({"bytes": "zz"})")},
      {"date as text", node(R"({"date": "today"})")},
      {"array not an array", node(R"({"array": {}})")},
      {"array of bare numbers", node(R"({"array": [1]})")},
      {"dictionary not an object", node(R"({"dictionary": []})")},
      {"object in a dictionary", node(R"({"dictionary": {"f": )" + fan + "}}")},
      {"object in an array in a dictionary", node(R"({"dictionary": {"a": {"array": [)" + fan + "]}}}")},
      {"object without class", node(R"({"object": {"fields": {}}})")},
      {"object with empty class", node(R"({"object": {"class": "", "fields": {}}})")},
      {"object with numeric class", node(R"({"object": {"class": 1, "fields": {}}})")},
      {"object with extra member", node(R"({"object": {"class": "Fan", "fields": {}, "x": 1}})")},
      {"fields not an object", node(R"({"object": {"class": "Fan", "fields": []}})")},
      {"bad node deep inside", node(R"({"array": [)" + fan + R"(, {"array": [{"int32": "x"}]}]})")},
      {"too deep", document(std::string(200, '[') + std::string(200, ']'))},
  };
  for (const auto& [name, damaged] : rows) {
    std::string error;
    EXPECT_EQ(KeyedUnarchiver::forReading(damaged, &error), nullptr) << name;
    EXPECT_FALSE(error.empty()) << name;
  }

  // Every one-byte change fails, or (a digit in a speed, a letter in a name) gives a whole fan set
  // that archives again.
  int decodedCount = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    for (char replacement : {'\0', '"', '}', '1', 'x'}) {
      if (text[at] == replacement) continue;
      std::string changed = text;
      changed[at] = replacement;
      const std::string first = decoded(changed);
      if (first == "failed") continue;
      ++decodedCount;
      std::shared_ptr<FanModel> model = unarchivedRecord<FanModel>(changed);
      ASSERT_TRUE(archivedDocument(*model));
      EXPECT_EQ(decoded(*archivedDocument(*model)), first) << at << " " << replacement;
    }
  }
  EXPECT_GT(decodedCount, 0);
}

TEST(KeyedArchiveTest, SeparateCodersRunOnSeparateThreads) {
  const std::string expected = describe(twoFans());
  std::vector<int> good(4, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 50; ++i) {
          std::optional<std::string> text = archivedDocument(twoFans());
          std::shared_ptr<FanModel> back = text ? unarchivedRecord<FanModel>(*text) : nullptr;
          if (back && describe(*back) == expected) ++good[t];
        }
      });
    }
  }
  EXPECT_EQ(good, (std::vector<int>(4, 50)));
}

}  // namespace
}  // namespace trellis
