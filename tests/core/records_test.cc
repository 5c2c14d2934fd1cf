// Records as dictionaries and as keyed archives. The mapping: the fan set's exact form (keys and
// number kinds), every property kind a table can hold, what a property accepts when set, objects
// that are not records, record graphs with a cycle, and tables worked out once while threads race.
// The archive: the fan set's exact document and its way back, keys under "_" + name, which classes
// a decode accepts, every kind of value keeping its kind, what cannot be archived, and damaged
// documents (every one-byte change, each kind of corruption) failing cleanly.
#include "model/keyed_archive.h"
#include "model/mapping.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cmath>
#include <limits>
#include <thread>

#include "support/fan_records.h"

namespace trellis {
namespace {

using testing::describe;
using testing::makeFan;
using testing::twoFans;

struct Usage {
  static RecordTable<Usage> recordTable() {
    return RecordTable<Usage>("MappingUsage")
        .property("user", [](const Usage& u) { return u.user; }, [](Usage& u, std::int32_t v) { u.user = v; });
  }
  std::int32_t user = 0;
};

// A record with every kind of property, and one of a derived type.
struct Everything {
#define FIELD(f) .property(#f, [](const Everything& e) { return e.f; }, [](Everything& e, decltype(f) v) { e.f = v; })
  static RecordTable<Everything> recordTable() {
    return RecordTable<Everything>("MappingEverything") FIELD(i8) FIELD(i16) FIELD(i64) FIELD(u8) FIELD(u16) FIELD(u32)
        FIELD(u64) FIELD(temperature) FIELD(ratio) FIELD(flag) FIELD(brand) FIELD(note) FIELD(loadAverage) FIELD(usages)
            FIELD(total) FIELD(fan);
  }
#undef FIELD
  std::int8_t i8 = 0;
  std::int16_t i16 = 0;
  std::int64_t i64 = 0;
  std::uint8_t u8 = 0;
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0;
  std::uint64_t u64 = 0;
  float temperature = 0;
  double ratio = 0;
  bool flag = false;
  std::string brand;
  std::optional<std::string> note;
  std::vector<double> loadAverage;
  std::vector<Usage> usages;
  std::optional<Usage> total;
  std::shared_ptr<Fan> fan;
};
struct Derived : Usage {
  static RecordTable<Derived> recordTable() {
    return RecordTable<Derived>("MappingDerived")
        .property("label", [](const Derived& d) { return d.label; }, [](Derived& d, std::string v) { d.label = v; })
        .inherits<Usage>();
  }
  std::string label;
};

// An archivable record that can refer to itself.
struct Chain {
  static RecordTable<Chain> recordTable() {
    return RecordTable<Chain>("Chain")
        .property("next", [](const Chain& c) { return c.next; }, [](Chain& c, std::shared_ptr<Chain> v) { c.next = v; })
        .archivable();
  }
  std::shared_ptr<Chain> next;
};

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

const char* const kTwoFansDocument =
    R"({"format":"trellis-keyed-archive","top":{"root":{"object":{"class":"FanModel","fields":{"count":{"int32":2},)"
    R"("fans":{"array":[{"object":{"class":"Fan","fields":{"ID":{"string":"Left side"},"maxSpeed":{"int32":6156},)"
    R"("minSpeed":{"int32":1200},"speed":{"int32":2160}}}},{"object":{"class":"Fan","fields":{"maxSpeed":{"int32":-1},)"
    R"("minSpeed":{"int32":-1},"speed":{"int32":0}}}}]}}}}},"version":1})";

Dictionary fanForm(std::optional<std::string> id, std::int32_t speed, std::int32_t maxSpeed, std::int32_t minSpeed) {
  Dictionary form{{"speed", speed}, {"maxSpeed", maxSpeed}, {"minSpeed", minSpeed}};
  if (id) form["ID"] = *id;
  return form;
}

TEST(RecordMappingTest, FanSetsGiveCountAndFansOfInt32NumbersLeavingAbsentOnesOut) {
  // Value equality compares kinds too: an int64 2 would differ. An absent text or list leaves its
  // key out, an empty one is present; a null fan in the list is left out.
  EXPECT_EQ(testing::twoFans().mj_keyValues(),
            (Dictionary{{"count", 2}, {"fans", Array{fanForm("Left side", 2160, 6156, 1200), fanForm(std::nullopt, 0, -1, -1)}}}));
  EXPECT_EQ(FanModel().mj_keyValues(), (Dictionary{{"count", 0}}));
  FanModel model;
  model.setFans(std::vector<std::shared_ptr<Fan>>{nullptr, makeFan("", 1, 2, 3)});
  EXPECT_EQ(mj_JSONObject(model), (Dictionary{{"count", 0}, {"fans", Array{fanForm("", 1, 2, 3)}}}));
  EXPECT_EQ(FanModel::mj_objectClassInArray(), (ClassInArray{{"fans", "Fan"}}));
  EXPECT_EQ(recordTypeNamed("FanModel"), &recordTypeOf<FanModel>());

  // Refreshed in place, one form follows the set through every shape and equals the new form.
  FanModel oneFan;
  oneFan.setCount(1);
  oneFan.setFans(std::vector<std::shared_ptr<Fan>>{makeFan("Right", 900, 5000, 800)});
  const FanModel two = testing::twoFans(), none;
  Dictionary form{{"stale", 1}};
  for (const FanModel* set : std::initializer_list<const FanModel*>{&two, &model, &oneFan, &two, &none}) {
    set->assignKeyValues(form);
    EXPECT_EQ(form, set->mj_keyValues());
  }
}

TEST(RecordMappingTest, EachKindBoxesAsItsOwnKindOfValueAndAncestorsAreIncluded) {
  const Everything e{-8, -16, std::int64_t{1} << 40, 200, 60000, 4000000000u, std::numeric_limits<std::uint64_t>::max(),
                     42.5f, 0.1, true, "i7", std::nullopt, {1.5, 0.25}, {Usage{12}}, Usage{12}, makeFan("F", 1, 2, 3)};
  const Dictionary usage{{"user", 12}};
  EXPECT_EQ(mj_keyValues(e),
            (Dictionary{{"i8", -8}, {"i16", -16}, {"i64", std::int64_t{1} << 40}, {"u8", std::uint32_t{200}},
                        {"u16", std::uint32_t{60000}}, {"u32", std::uint32_t{4000000000u}},
                        {"u64", std::numeric_limits<std::uint64_t>::max()}, {"temperature", 42.5f}, {"ratio", 0.1},
                        {"flag", 1} /* a boolean is the number 1 */, {"brand", "i7"}, {"loadAverage", Array{1.5, 0.25}},
                        {"usages", Array{usage}}, {"total", usage}, {"fan", fanForm("F", 1, 2, 3)}}));
  const Dictionary fresh = mj_keyValues(Everything());
  EXPECT_EQ(fresh.count("note") + fresh.count("total") + fresh.count("fan"), 0u);
  EXPECT_EQ(fresh.at("brand"), Value(""));
  EXPECT_EQ(fresh.at("usages"), Value(Array{}));

  Derived d;
  d.user = 7;
  d.label = "x";
  EXPECT_EQ(mj_keyValues(d), (Dictionary{{"user", 7}, {"label", "x"}}));
  ASSERT_TRUE(recordTypeOf<Derived>().properties()[1].write(&d, Object(Value(9))));
  EXPECT_EQ(d.user, 9);
}

TEST(RecordMappingTest, SettingAPropertyTakesOnlyValuesItCanHold) {
  auto fan = makeFan("F", 1, 2, 3);
  auto usage = std::make_shared<Usage>(Usage{5});
  // Property, object, and what the property then reads as (nothing: refused, unchanged). Integers
  // take any number kind whose value fits exactly; floating point and booleans any number; text,
  // lists and records their own kind only.
  const std::nullopt_t refused = std::nullopt;
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const double infinity = std::numeric_limits<double>::infinity();
  const std::tuple<const char*, Object, std::optional<Value>> rows[] = {
      {"i8", Value(std::int64_t{-128}), Value(-128)}, {"i8", Value(128), refused}, {"i64", Value(3.0), Value(std::int64_t{3})},
      {"i64", Value(3.5), refused}, {"i64", Value(9.2233720368547758e18), refused} /* 2^63 */,
      {"i64", Value(-9.2233720368547758e18), Value(std::numeric_limits<std::int64_t>::min())},
      {"u64", Value(18446744073709549568.0), Value(std::uint64_t{18446744073709549568u})}, {"u64", Value(max), Value(max)},
      {"u32", Value(-1), refused}, {"u64", Value(-1), refused}, {"u16", Value(std::nan("")), refused},
      {"u8", Value(true), Value(std::uint32_t{1})}, {"i16", Value("12"), refused}, {"temperature", Value(40), Value(40.0f)},
      {"temperature", Value(1e300), refused}, {"temperature", Value(infinity), Value(static_cast<float>(infinity))},
      {"ratio", Value(std::uint64_t{5}), Value(5.0)}, {"flag", Value(2), Value(1)}, {"flag", Value(false), Value(0)},
      {"flag", Value("yes"), refused}, {"brand", Value(1), refused}, {"note", Value("n"), Value("n")},
      {"loadAverage", Value(Array{1, 2.5}), Value(Array{1.0, 2.5})}, {"loadAverage", Value(Array{1.0, "x"}), refused},
      {"loadAverage", Value(1.0), refused}, {"fan", Object(fan), Value(fanForm("F", 1, 2, 3))},
      {"fan", Object(std::make_shared<FanModel>()), refused}, {"usages", Object(ObjectList{Object(fan)}), refused},
      {"usages", Object(ObjectList{Object(usage)}), Value(Array{Dictionary{{"user", 5}}})},
      {"total", Object(usage), Value(Dictionary{{"user", 5}})}};
  Everything e;
  for (const auto& [name, object, expected] : rows) {
    const Property* property = nullptr;
    for (const Property& p : recordTypeOf<Everything>().properties()) property = p.name == name ? &p : property;
    const Dictionary before = mj_keyValues(e);
    EXPECT_EQ(property->write(&e, object), expected.has_value()) << name;
    const Dictionary after = mj_keyValues(e);
    EXPECT_EQ(after.count(name) ? std::optional(after.at(name)) : std::nullopt,
              expected ? expected : (before.count(name) ? std::optional(before.at(name)) : std::nullopt))
        << name;
  }
  EXPECT_EQ(e.fan, fan) << "a record property holds a reference: the same record";
}

TEST(ObjectMappingTest, ObjectsThatAreNotRecordsListsOfThemTextAsJsonAndCycles) {
  auto fan = makeFan("A", 1, 2, 3);
  const ObjectList list{Object(fan), Object(Value(3)), Object(Value("x")), Object(std::shared_ptr<Fan>()),
                        Object(ObjectList{Object(fan)})};
  const Array expected{fanForm("A", 1, 2, 3), 3, "x", Array{fanForm("A", 1, 2, 3)}};
  EXPECT_EQ(mj_keyValuesArrayWithObjectArray(list), expected) << "null records are left out";
  EXPECT_EQ(mj_keyValues(Object(std::shared_ptr<Fan>())), std::nullopt);
  EXPECT_EQ(mj_keyValues(Object(Value(Dictionary{{"a", 1.5}}))), Value(Dictionary{{"a", 1.5}}));

  // Text and data are read as JSON; anything else maps as mj_keyValues does.
  EXPECT_EQ(mj_JSONObject(Object(Value(R"({"count": 2, "fans": [1.5]})"))), Value(Dictionary{{"count", 2}, {"fans", Array{1.5}}}));
  const std::string text = R"([true, null])";
  EXPECT_EQ(mj_JSONObject(Object(Value(Bytes(text.begin(), text.end())))), Value(Array{true, Null{}}));
  for (const Value& bad : {Value("{\"count\": 2"), Value(""), Value(Bytes{0x22, 0xff, 0x22})}) {
    EXPECT_EQ(mj_JSONObject(Object(bad)), std::nullopt);
  }
  EXPECT_EQ(mj_JSONObject(Object(Value(2.5))), Value(2.5));

  // A record cycle ends at the nesting limit instead of exhausting the stack.
  auto a = std::make_shared<Chain>();
  a->next = std::make_shared<Chain>();
  EXPECT_EQ(mj_keyValues(*a), (Dictionary{{"next", Dictionary{}}}));
  a->next->next = a;
  EXPECT_EQ(Value(mj_keyValues(*a)).depth(), kMaxRecordNesting);
  a->next->next = nullptr;
}

// Counts how often its table is worked out, slowly enough that racing threads overlap.
std::atomic<int> racerTables{0};
struct Racer {
  static RecordTable<Racer> recordTable() {
    racerTables.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return RecordTable<Racer>("MappingRacer")
        .property("value", [](const Racer& r) { return r.value; }, [](Racer& r, std::int32_t v) { r.value = v; });
  }
  std::int32_t value = 0;
};

TEST(RecordMappingTest, ThreadsRacingOnFirstUseSeeOneTableWorkedOutOnce) {
  std::barrier start(8);
  std::vector<Dictionary> forms(8);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { start.arrive_and_wait(); forms[i] = mj_keyValues(Racer{i}); });
  }
  EXPECT_EQ(racerTables.load(), 1);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(forms[i], (Dictionary{{"value", i}}));
}

TEST(KeyedArchiveTest, FanSetsRoundTripThroughTheDocumentAndTheirOwnCodingPair) {
  const std::string text = *archivedDocument(twoFans());
  EXPECT_EQ(text, kTwoFansDocument);
  EXPECT_EQ(decoded(text), describe(twoFans()));
  // An empty fan set stays without a list; an empty list stays an empty list.
  EXPECT_EQ(decoded(*archivedDocument(FanModel())), "0: no list");
  FanModel empty;
  empty.setFans(std::vector<std::shared_ptr<Fan>>{});
  EXPECT_EQ(decoded(*archivedDocument(empty)), "0:");
  // The records' own pair: fields at the top level.
  KeyedArchiver archiver;
  twoFans().encodeWithCoder(archiver);
  std::unique_ptr<KeyedUnarchiver> unarchiver = KeyedUnarchiver::forReading(*archiver.finishEncoding());
  ASSERT_NE(unarchiver, nullptr);
  EXPECT_EQ(describe(*FanModel::initWithCoder(*unarchiver)), describe(twoFans()));
  KeyedArchiver fanArchiver;
  makeFan("F", 1, 2, 3)->encodeWithCoder(fanArchiver);
  unarchiver = KeyedUnarchiver::forReading(*fanArchiver.finishEncoding());
  EXPECT_EQ(Fan::initWithCoder(*unarchiver)->mj_keyValues(), makeFan("F", 1, 2, 3)->mj_keyValues());
}

TEST(KeyedArchiveTest, EveryKindOfValueKeepsItsKind) {
  // Small int64s stay int64s and whole doubles stay doubles.
  const Dictionary values{
      {"null", Null{}}, {"bool", true}, {"int32", -7}, {"int64small", std::int64_t{7}},
      {"int64", std::numeric_limits<std::int64_t>::min()}, {"uint32", std::numeric_limits<std::uint32_t>::max()},
      {"uint64", std::numeric_limits<std::uint64_t>::max()}, {"float", 0.1f}, {"floatMax", std::numeric_limits<float>::max()},
      {"floatTiny", std::numeric_limits<float>::denorm_min()}, {"double", 0.1}, {"doubleWhole", 2.0}, {"negativeZero", -0.0},
      {"infinity", std::numeric_limits<double>::infinity()}, {"minusInfinity", -std::numeric_limits<float>::infinity()},
      {"string", "Fan \"é\" \n\t"}, {"bytes", Bytes{0x00, 0xab, 0xff}}, {"date", Date{1700000000.25}},
      {"dictionary", Dictionary{{"inner", Array{1, Dictionary{}, Array{}}}}}};
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
      KeyedUnarchiver::forReading(document(R"({"root": {"object": {"class": "MappingUsage", "fields": {}}}})"));
  ASSERT_NE(unarchiver, nullptr);
  EXPECT_EQ(unarchiver->decodeObjectOfClass<Usage>("root"), nullptr);
  EXPECT_TRUE(unarchiver->failed());
}

TEST(KeyedArchiveTest, WhatCannotBeArchivedFailsTheArchive) {
  KeyedArchiver plain;
  EXPECT_FALSE(plain.encodeObject(Usage(), "root"));
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
  EXPECT_NE(unarchivedRecord<FanModel>(" \n" + text + "\n"), nullptr) << "surrounding white space is not damage";

  const std::string fan = R"({"object": {"class": "Fan", "fields": {"speed": {"int32": 5}}}})";
  const auto node = [](const std::string& k) { return document(R"({"k": )" + k + "}"); };
  const std::string top = R"({"format": "trellis-keyed-archive", )";
  const std::string rows[] = {
      // Not an archive of this format and version.
      "fans", "", std::string("{\"format\"\0", 10), document("{}") + "x", document("{}") + document("{}"), "[]",
      R"({"format": "other", "version": 1, "top": {}})", top + R"("version": 2, "top": {}})",
      top + R"("version": "1", "top": {}})", top + R"("version": 1.0, "top": {}})", top + R"("version": 1})",
      top + R"("version": 1, "top": {}, "x": 1})", document("[]"),
      // Nodes that are not one tag with a payload it can hold.
      node("5"), node(R"({"int32": 1, "int64": 1})"), node("{}"), node(R"({"int128": 1})"), node(R"({"int32": 2147483648})"),
      node(R"({"int32": 1.0})"), node(R"({"int32": "1"})"), node(R"({"int64": 9223372036854775808})"),
      node(R"({"uint32": -1})"), node(R"({"uint64": -1})"), node(R"({"float": 0.1})"), node(R"({"float": 1e300})"),
      node(R"({"double": 1})"), node(R"({"double": "nan"})"), node(R"({"bool": 1})"), node(R"({"null": 0})"),
      node(R"({"string": 1})"), node("{\"string\": \"\xc3\x28\"}"), node(R"({"bytes": "abc"})"), node(R"({"bytes": "AB"})"),
      node(R"({"bytes": "zz"})"), node(R"({"date": "today"})"), node(R"({"array": {}})"), node(R"({"array": [1]})"),
      node(R"({"dictionary": []})"), node(R"({"array": [)" + fan + R"(, {"array": [{"int32": "x"}]}]})"),
      document(std::string(200, '[') + std::string(200, ']')),
      // Records where they cannot be, or not made of exactly a class name and fields.
      node(R"({"dictionary": {"f": )" + fan + "}}"), node(R"({"dictionary": {"a": {"array": [)" + fan + "]}}}"),
      node(R"({"object": {"fields": {}}})"), node(R"({"object": {"class": "", "fields": {}}})"),
      node(R"({"object": {"class": 1, "fields": {}}})"), node(R"({"object": {"class": "Fan", "fields": {}, "x": 1}})"),
      node(R"({"object": {"class": "Fan", "fields": []}})")};
  for (const std::string& damaged : rows) {
    std::string error;
    EXPECT_EQ(KeyedUnarchiver::forReading(damaged, &error), nullptr) << damaged;
    EXPECT_FALSE(error.empty()) << damaged;
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

}  // namespace
}  // namespace trellis
