// Keyed archives: the fan set through a document and back (in memory, and through a file read by
// another process), keys under "_" + name, which classes a decode accepts, every kind of value
// keeping its kind, what cannot be archived, and documents cut short or corrupted in every way we
// could think of giving a clean failure.
#include "model/keyed_archive.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>
#include <vector>

#include "smc/fan_model.h"

namespace trellis {
namespace {

std::shared_ptr<Fan> makeFan(std::optional<std::string> id, std::int32_t speed, std::int32_t maxSpeed,
                             std::int32_t minSpeed) {
  auto fan = std::make_shared<Fan>();
  fan->setID(std::move(id));
  fan->setSpeed(speed);
  fan->setMaxSpeed(maxSpeed);
  fan->setMinSpeed(minSpeed);
  return fan;
}

FanModel twoFans() {
  FanModel model;
  model.setCount(2);
  model.setFans(std::vector{makeFan("Left side", 2160, 6156, 1200), makeFan(std::nullopt, 0, -1, -1)});
  return model;
}

// Property by property, not through the dictionary form.
::testing::AssertionResult sameFans(const FanModel& a, const FanModel& b) {
  if (a.count() != b.count()) return ::testing::AssertionFailure() << "count " << a.count() << " vs " << b.count();
  if (a.fans().has_value() != b.fans().has_value()) return ::testing::AssertionFailure() << "one has no list";
  if (!a.fans()) return ::testing::AssertionSuccess();
  if (a.fans()->size() != b.fans()->size()) return ::testing::AssertionFailure() << "list sizes differ";
  for (std::size_t i = 0; i < a.fans()->size(); ++i) {
    const Fan& x = *(*a.fans())[i];
    const Fan& y = *(*b.fans())[i];
    if (x.ID() != y.ID() || x.speed() != y.speed() || x.maxSpeed() != y.maxSpeed() || x.minSpeed() != y.minSpeed()) {
      return ::testing::AssertionFailure() << "fan " << i << " differs";
    }
  }
  return ::testing::AssertionSuccess();
}

std::string document(std::string_view top) {
  return R"({"format": "trellis-keyed-archive", "version": 1, "top": )" + std::string(top) + "}";
}

// A record with no archiving, and one that refers to itself.
struct Plain {
  static RecordTable<Plain> recordTable() {
    return RecordTable<Plain>("ArchivePlain")
        .property("n", [](const Plain& p) { return p.n; }, [](Plain& p, std::int32_t v) { p.n = v; });
  }
  std::int32_t n = 0;
};

struct Chain {
  static RecordTable<Chain> recordTable() {
    return RecordTable<Chain>("ArchiveChain")
        .property("next", [](const Chain& c) { return c.next; }, [](Chain& c, std::shared_ptr<Chain> v) { c.next = v; })
        .archivable();
  }
  std::shared_ptr<Chain> next;
};

// ---- Round trips ----

TEST(KeyedArchiveTest, FanSetRoundTripsInMemory) {
  const FanModel model = twoFans();
  std::optional<std::string> text = archivedDocument(model);
  ASSERT_TRUE(text);
  std::string error;
  std::shared_ptr<FanModel> back = unarchivedRecord<FanModel>(*text, &error);
  ASSERT_NE(back, nullptr) << error;
  EXPECT_TRUE(sameFans(*back, model));
  EXPECT_FALSE(back->fans()->at(1)->ID().has_value());

  // An empty fan set stays without a list; an empty list stays an empty list.
  back = unarchivedRecord<FanModel>(*archivedDocument(FanModel()));
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(sameFans(*back, FanModel()));
  FanModel empty;
  empty.setFans(std::vector<std::shared_ptr<Fan>>{});
  back = unarchivedRecord<FanModel>(*archivedDocument(empty));
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(sameFans(*back, empty));
}

TEST(KeyedArchiveTest, TheRecordsOwnCodingPairWritesAndReadsTheirFields) {
  const FanModel model = twoFans();
  KeyedArchiver archiver;
  model.encodeWithCoder(archiver);
  std::optional<std::string> text = archiver.finishEncoding();
  ASSERT_TRUE(text);
  // The fields sit at the top level, the fans as archived Fan objects.
  EXPECT_NE(text->find(R"("count":{"int32":2})"), std::string::npos) << *text;
  EXPECT_NE(text->find(R"("class":"Fan")"), std::string::npos) << *text;

  std::unique_ptr<KeyedUnarchiver> unarchiver = KeyedUnarchiver::forReading(*text);
  ASSERT_NE(unarchiver, nullptr);
  std::shared_ptr<FanModel> back = FanModel::initWithCoder(*unarchiver);
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(sameFans(*back, model));

  KeyedArchiver fanArchiver;
  makeFan("F", 1, 2, 3)->encodeWithCoder(fanArchiver);
  unarchiver = KeyedUnarchiver::forReading(*fanArchiver.finishEncoding());
  ASSERT_NE(unarchiver, nullptr);
  std::shared_ptr<Fan> fan = Fan::initWithCoder(*unarchiver);
  ASSERT_NE(fan, nullptr);
  EXPECT_EQ(fan->mj_keyValues(), makeFan("F", 1, 2, 3)->mj_keyValues());
}

TEST(KeyedArchiveTest, AFileWrittenByOneProcessIsReadByAnother) {
  const std::string path = ::testing::TempDir() + "/trellis-fans-" + std::to_string(::getpid()) + ".archive";
  {
    std::ofstream out(path, std::ios::binary);
    out << *archivedDocument(twoFans());
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A fresh process: reads the file and checks what it decodes.
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::shared_ptr<FanModel> back = unarchivedRecord<FanModel>(text.str());
    ::_exit(back != nullptr && sameFans(*back, twoFans()) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  // And a fresh decoder here.
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::shared_ptr<FanModel> back = unarchivedRecord<FanModel>(text.str());
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(sameFans(*back, twoFans()));
  std::remove(path.c_str());
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
  std::optional<std::string> text = archiver.finishEncoding();
  ASSERT_TRUE(text);

  const ObjectClasses all{ValueClass::Null, ValueClass::Number, ValueClass::Text, ValueClass::Bytes,
                          ValueClass::Date, ValueClass::List,   ValueClass::Dictionary};
  std::unique_ptr<KeyedUnarchiver> unarchiver = KeyedUnarchiver::forReading(*text);
  ASSERT_NE(unarchiver, nullptr);
  for (const auto& [key, value] : values) {
    std::optional<Object> object = unarchiver->decodeObjectOfClasses(all, key);
    ASSERT_TRUE(object && object->value()) << key;
    EXPECT_EQ(*object->value(), value) << key;  // same kind and value
  }
  EXPECT_TRUE(std::signbit(*unarchiver->decodeObjectOfClasses(all, "negativeZero")->value()->get<double>()));
  EXPECT_TRUE(std::isnan(*unarchiver->decodeObjectOfClasses(all, "nan")->value()->get<double>()));
  std::optional<Object> list = unarchiver->decodeObjectOfClasses(all, "list");
  ASSERT_TRUE(list && list->list());
  EXPECT_EQ(mj_keyValues(*list), Value(Array{1.5, "x"}));
  EXPECT_FALSE(unarchiver->failed());
  EXPECT_EQ(unarchiver->decodeObjectOfClasses(all, "missing"), std::nullopt);
  EXPECT_FALSE(unarchiver->failed());
}

// ---- Reading keys ----

TEST(KeyedArchiveTest, UnderscoreKeysAreReadWhenThePlainKeyIsMissing) {
  const std::string text = document(R"({"root": {"object": {"class": "FanModel", "fields": {
      "_count": {"int32": 3},
      "_fans": {"array": [{"object": {"class": "Fan", "fields": {"_ID": {"string": "x"}, "speed": {"int32": 5}}}}]}}}}})");
  std::string error;
  std::shared_ptr<FanModel> model = unarchivedRecord<FanModel>(text, &error);
  ASSERT_NE(model, nullptr) << error;
  EXPECT_EQ(model->count(), 3);
  ASSERT_TRUE(model->fans());
  ASSERT_EQ(model->fans()->size(), 1u);
  EXPECT_EQ(model->fans()->at(0)->ID(), "x");
  EXPECT_EQ(model->fans()->at(0)->speed(), 5);
  EXPECT_EQ(model->fans()->at(0)->maxSpeed(), 0);  // missing: left as made

  // The plain key wins when both are there.
  model = unarchivedRecord<FanModel>(document(
      R"({"root": {"object": {"class": "FanModel", "fields": {"_count": {"int32": 3}, "count": {"int32": 4}}}}})"));
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(model->count(), 4);

  // No fields at all: the initial values.
  model = unarchivedRecord<FanModel>(document(R"({"root": {"object": {"class": "FanModel", "fields": {}}}})"));
  ASSERT_NE(model, nullptr);
  EXPECT_TRUE(sameFans(*model, FanModel()));
}

TEST(KeyedArchiveTest, AnyNumberThatFitsIsTakenByAnIntegerProperty) {
  auto countFrom = [](std::string_view node) -> std::optional<std::int32_t> {
    std::shared_ptr<FanModel> model = unarchivedRecord<FanModel>(
        document(R"({"root": {"object": {"class": "FanModel", "fields": {"count": )" + std::string(node) + "}}}}"));
    if (!model) return std::nullopt;
    return model->count();
  };
  EXPECT_EQ(countFrom(R"({"int64": 7})"), 7);
  EXPECT_EQ(countFrom(R"({"uint64": 8})"), 8);
  EXPECT_EQ(countFrom(R"({"double": 9.0})"), 9);
  EXPECT_EQ(countFrom(R"({"bool": true})"), 1);
  // Numbers it cannot hold, and things that are not numbers, fail the whole record.
  EXPECT_EQ(countFrom(R"({"int64": 4294967296})"), std::nullopt);
  EXPECT_EQ(countFrom(R"({"double": 9.5})"), std::nullopt);
  EXPECT_EQ(countFrom(R"({"string": "7"})"), std::nullopt);
  EXPECT_EQ(countFrom(R"({"null": null})"), std::nullopt);
  EXPECT_EQ(countFrom(R"({"array": []})"), std::nullopt);
}

TEST(KeyedArchiveTest, ADecodeAcceptsOnlyItsClassesAndFailsAsAWhole) {
  auto decode = [](std::string_view fans) {
    std::string error;
    std::shared_ptr<FanModel> model = unarchivedRecord<FanModel>(
        document(R"({"root": {"object": {"class": "FanModel", "fields": {"count": {"int32": 2}, "fans": )" +
                 std::string(fans) + "}}}}"),
        &error);
    EXPECT_EQ(model == nullptr, !error.empty()) << error;
    return model;
  };
  EXPECT_NE(decode(R"({"array": [{"object": {"class": "Fan", "fields": {}}}]})"), nullptr);
  // A class the list does not declare.
  EXPECT_EQ(decode(R"({"array": [{"object": {"class": "FanModel", "fields": {}}}]})"), nullptr);
  EXPECT_EQ(decode(R"({"array": [{"object": {"class": "Unknown", "fields": {}}}]})"), nullptr);
  // Accepted classes whose values do not fit a list of fans.
  EXPECT_EQ(decode(R"({"array": [{"int32": 1}]})"), nullptr);
  EXPECT_EQ(decode(R"({"int32": 1})"), nullptr);
  // A class accepted nowhere in it.
  EXPECT_EQ(decode(R"({"string": "fans"})"), nullptr);
  EXPECT_EQ(decode(R"({"dictionary": {}})"), nullptr);
  // A fan that itself fails.
  EXPECT_EQ(decode(R"({"array": [{"object": {"class": "Fan", "fields": {"ID": {"int32": 1}}}}]})"), nullptr);
  EXPECT_EQ(decode(R"({"array": [{"object": {"class": "Fan", "fields": {"speed": {"string": "1"}}}}]})"), nullptr);

  // The root of another class; and after a failure, every decode gives nothing.
  std::unique_ptr<KeyedUnarchiver> unarchiver = KeyedUnarchiver::forReading(
      document(R"({"root": {"object": {"class": "Fan", "fields": {}}}, "n": {"int32": 1}})"));
  ASSERT_NE(unarchiver, nullptr);
  EXPECT_TRUE(unarchiver->containsValueForKey("root"));
  EXPECT_FALSE(unarchiver->containsValueForKey("count"));
  EXPECT_EQ(unarchiver->decodeObjectOfClass<FanModel>("root"), nullptr);
  EXPECT_TRUE(unarchiver->failed());
  EXPECT_EQ(unarchiver->decodeObjectOfClasses(ObjectClasses{ValueClass::Number}, "n"), std::nullopt);

  // A record type that is not archivable is not made even when asked for.
  unarchiver = KeyedUnarchiver::forReading(document(R"({"root": {"object": {"class": "ArchivePlain", "fields": {}}}})"));
  ASSERT_NE(unarchiver, nullptr);
  EXPECT_EQ(unarchiver->decodeObjectOfClass<Plain>("root"), nullptr);
  EXPECT_TRUE(unarchiver->failed());
}

// ---- What cannot be written ----

TEST(KeyedArchiveTest, WhatCannotBeArchivedFailsTheArchive) {
  {
    KeyedArchiver archiver;
    EXPECT_FALSE(archiver.encodeObject(Plain(), "root"));
    EXPECT_TRUE(archiver.failed());
    EXPECT_FALSE(archiver.encodeObject(Object(Value(1.0)), "other"));  // failed stays failed
    EXPECT_EQ(archiver.finishEncoding(), std::nullopt);
  }
  {
    KeyedArchiver archiver;
    EXPECT_TRUE(archiver.encodeObject(Object(Value(std::string("\xff\xfe"))), "text"));
    EXPECT_EQ(archiver.finishEncoding(), std::nullopt);
    EXPECT_FALSE(archiver.error().empty());
  }
  {
    // A cycle: refused at the depth limit rather than recursing for ever.
    auto a = std::make_shared<Chain>();
    a->next = a;
    EXPECT_EQ(archivedDocument(*a), std::nullopt);
    a->next = nullptr;
  }
  {
    // A chain that fits is written and read back whole; one level more does not fit.
    auto chainOf = [](int length) {
      auto head = std::make_shared<Chain>();
      for (int i = 1; i < length; ++i) {
        auto link = std::make_shared<Chain>();
        link->next = head;
        head = link;
      }
      return head;
    };
    // The root node sits at JSON level 3; record k's node at 3k and its "fields" object at 3k + 2.
    const int fits = (kMaxArchiveDepth - 2) / 3;
    std::optional<std::string> text = archivedDocument(*chainOf(fits));
    ASSERT_TRUE(text);
    std::shared_ptr<Chain> back = unarchivedRecord<Chain>(*text);
    ASSERT_NE(back, nullptr);
    int length = 1;
    for (auto link = back; link->next; link = link->next) ++length;
    EXPECT_EQ(length, fits);
    EXPECT_EQ(archivedDocument(*chainOf(fits + 1)), std::nullopt);
  }
  {
    // A null record writes nothing; a list leaves its null records out.
    KeyedArchiver archiver;
    EXPECT_TRUE(archiver.encodeObject(Object(std::shared_ptr<Fan>()), "none"));
    EXPECT_TRUE(archiver.encodeObject(Object(ObjectList{Object(std::shared_ptr<Fan>()), Object(Value(1.0))}), "list"));
    std::unique_ptr<KeyedUnarchiver> unarchiver = KeyedUnarchiver::forReading(*archiver.finishEncoding());
    ASSERT_NE(unarchiver, nullptr);
    EXPECT_FALSE(unarchiver->containsValueForKey("none"));
    std::optional<Object> list = unarchiver->decodeObjectOfClasses({ValueClass::List, ValueClass::Number}, "list");
    ASSERT_TRUE(list);
    EXPECT_EQ(mj_keyValues(*list), Value(Array{1.0}));
  }
}

// ---- Damaged documents ----

TEST(KeyedArchiveTest, EveryTruncationFailsCleanly) {
  const std::string text = *archivedDocument(twoFans());
  ASSERT_NE(unarchivedRecord<FanModel>(text), nullptr);
  for (std::size_t length = 0; length < text.size(); ++length) {
    std::string error;
    EXPECT_EQ(KeyedUnarchiver::forReading(std::string_view(text).substr(0, length), &error), nullptr) << length;
    EXPECT_FALSE(error.empty()) << length;
  }
  // Surrounding white space is not damage.
  EXPECT_NE(unarchivedRecord<FanModel>(" \n" + text + "\n"), nullptr);
}

TEST(KeyedArchiveTest, CorruptDocumentsFailCleanlyWithAReason) {
  const std::string fan = R"({"object": {"class": "Fan", "fields": {"speed": {"int32": 5}}}})";
  const std::vector<std::pair<std::string, std::string>> cases = {
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
      {"node not an object", document(R"({"k": 5})")},
      {"node with two members", document(R"({"k": {"int32": 1, "int64": 1}})")},
      {"node with no member", document(R"({"k": {}})")},
      {"unknown tag", document(R"({"k": {"int128": 1}})")},
      {"int32 too large", document(R"({"k": {"int32": 2147483648}})")},
      {"int32 with fraction", document(R"({"k": {"int32": 1.0}})")},
      {"int32 as text", document(R"({"k": {"int32": "1"}})")},
      {"int64 too large", document(R"({"k": {"int64": 9223372036854775808}})")},
      {"uint32 negative", document(R"({"k": {"uint32": -1}})")},
      {"uint64 negative", document(R"({"k": {"uint64": -1}})")},
      {"float not a float", document(R"({"k": {"float": 0.1}})")},
      {"float out of range", document(R"({"k": {"float": 1e300}})")},
      {"double as integer", document(R"({"k": {"double": 1}})")},
      {"double as other text", document(R"({"k": {"double": "nan"}})")},
      {"bool as number", document(R"({"k": {"bool": 1}})")},
      {"null holding something", document(R"({"k": {"null": 0}})")},
      {"string as number", document(R"({"k": {"string": 1}})")},
      {"string not UTF-8", document("{\"k\": {\"string\": \"\xc3\x28\"}}")},
      {"bytes odd", document(R"({"k": {"bytes": "abc"}})")},
      {"bytes upper case", document(R"({"k": {"bytes": "AB"}})")},
      {"bytes not hex", document(R"({"k": {"bytes": "zz"}})")},
      {"date as text", document(R"({"k": {"date": "today"}})")},
      {"array not an array", document(R"({"k": {"array": {}}})")},
      {"array of bare numbers", document(R"({"k": {"array": [1]}})")},
      {"dictionary not an object", document(R"({"k": {"dictionary": []}})")},
      {"object in a dictionary", document(R"({"k": {"dictionary": {"f": )" + fan + "}}}")},
      {"object in an array in a dictionary", document(R"({"k": {"dictionary": {"a": {"array": [)" + fan + "]}}}}")},
      {"object without class", document(R"({"k": {"object": {"fields": {}}}})")},
      {"object with empty class", document(R"({"k": {"object": {"class": "", "fields": {}}}})")},
      {"object with numeric class", document(R"({"k": {"object": {"class": 1, "fields": {}}}})")},
      {"object with extra member", document(R"({"k": {"object": {"class": "Fan", "fields": {}, "x": 1}}})")},
      {"fields not an object", document(R"({"k": {"object": {"class": "Fan", "fields": []}}})")},
      {"bad node deep inside", document(R"({"k": {"array": [)" + fan + R"(, {"array": [{"int32": "x"}]}]}})")},
      {"too deep", document(std::string(200, '[') + std::string(200, ']'))},
  };
  for (const auto& [name, text] : cases) {
    std::string error;
    EXPECT_EQ(KeyedUnarchiver::forReading(text, &error), nullptr) << name;
    EXPECT_FALSE(error.empty()) << name;
  }
}

TEST(KeyedArchiveTest, EveryOneByteChangeFailsOrGivesAFanSetThatArchivesAgain) {
  const std::string text = *archivedDocument(twoFans());
  int decoded = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    for (char replacement : {'\0', '"', '}', '1', 'x'}) {
      if (text[at] == replacement) continue;
      std::string damaged = text;
      damaged[at] = replacement;
      std::string error;
      std::shared_ptr<FanModel> model = unarchivedRecord<FanModel>(damaged, &error);
      if (model == nullptr) {
        EXPECT_FALSE(error.empty()) << at << " " << replacement;
        continue;
      }
      // Some changes still make a document (a digit in a speed, a letter in a name): what it
      // gives is a whole fan set.
      ++decoded;
      std::optional<std::string> again = archivedDocument(*model);
      ASSERT_TRUE(again);
      std::shared_ptr<FanModel> twice = unarchivedRecord<FanModel>(*again);
      ASSERT_NE(twice, nullptr);
      EXPECT_TRUE(sameFans(*twice, *model));
    }
  }
  EXPECT_GT(decoded, 0);
}

TEST(KeyedArchiveTest, SeparateCodersRunOnSeparateThreads) {
  const FanModel model = twoFans();
  std::vector<int> good(4, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 50; ++i) {
          std::optional<std::string> text = archivedDocument(model);
          std::shared_ptr<FanModel> back = text ? unarchivedRecord<FanModel>(*text) : nullptr;
          if (back && sameFans(*back, model)) ++good[t];
        }
      });
    }
  }
  EXPECT_EQ(good, (std::vector<int>(4, 50)));
}

}  // namespace
}  // namespace trellis
