// The dictionary mapping of records: the fan set's exact dictionary form (keys and number kinds),
// every property kind a table can hold, objects that are not records, what a property accepts
// when set, record graphs with a cycle, and tables worked out once while threads race.
#include "model/mapping.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cmath>
#include <limits>
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

// ---- Records with every kind of property, shaped like the processor records ----

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

struct Everything {
  static RecordTable<Everything> recordTable() {
    return RecordTable<Everything>("MappingEverything")
        .property("i8", &Everything::getI8, &Everything::setI8)
        .property("i16", [](const Everything& e) { return e.i16; }, [](Everything& e, std::int16_t v) { e.i16 = v; })
        .property("i64", [](const Everything& e) { return e.i64; }, [](Everything& e, std::int64_t v) { e.i64 = v; })
        .property("u8", [](const Everything& e) { return e.u8; }, [](Everything& e, std::uint8_t v) { e.u8 = v; })
        .property("u16", [](const Everything& e) { return e.u16; }, [](Everything& e, std::uint16_t v) { e.u16 = v; })
        .property("u32", [](const Everything& e) { return e.u32; }, [](Everything& e, std::uint32_t v) { e.u32 = v; })
        .property("u64", [](const Everything& e) { return e.u64; }, [](Everything& e, std::uint64_t v) { e.u64 = v; })
        .property("temperature", [](const Everything& e) { return e.temperature; },
                  [](Everything& e, float v) { e.temperature = v; })
        .property("ratio", [](const Everything& e) { return e.ratio; }, [](Everything& e, double v) { e.ratio = v; })
        .property("flag", [](const Everything& e) { return e.flag; }, [](Everything& e, bool v) { e.flag = v; })
        .property("brand", [](const Everything& e) -> const std::string& { return e.brand; },
                  [](Everything& e, std::string v) { e.brand = std::move(v); })
        .property("note", [](const Everything& e) -> const std::optional<std::string>& { return e.note; },
                  [](Everything& e, std::optional<std::string> v) { e.note = std::move(v); })
        .property("loadAverage", [](const Everything& e) -> const std::vector<double>& { return e.loadAverage; },
                  [](Everything& e, std::vector<double> v) { e.loadAverage = std::move(v); })
        .property("usages", [](const Everything& e) -> const std::vector<Usage>& { return e.usages; },
                  [](Everything& e, std::vector<Usage> v) { e.usages = std::move(v); })
        .property("total", [](const Everything& e) -> const std::optional<Usage>& { return e.total; },
                  [](Everything& e, std::optional<Usage> v) { e.total = std::move(v); })
        .property("fan", [](const Everything& e) { return e.fan; },
                  [](Everything& e, std::shared_ptr<Fan> v) { e.fan = std::move(v); })
        .property("names", [](const Everything& e) -> const std::vector<std::string>& { return e.names; },
                  [](Everything& e, std::vector<std::string> v) { e.names = std::move(v); });
  }
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
        .property("depth", [](const Link& l) { return l.depth; }, [](Link& l, std::int32_t v) { l.depth = v; })
        .property("next", [](const Link& l) { return l.next; }, [](Link& l, std::shared_ptr<Link> v) { l.next = v; });
  }
  std::int32_t depth = 0;
  std::shared_ptr<Link> next;
};

// Counts how often its table is worked out.
std::atomic<int> racerTables{0};
struct Racer {
  static RecordTable<Racer> recordTable() {
    racerTables.fetch_add(1);
    // Slow enough that racing threads overlap while the table is being worked out.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return RecordTable<Racer>("MappingRacer")
        .property("value", [](const Racer& r) { return r.value; }, [](Racer& r, std::int32_t v) { r.value = v; });
  }
  std::int32_t value = 0;
};

// ---- The fan set ----

TEST(FanMappingTest, FanSetWithTwoFansGivesExactlyCountAndFansOfInt32Numbers) {
  FanModel model;
  model.setCount(2);
  model.setFans(std::vector{makeFan("Left side", 2160, 6156, 1200), makeFan("Right side", 0, -1, -1)});

  const Dictionary form = model.mj_keyValues();
  const Dictionary expected{
      {"count", std::int32_t{2}},
      {"fans", Array{Dictionary{{"ID", "Left side"}, {"speed", std::int32_t{2160}}, {"maxSpeed", std::int32_t{6156}},
                                {"minSpeed", std::int32_t{1200}}},
                     Dictionary{{"ID", "Right side"}, {"speed", std::int32_t{0}}, {"maxSpeed", std::int32_t{-1}},
                                {"minSpeed", std::int32_t{-1}}}}}};
  EXPECT_EQ(form, expected);  // Value equality also compares kinds: int64 2 would differ
  ASSERT_EQ(form.size(), 2u);
  EXPECT_EQ(form.at("count").kind(), Value::Kind::Int32);
  const Array& fans = *form.at("fans").array();
  ASSERT_EQ(fans.size(), 2u);
  for (const Value& fan : fans) {
    ASSERT_EQ(fan.dictionary()->size(), 4u);
    for (const char* key : {"speed", "maxSpeed", "minSpeed"}) EXPECT_EQ(fan.find(key)->kind(), Value::Kind::Int32) << key;
  }
  // The free function over the table gives the same.
  EXPECT_EQ(mj_keyValues(model), form);
  EXPECT_EQ(mj_JSONObject(model), form);
}

TEST(FanMappingTest, AbsentTextAndListLeaveTheirKeysOut) {
  EXPECT_EQ(FanModel().mj_keyValues(), (Dictionary{{"count", std::int32_t{0}}}));

  EXPECT_EQ(makeFan(std::nullopt, 1000, 1500, -1)->mj_keyValues(),
            (Dictionary{{"speed", std::int32_t{1000}}, {"maxSpeed", std::int32_t{1500}}, {"minSpeed", std::int32_t{-1}}}));
  // An empty text is present.
  EXPECT_EQ(makeFan("", 0, 0, 0)->mj_keyValues().count("ID"), 1u);

  // An empty list is present; a null fan in the list is left out.
  FanModel model;
  model.setFans(std::vector<std::shared_ptr<Fan>>{});
  EXPECT_EQ(model.mj_keyValues(), (Dictionary{{"count", std::int32_t{0}}, {"fans", Array{}}}));
  model.setFans(std::vector<std::shared_ptr<Fan>>{nullptr, makeFan("A", 1, 2, 3)});
  EXPECT_EQ(model.mj_keyValues().at("fans").array()->size(), 1u);
}

TEST(FanMappingTest, TablesListThePropertiesInDeclarationOrderWithTheirKinds) {
  auto names = [](const RecordType& type) {
    std::vector<std::pair<std::string, PropertyKind>> out;
    for (const Property& p : type.properties()) out.emplace_back(p.name, p.kind);
    return out;
  };
  using P = std::vector<std::pair<std::string, PropertyKind>>;
  EXPECT_EQ(names(recordTypeOf<Fan>()), (P{{"ID", PropertyKind::Text},
                                           {"speed", PropertyKind::Int32},
                                           {"maxSpeed", PropertyKind::Int32},
                                           {"minSpeed", PropertyKind::Int32}}));
  EXPECT_EQ(names(recordTypeOf<FanModel>()), (P{{"count", PropertyKind::Int32}, {"fans", PropertyKind::List}}));
  EXPECT_EQ(&recordTypeOf<FanModel>().properties()[1].recordType(), &recordTypeOf<Fan>());

  EXPECT_EQ(FanModel::mj_objectClassInArray(), (ClassInArray{{"fans", "Fan"}}));
  EXPECT_TRUE(mj_objectClassInArray<Fan>().empty());
  EXPECT_EQ(recordTypeNamed("FanModel"), &recordTypeOf<FanModel>());
}

// ---- Every kind of property ----

TEST(RecordMappingTest, EachKindBoxesAsItsOwnKindOfValue) {
  Everything e;
  e.i8 = -8;
  e.i16 = -16;
  e.i64 = std::int64_t{1} << 40;
  e.u8 = 200;
  e.u16 = 60000;
  e.u32 = 4000000000u;
  e.u64 = std::numeric_limits<std::uint64_t>::max();
  e.temperature = 42.5f;
  e.ratio = 0.1;
  e.flag = true;
  e.brand = "Intel(R) Core(TM) i7";
  e.loadAverage = {1.5, 0.75, 0.25};
  Usage u;
  u.setUser(12);
  u.setIdle(80);
  e.usages = {u, u};
  e.total = u;
  e.fan = makeFan("F", 1, 2, 3);
  e.names = {"a", "b"};

  const Dictionary usage{{"user", std::int32_t{12}}, {"idle", std::int32_t{80}}};
  const Dictionary expected{
      {"i8", std::int32_t{-8}},
      {"i16", std::int32_t{-16}},
      {"i64", std::int64_t{1} << 40},
      {"u8", std::uint32_t{200}},
      {"u16", std::uint32_t{60000}},
      {"u32", std::uint32_t{4000000000u}},
      {"u64", std::numeric_limits<std::uint64_t>::max()},
      {"temperature", 42.5f},
      {"ratio", 0.1},
      {"flag", std::int32_t{1}},  // a boolean is the number 1, not a boolean value
      {"brand", "Intel(R) Core(TM) i7"},
      {"loadAverage", Array{1.5, 0.75, 0.25}},
      {"usages", Array{usage, usage}},
      {"total", usage},
      {"fan", Dictionary{{"ID", "F"}, {"speed", std::int32_t{1}}, {"maxSpeed", std::int32_t{2}}, {"minSpeed", std::int32_t{3}}}},
      {"names", Array{"a", "b"}}};
  EXPECT_EQ(mj_keyValues(e), expected);

  // Absent: no note, no total, no fan. An empty std::string and empty lists are present.
  const Dictionary fresh = mj_keyValues(Everything());
  EXPECT_EQ(fresh.count("note") + fresh.count("total") + fresh.count("fan"), 0u);
  EXPECT_EQ(fresh.at("brand"), Value(""));
  EXPECT_EQ(fresh.at("loadAverage"), Value(Array{}));
  EXPECT_EQ(fresh.at("flag"), Value(std::int32_t{0}));
}

TEST(RecordMappingTest, AncestorPropertiesAreIncluded) {
  Derived d;
  d.setSerial(7);
  d.setLabel("x");
  EXPECT_EQ(mj_keyValues(d), (Dictionary{{"serial", std::int32_t{7}}, {"label", "x"}}));

  // And are set through the derived record.
  const Property& serial = recordTypeOf<Derived>().properties()[1];
  ASSERT_EQ(serial.name, "serial");
  ASSERT_TRUE(serial.write(&d, Object(Value(std::int32_t{9}))));
  EXPECT_EQ(d.serial(), 9);
}

TEST(RecordMappingTest, SettingAPropertyTakesOnlyValuesItCanHold) {
  const RecordType& type = recordTypeOf<Everything>();
  auto property = [&](std::string_view name) -> const Property& {
    for (const Property& p : type.properties()) {
      if (p.name == name) return p;
    }
    ADD_FAILURE() << name;
    return type.properties().front();
  };
  Everything e;
  auto set = [&](std::string_view name, Object object) { return property(name).write(&e, object); };

  // Integers: any number kind whose value fits exactly.
  EXPECT_TRUE(set("i8", Value(std::int64_t{-128})));
  EXPECT_EQ(e.i8, -128);
  EXPECT_FALSE(set("i8", Value(std::int32_t{128})));
  EXPECT_EQ(e.i8, -128);  // unchanged
  EXPECT_TRUE(set("i64", Value(3.0)));
  EXPECT_EQ(e.i64, 3);
  EXPECT_FALSE(set("i64", Value(3.5)));
  EXPECT_FALSE(set("i64", Value(9.2233720368547758e18)));  // 2^63
  EXPECT_FALSE(set("i64", Value(std::numeric_limits<std::uint64_t>::max())));
  EXPECT_TRUE(set("u64", Value(std::numeric_limits<std::uint64_t>::max())));
  EXPECT_EQ(e.u64, std::numeric_limits<std::uint64_t>::max());
  EXPECT_FALSE(set("u32", Value(std::int32_t{-1})));
  EXPECT_FALSE(set("u16", Value(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_TRUE(set("u8", Value(true)));
  EXPECT_EQ(e.u8, 1);
  EXPECT_FALSE(set("i16", Value("12")));

  // Floating point and booleans.
  EXPECT_TRUE(set("temperature", Value(std::int32_t{40})));
  EXPECT_EQ(e.temperature, 40.0f);
  EXPECT_FALSE(set("temperature", Value(1e300)));
  EXPECT_TRUE(set("temperature", Value(std::numeric_limits<double>::infinity())));
  EXPECT_TRUE(std::isinf(e.temperature));
  EXPECT_TRUE(set("ratio", Value(std::uint64_t{5})));
  EXPECT_EQ(e.ratio, 5.0);
  EXPECT_TRUE(set("flag", Value(std::int32_t{2})));
  EXPECT_TRUE(e.flag);
  EXPECT_TRUE(set("flag", Value(false)));
  EXPECT_FALSE(e.flag);
  EXPECT_FALSE(set("flag", Value("yes")));

  // Text, lists and records.
  EXPECT_FALSE(set("brand", Value(std::int32_t{1})));
  EXPECT_TRUE(set("note", Value("n")));
  EXPECT_EQ(e.note, "n");
  EXPECT_TRUE(set("loadAverage", Value(Array{std::int32_t{1}, 2.5})));
  EXPECT_EQ(e.loadAverage, (std::vector<double>{1.0, 2.5}));
  EXPECT_FALSE(set("loadAverage", Value(Array{1.0, "x"})));
  EXPECT_EQ(e.loadAverage, (std::vector<double>{1.0, 2.5}));
  EXPECT_FALSE(set("loadAverage", Value(1.0)));
  auto fan = makeFan("F", 1, 2, 3);
  EXPECT_TRUE(set("fan", Object(fan)));
  EXPECT_EQ(e.fan, fan);  // a reference: the same record
  EXPECT_FALSE(set("fan", Object(std::make_shared<FanModel>())));
  EXPECT_FALSE(set("usages", Object(ObjectList{Object(fan)})));
  auto usage = std::make_shared<Usage>();
  usage->setIdle(5);
  EXPECT_TRUE(set("usages", Object(ObjectList{Object(usage)})));
  ASSERT_EQ(e.usages.size(), 1u);
  EXPECT_EQ(e.usages[0].idle(), 5);
  EXPECT_TRUE(set("total", Object(usage)));
  EXPECT_EQ(e.total->idle(), 5);
}

// ---- Objects that are not records ----

TEST(ObjectMappingTest, ValuesStayAsTheyAreAndTheNullRecordGivesNothing) {
  EXPECT_EQ(mj_keyValues(Object(Value("text"))), Value("text"));
  EXPECT_EQ(mj_keyValues(Object(Value(std::int64_t{5}))), Value(std::int64_t{5}));
  EXPECT_EQ(mj_keyValues(Object(Value(Dictionary{{"a", 1.5}}))), Value(Dictionary{{"a", 1.5}}));
  EXPECT_EQ(mj_keyValues(Object(Value())), Value());
  EXPECT_EQ(mj_keyValues(Object(std::shared_ptr<Fan>())), std::nullopt);
  EXPECT_EQ(mj_keyValues(Object(makeFan("A", 1, 2, 3))), Value(makeFan("A", 1, 2, 3)->mj_keyValues()));
}

TEST(ObjectMappingTest, ListsReplaceTheirRecordsByDictionaries) {
  auto fan = makeFan("A", 1, 2, 3);
  const ObjectList list{Object(fan), Object(Value(std::int32_t{3})), Object(Value("x")),
                        Object(std::shared_ptr<Fan>()), Object(ObjectList{Object(fan)})};
  const Array expected{Value(fan->mj_keyValues()), std::int32_t{3}, "x", Array{Value(fan->mj_keyValues())}};
  EXPECT_EQ(mj_keyValuesArrayWithObjectArray(list), expected);
  EXPECT_EQ(mj_keyValues(Object(list)), Value(expected));
  EXPECT_EQ(mj_keyValuesArrayWithObjectArray({}), Array{});
  // An Array value is a list like any other.
  EXPECT_NE(Object(Value(Array{1.0})).list(), nullptr);
}

TEST(ObjectMappingTest, JsonObjectParsesTextAndDataAndGivesNothingForWhatIsNotJson) {
  EXPECT_EQ(mj_JSONObject(Object(Value(R"({"count": 2, "fans": [1.5, "é"]})"))),
            Value(Dictionary{{"count", std::int32_t{2}}, {"fans", Array{1.5, "é"}}}));
  const std::string text = R"([true, null])";
  EXPECT_EQ(mj_JSONObject(Object(Value(Bytes(text.begin(), text.end())))), Value(Array{true, Null{}}));

  EXPECT_EQ(mj_JSONObject(Object(Value("{\"count\": 2"))), std::nullopt);
  EXPECT_EQ(mj_JSONObject(Object(Value("not json"))), std::nullopt);
  EXPECT_EQ(mj_JSONObject(Object(Value(""))), std::nullopt);
  EXPECT_EQ(mj_JSONObject(Object(Value(Bytes{0x22, 0xff, 0x22}))), std::nullopt);  // a string that is not UTF-8
  // Not text or data: as mj_keyValues.
  EXPECT_EQ(mj_JSONObject(Object(Value(2.5))), Value(2.5));
  EXPECT_EQ(mj_JSONObject(Object(makeFan(std::nullopt, 1, 2, 3))), Value(makeFan(std::nullopt, 1, 2, 3)->mj_keyValues()));
}

TEST(ObjectMappingTest, ARecordCycleEndsInsteadOfExhaustingTheStack) {
  auto a = std::make_shared<Link>();
  auto b = std::make_shared<Link>();
  a->next = b;
  b->next = a;
  const Dictionary form = mj_keyValues(*a);
  EXPECT_EQ(Value(form).depth(), kMaxRecordNesting);
  a->next = nullptr;  // break the cycle so both are freed
  // Without a cycle, nesting is followed in full.
  EXPECT_EQ(mj_keyValues(*b), (Dictionary{{"depth", std::int32_t{0}},
                                          {"next", Dictionary{{"depth", std::int32_t{0}}}}}));
}

// ---- Threads ----

TEST(RecordMappingConcurrencyTest, ThreadsRacingOnFirstUseSeeOneTableWorkedOutOnce) {
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::vector<const RecordType*> seen(kThreads);
  std::vector<Dictionary> forms(kThreads);
  std::vector<Dictionary> fanForms(kThreads);
  FanModel model;
  model.setCount(2);
  model.setFans(std::vector{makeFan("L", 1, 2, 3), makeFan("R", 4, 5, 6)});
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
    EXPECT_EQ(fanForms[i], fanForms[0]);
  }
  EXPECT_EQ(fanForms[0].size(), 2u);
}

}  // namespace
}  // namespace trellis
