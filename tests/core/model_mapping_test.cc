// The dictionary mapping of records: the fan set's exact dictionary form (keys and number kinds),
// every property kind a table can hold, objects that are not records, what a property accepts
// when set, record graphs with a cycle, and tables worked out once while threads race.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "model/mapping.h"
#include "support/fan_records.h"

namespace trellis {
namespace {

using testing::makeFan;

class Usage {
 public:
  static RecordTable<Usage> recordTable() {
    return RecordTable<Usage>("MappingUsage")
        .property("user", &Usage::user, &Usage::setUser)
        .property("idle", &Usage::idle, &Usage::setIdle);
  }
  std::int32_t user() const { return user_; }
  void setUser(std::int32_t v) { user_ = v; }
  std::int32_t idle() const { return idle_; }
  void setIdle(std::int32_t v) { idle_ = v; }

 private:
  std::int32_t user_ = 0;
  std::int32_t idle_ = 0;
};

// A record with every kind of property, shaped like the processor records.
struct Everything {
#define FIELD(f) \
  .property(     \
      #f, [](const Everything& e) { return e.f; }, [](Everything& e, decltype(f) v) { e.f = v; })
  static RecordTable<Everything> recordTable() {
    return RecordTable<Everything>("MappingEverything")
        .property("i8", &Everything::getI8, &Everything::setI8) FIELD(i16) FIELD(i64) FIELD(u8) FIELD(u16) FIELD(u32)
            FIELD(u64) FIELD(temperature) FIELD(ratio) FIELD(flag) FIELD(brand) FIELD(note) FIELD(loadAverage)
                FIELD(usages) FIELD(total) FIELD(fan) FIELD(names);
  }
#undef FIELD
  std::int8_t getI8() const { return i8; }
  void setI8(std::int8_t v) { i8 = v; }

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
  std::vector<std::string> names;
};

struct Base {
  static RecordTable<Base> recordTable() {
    return RecordTable<Base>("MappingBase").property("serial", &Base::serial, &Base::setSerial);
  }
  std::int32_t serial() const { return serial_; }
  void setSerial(std::int32_t v) { serial_ = v; }
  std::int32_t serial_ = 0;
};
struct Derived : Base {
  static RecordTable<Derived> recordTable() {
    return RecordTable<Derived>("MappingDerived")
        .property("label", &Derived::label, &Derived::setLabel)
        .inherits<Base>();
  }
  const std::optional<std::string>& label() const { return label_; }
  void setLabel(std::optional<std::string> v) { label_ = std::move(v); }
  std::optional<std::string> label_;
};

// A record that can refer to itself.
struct Link {
  static RecordTable<Link> recordTable() {
    return RecordTable<Link>("MappingLink")
        .property(
            "depth", [](const Link& l) { return l.depth; }, [](Link& l, std::int32_t v) { l.depth = v; })
        .property(
            "next", [](const Link& l) { return l.next; }, [](Link& l, std::shared_ptr<Link> v) { l.next = v; });
  }
  std::int32_t depth = 0;
  std::shared_ptr<Link> next;
};

// Counts how often its table is worked out, slowly enough that racing threads overlap.
std::atomic<int> racerTables{0};
struct Racer {
  static RecordTable<Racer> recordTable() {
    racerTables.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return RecordTable<Racer>("MappingRacer")
        .property(
            "value", [](const Racer& r) { return r.value; }, [](Racer& r, std::int32_t v) { r.value = v; });
  }
  std::int32_t value = 0;
};

Dictionary fanForm(std::optional<std::string> id, std::int32_t speed, std::int32_t maxSpeed, std::int32_t minSpeed) {
  Dictionary form{{"speed", speed}, {"maxSpeed", maxSpeed}, {"minSpeed", minSpeed}};
  if (id) form["ID"] = *id;
  return form;
}

TEST(FanMappingTest, FanSetsGiveExactlyCountAndFansOfInt32NumbersLeavingAbsentOnesOut) {
  FanModel model;
  model.setCount(2);
  model.setFans(std::vector{makeFan("Left side", 2160, 6156, 1200), makeFan("Right side", 0, -1, -1)});
  // Value equality compares kinds too: an int64 2 would differ.
  const Dictionary expected{{"count", std::int32_t{2}},
                            {"fans", Array{fanForm("Left side", 2160, 6156, 1200), fanForm("Right side", 0, -1, -1)}}};
  EXPECT_EQ(model.mj_keyValues(), expected);
  EXPECT_EQ(mj_keyValues(model), expected);
  EXPECT_EQ(mj_JSONObject(model), expected);

  // An absent text or list leaves its key out; an empty text or list is present; a null fan in the
  // list is left out.
  EXPECT_EQ(FanModel().mj_keyValues(), (Dictionary{{"count", std::int32_t{0}}}));
  EXPECT_EQ(makeFan(std::nullopt, 1000, 1500, -1)->mj_keyValues(), fanForm(std::nullopt, 1000, 1500, -1));
  EXPECT_EQ(makeFan("", 0, 0, 0)->mj_keyValues(), fanForm("", 0, 0, 0));
  model.setFans(std::vector<std::shared_ptr<Fan>>{});
  EXPECT_EQ(model.mj_keyValues().at("fans"), Value(Array{}));
  model.setFans(std::vector<std::shared_ptr<Fan>>{nullptr, makeFan("A", 1, 2, 3)});
  EXPECT_EQ(model.mj_keyValues().at("fans"), Value(Array{fanForm("A", 1, 2, 3)}));
}

TEST(FanMappingTest, TablesListThePropertiesInDeclarationOrderWithTheirKinds) {
  auto names = [](const RecordType& type) {
    std::string out;
    for (const Property& p : type.properties()) out += p.name + ":" + propertyKindName(p.kind) + " ";
    return out;
  };
  const std::string i32 = propertyKindName(PropertyKind::Int32);
  EXPECT_EQ(names(recordTypeOf<Fan>()), "ID:" + std::string(propertyKindName(PropertyKind::Text)) + " speed:" + i32 +
                                            " maxSpeed:" + i32 + " minSpeed:" + i32 + " ");
  EXPECT_EQ(names(recordTypeOf<FanModel>()), "count:" + i32 + " fans:" + propertyKindName(PropertyKind::List) + " ");
  EXPECT_EQ(&recordTypeOf<FanModel>().properties()[1].recordType(), &recordTypeOf<Fan>());
  EXPECT_EQ(FanModel::mj_objectClassInArray(), (ClassInArray{{"fans", "Fan"}}));
  EXPECT_TRUE(mj_objectClassInArray<Fan>().empty());
  EXPECT_EQ(recordTypeNamed("FanModel"), &recordTypeOf<FanModel>());
}

TEST(RecordMappingTest, EachKindBoxesAsItsOwnKindOfValueAndAncestorsAreIncluded) {
  Usage u;
  u.setUser(12);
  u.setIdle(80);
  // clang-format off
  const Everything e{-8, -16, std::int64_t{1} << 40, 200, 60000, 4000000000u, std::numeric_limits<std::uint64_t>::max(),
                     42.5f, 0.1, true, "Intel(R) Core(TM) i7", std::nullopt, {1.5, 0.75, 0.25}, {u, u}, u,
                     makeFan("F", 1, 2, 3), {"a", "b"}};
  // clang-format on
  const Dictionary usage{{"user", std::int32_t{12}}, {"idle", std::int32_t{80}}};
  // clang-format off
  EXPECT_EQ(mj_keyValues(e), (Dictionary{
      {"i8", std::int32_t{-8}}, {"i16", std::int32_t{-16}}, {"i64", std::int64_t{1} << 40}, {"u8", std::uint32_t{200}},
      {"u16", std::uint32_t{60000}}, {"u32", std::uint32_t{4000000000u}}, {"u64", std::numeric_limits<std::uint64_t>::max()},
      {"temperature", 42.5f}, {"ratio", 0.1}, {"flag", std::int32_t{1}} /* a boolean is the number 1 */,
      {"brand", "Intel(R) Core(TM) i7"}, {"loadAverage", Array{1.5, 0.75, 0.25}}, {"usages", Array{usage, usage}},
      {"total", usage}, {"fan", fanForm("F", 1, 2, 3)}, {"names", Array{"a", "b"}}}));
  // clang-format on
  // Absent: no note, no total, no fan. An empty text and empty lists are present.
  const Dictionary fresh = mj_keyValues(Everything());
  EXPECT_EQ(fresh.count("note") + fresh.count("total") + fresh.count("fan"), 0u);
  EXPECT_EQ(fresh.at("brand"), Value(""));
  EXPECT_EQ(fresh.at("loadAverage"), Value(Array{}));
  EXPECT_EQ(fresh.at("flag"), Value(std::int32_t{0}));

  // An ancestor's properties are included, and set through the derived record.
  Derived d;
  d.setSerial(7);
  d.setLabel("x");
  EXPECT_EQ(mj_keyValues(d), (Dictionary{{"serial", std::int32_t{7}}, {"label", "x"}}));
  const Property& serial = recordTypeOf<Derived>().properties()[1];
  ASSERT_EQ(serial.name, "serial");
  ASSERT_TRUE(serial.write(&d, Object(Value(std::int32_t{9}))));
  EXPECT_EQ(d.serial(), 9);
}

TEST(RecordMappingTest, SettingAPropertyTakesOnlyValuesItCanHold) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  auto fan = makeFan("F", 1, 2, 3);
  auto usage = std::make_shared<Usage>();
  usage->setIdle(5);
  const Dictionary usageForm{{"user", std::int32_t{0}}, {"idle", std::int32_t{5}}};
  // Property, object, and what the property then reads as (nothing: refused, unchanged). Integers
  // take any number kind whose value fits exactly; floating point and booleans any number; text,
  // lists and records their own kind only.
  const std::tuple<const char*, Object, std::optional<Value>> rows[] = {
      {"i8", Value(std::int64_t{-128}), Value(std::int32_t{-128})},
      {"i8", Value(std::int32_t{128}), std::nullopt},
      {"i64", Value(3.0), Value(std::int64_t{3})},
      {"i64", Value(3.5), std::nullopt},
      {"i64", Value(9.2233720368547758e18), std::nullopt},  // 2^63
      {"i64", Value(std::numeric_limits<std::uint64_t>::max()), std::nullopt},
      {"u64", Value(std::numeric_limits<std::uint64_t>::max()), Value(std::numeric_limits<std::uint64_t>::max())},
      {"u32", Value(std::int32_t{-1}), std::nullopt},
      {"u16", Value(nan), std::nullopt},
      {"u8", Value(true), Value(std::uint32_t{1})},
      {"i16", Value("12"), std::nullopt},
      {"temperature", Value(std::int32_t{40}), Value(40.0f)},
      {"temperature", Value(1e300), std::nullopt},
      {"temperature", Value(infinity), Value(std::numeric_limits<float>::infinity())},
      {"ratio", Value(std::uint64_t{5}), Value(5.0)},
      {"flag", Value(std::int32_t{2}), Value(std::int32_t{1})},
      {"flag", Value(false), Value(std::int32_t{0})},
      {"flag", Value("yes"), std::nullopt},
      {"brand", Value(std::int32_t{1}), std::nullopt},
      {"note", Value("n"), Value("n")},
      {"loadAverage", Value(Array{std::int32_t{1}, 2.5}), Value(Array{1.0, 2.5})},
      {"loadAverage", Value(Array{1.0, "x"}), std::nullopt},
      {"loadAverage", Value(1.0), std::nullopt},
      {"fan", Object(fan), Value(fanForm("F", 1, 2, 3))},
      {"fan", Object(std::make_shared<FanModel>()), std::nullopt},
      {"usages", Object(ObjectList{Object(fan)}), std::nullopt},
      {"usages", Object(ObjectList{Object(usage)}), Value(Array{usageForm})},
      {"total", Object(usage), Value(usageForm)},
  };
  Everything e;
  for (const auto& [name, object, expected] : rows) {
    const Property* property = nullptr;
    for (const Property& p : recordTypeOf<Everything>().properties()) property = p.name == name ? &p : property;
    ASSERT_NE(property, nullptr) << name;
    const Dictionary before = mj_keyValues(e);
    EXPECT_EQ(property->write(&e, object), expected.has_value()) << name;
    const Dictionary after = mj_keyValues(e);
    EXPECT_EQ(after.count(name) ? std::optional(after.at(name)) : std::nullopt,
              expected ? expected : (before.count(name) ? std::optional(before.at(name)) : std::nullopt))
        << name;
  }
  EXPECT_EQ(e.fan, fan) << "a record property holds a reference: the same record";
}

TEST(ObjectMappingTest, ObjectsThatAreNotRecordsAndListsOfThem) {
  EXPECT_EQ(mj_keyValues(Object(Value("text"))), Value("text"));
  EXPECT_EQ(mj_keyValues(Object(Value(std::int64_t{5}))), Value(std::int64_t{5}));
  EXPECT_EQ(mj_keyValues(Object(Value(Dictionary{{"a", 1.5}}))), Value(Dictionary{{"a", 1.5}}));
  EXPECT_EQ(mj_keyValues(Object(Value())), Value());
  EXPECT_EQ(mj_keyValues(Object(std::shared_ptr<Fan>())), std::nullopt);
  EXPECT_EQ(mj_keyValues(Object(makeFan("A", 1, 2, 3))), Value(fanForm("A", 1, 2, 3)));

  // Lists replace their records by dictionaries, and leave null records out.
  auto fan = makeFan("A", 1, 2, 3);
  const ObjectList list{Object(fan), Object(Value(std::int32_t{3})), Object(Value("x")), Object(std::shared_ptr<Fan>()),
                        Object(ObjectList{Object(fan)})};
  const Array expected{fanForm("A", 1, 2, 3), std::int32_t{3}, "x", Array{fanForm("A", 1, 2, 3)}};
  EXPECT_EQ(mj_keyValuesArrayWithObjectArray(list), expected);
  EXPECT_EQ(mj_keyValues(Object(list)), Value(expected));
  EXPECT_EQ(mj_keyValuesArrayWithObjectArray({}), Array{});
  EXPECT_NE(Object(Value(Array{1.0})).list(), nullptr) << "an Array value is a list like any other";
}

TEST(ObjectMappingTest, JsonObjectParsesTextAndDataAndGivesNothingForWhatIsNotJson) {
  EXPECT_EQ(mj_JSONObject(Object(Value(R"({"count": 2, "fans": [1.5, "é"]})"))),
            Value(Dictionary{{"count", std::int32_t{2}}, {"fans", Array{1.5, "é"}}}));
  const std::string text = R"([true, null])";
  EXPECT_EQ(mj_JSONObject(Object(Value(Bytes(text.begin(), text.end())))), Value(Array{true, Null{}}));
  for (const Value& bad : {Value("{\"count\": 2"), Value("not json"), Value(""), Value(Bytes{0x22, 0xff, 0x22})}) {
    EXPECT_EQ(mj_JSONObject(Object(bad)), std::nullopt);  // the last: a string that is not UTF-8
  }
  // Not text or data: as mj_keyValues.
  EXPECT_EQ(mj_JSONObject(Object(Value(2.5))), Value(2.5));
  EXPECT_EQ(mj_JSONObject(Object(makeFan(std::nullopt, 1, 2, 3))), Value(fanForm(std::nullopt, 1, 2, 3)));
}

TEST(ObjectMappingTest, ARecordCycleEndsInsteadOfExhaustingTheStack) {
  auto a = std::make_shared<Link>();
  auto b = std::make_shared<Link>();
  a->next = b;
  b->next = a;
  EXPECT_EQ(Value(mj_keyValues(*a)).depth(), kMaxRecordNesting);
  a->next = nullptr;  // break the cycle so both are freed
  // Without a cycle, nesting is followed in full.
  EXPECT_EQ(mj_keyValues(*b),
            (Dictionary{{"depth", std::int32_t{0}}, {"next", Dictionary{{"depth", std::int32_t{0}}}}}));
}

TEST(RecordMappingConcurrencyTest, ThreadsRacingOnFirstUseSeeOneTableWorkedOutOnce) {
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::vector<const RecordType*> seen(kThreads);
  std::vector<Dictionary> forms(kThreads);
  std::vector<Dictionary> fanForms(kThreads);
  const FanModel model = testing::twoFans();
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        Racer racer;
        racer.value = i;
        forms[i] = mj_keyValues(racer);
        seen[i] = &recordTypeOf<Racer>();
        fanForms[i] = model.mj_keyValues();
      });
    }
  }
  EXPECT_EQ(racerTables.load(), 1);
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(seen[i], seen[0]);
    EXPECT_EQ(forms[i], (Dictionary{{"value", std::int32_t{i}}}));
    EXPECT_EQ(fanForms[i], model.mj_keyValues());
  }
}

}  // namespace
}  // namespace trellis
