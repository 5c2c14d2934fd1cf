// The fan routines and the fan collector over simulated SMC tables: the fan count and its two
// reads with their messages, identifiers, speeds by data type, limits, the unusable counts that
// leave the record alone, and the process's error budget for unreadable speeds (notifications on
// the local centre, lines in the system log). A transport around the simulation injects failures
// of single exchanges. Test thread only.
#include "smc/fan_info.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "notify/local_notification_center.h"
#include "platform/sim/sim_smc.h"
#include "smc/fan_smc.h"
#include "smc/smc_client.h"
#include "tools/system_log.h"

namespace trellis {
namespace {

std::string keyText(std::uint32_t code) {
  std::string key(4, ' ');
  for (int i = 0; i < 4; ++i) key[static_cast<std::size_t>(i)] = static_cast<char>(code >> (8 * (3 - i)));
  return key;
}

// Passes exchanges to the simulation unless `failWhen` picks them; those fail with kSmcIOError.
class FaultyTransport final : public SmcTransport {
 public:
  explicit FaultyTransport(SmcTransport* inner) : inner_(inner) {}

  int open(std::uint32_t* connection) override { return inner_->open(connection); }
  int call(std::uint32_t connection, std::uint32_t selector, const SmcMessage& input, SmcMessage* output,
           std::size_t* outputSize) override {
    if (failWhen && failWhen(input.command, keyText(input.key))) return kSmcIOError;
    return inner_->call(connection, selector, input, output, outputSize);
  }

  std::function<bool(int command, const std::string& key)> failWhen;

 private:
  SmcTransport* inner_;
};

struct RecordingLog final : SystemLog {
  void write(int priority, std::string_view line) override {
    priorities.push_back(priority);
    lines.emplace_back(line);
  }
  std::vector<int> priorities;
  std::vector<std::string> lines;
};

std::string floatHex(float value) {
  std::uint8_t bytes[4];
  std::memcpy(bytes, &value, sizeof bytes);
  char text[9];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3]);
  return text;
}

// An identifier value: four leading bytes, then `name` in hex.
std::string idHex(const std::string& name) {
  std::string hex = "00000000";
  for (unsigned char c : name) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", c);
    hex += two;
  }
  return hex;
}

// What a stream-taking routine printed.
template <typename F>
std::string printed(F&& body) {
  char* text = nullptr;
  std::size_t length = 0;
  FILE* out = open_memstream(&text, &length);
  body(out);
  std::fclose(out);
  std::string result(text, length);
  std::free(text);
  return result;
}

class FanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetProcess();
    setSystemLog(&log_);
    token_ = LocalNotificationCenter::defaultCenter().addObserver(
        "SensorError", [this](const LocalNotification& n) { sensorErrors_.push_back(n.object); });
  }
  void TearDown() override {
    LocalNotificationCenter::defaultCenter().removeObserver(token_);
    setSystemLog(nullptr);
    SmcTransport::setSystem(nullptr);
    resetProcess();
  }

  static void resetProcess() {
    SmcResetProcessStateForTesting();
    TlxResetFanErrorBudgetForTesting();
  }

  void install(const std::string& keys, bool openable = true) {
    std::string error;
    sim_ = sim::SimSmc::parse(
        std::string(R"({ "open": )") + (openable ? "true" : "false") + R"(, "keys": [ )" + keys + " ] }", &error);
    ASSERT_NE(sim_, nullptr) << error;
    transport_ = std::make_unique<FaultyTransport>(sim_.get());
    SmcTransport::setSystem(transport_.get());
  }

  // One reading of `info`, returning what it printed on the standard output.
  static std::string reload(FanInfo& info) {
    ::testing::internal::CaptureStdout();
    info.reloadInfo();
    return ::testing::internal::GetCapturedStdout();
  }

  std::unique_ptr<sim::SimSmc> sim_;
  std::unique_ptr<FaultyTransport> transport_;
  RecordingLog log_;
  std::vector<std::string> sensorErrors_;
  LocalNotificationCenter::Token token_ = 0;
};

TEST_F(FanTest, KeyNamesAreCutToFourCharacters) {
  char name[5];
  TlxFanKeyName(0, "Ac", name);
  EXPECT_STREQ(name, "F0Ac");
  TlxFanKeyName(8, "ID", name);
  EXPECT_STREQ(name, "F8ID");
  TlxFanKeyName(12, "Mx", name);
  EXPECT_STREQ(name, "F12M");
  TlxFanKeyName(-1, "Mn", name);
  EXPECT_STREQ(name, "F-1M");
  TlxFanKeyName(std::numeric_limits<int>::min(), "Mn", name);
  EXPECT_STREQ(name, "F-21");
}

TEST_F(FanTest, ReadsEveryFanInOrder) {
  install(R"({ "key": "FNum", "type": "ui8 ", "bytes": "02" },
             { "key": "F0ID", "type": "{fds", "bytes": ")" +
          idHex("Left Exhaust") + R"(" },
             { "key": "F1ID", "type": "{fds", "bytes": ")" + idHex("Right") + R"(" },
             { "key": "F0Ac", "type": "fpe2", "bytes": "0fa0" },
             { "key": "F1Ac", "type": "flt ", "bytes": ")" + floatHex(1234.9f) + R"(" },
             { "key": "F0Mx", "type": "fpe2", "bytes": "1770" },
             { "key": "F0Mn", "type": "fpe2", "bytes": "0fa3" },
             { "key": "F1Mx", "type": "flt ", "bytes": "17700000" })");
  FanInfo info;
  EXPECT_EQ(reload(info), "");
  EXPECT_FALSE(info.sandbox());

  const std::shared_ptr<FanModel> record = info.getFanInfo();
  EXPECT_EQ(record->count(), 2);
  ASSERT_TRUE(record->fans().has_value());
  ASSERT_EQ(record->fans()->size(), 2u);
  const Fan& left = *record->fans()->at(0);
  EXPECT_EQ(left.ID(), std::optional<std::string>("Left Exhaust"));
  EXPECT_EQ(left.speed(), 1000);
  EXPECT_EQ(left.maxSpeed(), 1500);  // 0x1770 / 4
  EXPECT_EQ(left.minSpeed(), 1000);  // 0x0fa3: the fraction is dropped
  const Fan& right = *record->fans()->at(1);
  EXPECT_EQ(right.ID(), std::optional<std::string>("Right"));
  EXPECT_EQ(right.speed(), 1234);    // the float truncated toward zero
  EXPECT_EQ(right.maxSpeed(), 1500);  // the first two bytes, whatever the key's type
  EXPECT_EQ(right.minSpeed(), -1);    // F1Mn is missing
  EXPECT_TRUE(sensorErrors_.empty());
  EXPECT_TRUE(log_.lines.empty());

  // A later reading replaces the list.
  const auto firstList = record->fans();
  reload(info);
  ASSERT_EQ(record->fans()->size(), 2u);
  EXPECT_NE(record->fans()->at(0), firstList->at(0));
}

TEST_F(FanTest, AnUnusableCountLeavesTheRecordAsItWas) {
  struct Case {
    const char* what;
    const char* count;  // FNum's bytes after the first reading, or nothing: unreadable
    std::string printed;
  };
  const Case cases[] = {
      {"zero fans", "00", ""},
      {"ten fans", "0a", ""},
      {"unreadable", nullptr, "smc read key[FNum] failed.smc read key2[FNum] failed."},
  };
  const std::string fan0 = R"(, { "key": "F0Ac", "type": "fpe2", "bytes": "0fa0" })";
  const auto failFNum = [](int, const std::string& key) { return key == "FNum"; };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bad = c.count != nullptr ? c.count : "02";

    // Before any success: the empty record, untouched.
    resetProcess();
    install(R"({ "key": "FNum", "type": "ui8 ", "bytes": ")" + bad + R"(" })" + fan0);
    if (c.count == nullptr) transport_->failWhen = failFNum;
    FanInfo fresh;
    EXPECT_EQ(reload(fresh), c.printed);
    EXPECT_TRUE(fresh.sandbox());
    EXPECT_EQ(fresh.getFanInfo()->count(), 0);
    EXPECT_FALSE(fresh.getFanInfo()->fans().has_value());

    // After a success: the record keeps that reading's count and fans.
    resetProcess();
    install(R"({ "key": "FNum", "type": "ui8 ", "bytes": "02", "values": [ "02", ")" + bad + R"(" ] })" + fan0);
    FanInfo info;
    EXPECT_EQ(reload(info), "");
    EXPECT_FALSE(info.sandbox());
    const std::shared_ptr<FanModel> record = info.getFanInfo();
    ASSERT_EQ(record->count(), 2);
    const auto fans = record->fans();
    ASSERT_TRUE(fans.has_value());

    if (c.count == nullptr) transport_->failWhen = failFNum;
    EXPECT_EQ(reload(info), c.printed);
    EXPECT_TRUE(info.sandbox());
    EXPECT_EQ(info.getFanInfo(), record);
    EXPECT_EQ(record->count(), 2);
    ASSERT_TRUE(record->fans().has_value());
    EXPECT_EQ(*record->fans(), *fans);  // the very same fan records
    EXPECT_EQ(record->fans()->at(0)->speed(), 1000);
  }
}

TEST_F(FanTest, SandboxStaysSetAfterALaterSuccess) {
  install(R"({ "key": "FNum", "type": "ui8 ", "bytes": "00", "values": [ "00", "01" ] })");
  FanInfo info;
  reload(info);
  EXPECT_TRUE(info.sandbox());
  reload(info);
  EXPECT_TRUE(info.sandbox());
  EXPECT_EQ(info.getFanInfo()->count(), 1);
  ASSERT_TRUE(info.getFanInfo()->fans().has_value());
  EXPECT_EQ(info.getFanInfo()->fans()->size(), 1u);
}

TEST_F(FanTest, NoSmcGivesNoCountAndPrintsNothing) {
  FanInfo info;
  EXPECT_EQ(printed([](FILE* out) { EXPECT_EQ(TlxGetFanCount(out), -1); }), "");
  EXPECT_EQ(reload(info), "");
  EXPECT_TRUE(info.sandbox());

  install(R"({ "key": "FNum", "type": "ui8 ", "bytes": "02" })", /*openable=*/false);
  EXPECT_EQ(printed([](FILE* out) { EXPECT_EQ(TlxGetFanCount(out), -1); }), "");
  EXPECT_EQ(info.getFanInfo()->count(), 0);
}

TEST_F(FanTest, CountFallsBackToTheTypedReadAndSaysSo) {
  install(R"({ "key": "FNum", "type": "ui8 ", "bytes": "03" },
             { "key": "F0Ac", "type": "fpe2", "bytes": "0fa0" },
             { "key": "F1Ac", "type": "fpe2", "bytes": "1f40" },
             { "key": "F2Ac", "type": "fpe2", "bytes": "2ee0" })");
  // The raw read is the first read-value exchange about FNum; the typed read's comes after its
  // key-information exchange.
  int rawReads = 0;
  transport_->failWhen = [&rawReads](int command, const std::string& key) {
    if (key != "FNum" || command != kSmcReadValue) return false;
    return ++rawReads % 2 == 1;
  };
  FanInfo info;
  EXPECT_EQ(reload(info), "smc read key[FNum] failed.smc read key2[FNum] = 3");
  EXPECT_EQ(info.getFanInfo()->count(), 3);
  ASSERT_EQ(info.getFanInfo()->fans()->size(), 3u);
  EXPECT_EQ(info.getFanInfo()->fans()->at(0)->speed(), 1000);
  EXPECT_EQ(info.getFanInfo()->fans()->at(1)->speed(), 2000);
  EXPECT_EQ(info.getFanInfo()->fans()->at(2)->speed(), 3000);

  // Both reads failing.
  transport_->failWhen = [](int command, const std::string& key) { return key == "FNum" && command == kSmcReadValue; };
  EXPECT_EQ(printed([](FILE* out) { EXPECT_EQ(TlxGetFanCount(out), -1); }),
            "smc read key[FNum] failed.smc read key2[FNum] failed.");
}

TEST_F(FanTest, TypedCountKeepsTheLowByteOfTheValue) {
  // Raw reads of one byte would give 0x01; the typed read takes both bytes, 0x0103, and keeps 3.
  install(R"({ "key": "FNum", "type": "ui16", "bytes": "0103" })");
  bool raw = true;
  transport_->failWhen = [&raw](int command, const std::string& key) {
    if (key != "FNum" || command != kSmcReadValue || !raw) return false;
    raw = false;
    return true;
  };
  EXPECT_EQ(printed([](FILE* out) { EXPECT_EQ(TlxGetFanCount(out), 3); }),
            "smc read key[FNum] failed.smc read key2[FNum] = 3");

  // A raw read that works returns the byte as it is, without a message.
  EXPECT_EQ(printed([](FILE* out) { EXPECT_EQ(TlxGetFanCount(out), 1); }), "");
}

TEST_F(FanTest, IdentifiersAreTheBytesAfterTheFirstFour) {
  install(R"({ "key": "FNum", "type": "ui8 ", "bytes": "06" },
             { "key": "F0ID", "type": "{fds", "bytes": ")" +
          idHex("Main Blower1") + R"(" },
             { "key": "F1ID", "type": "{fds", "bytes": "01020304" },
             { "key": "F2ID", "type": "{fds", "bytes": "0102" },
             { "key": "F3ID", "type": "{fds", "bytes": "00000000fffe41" },
             { "key": "F4ID", "type": "{fds", "bytes": "0000000041420043" },
             { "key": "F5ID", "type": "{fds", "bytes": ")" +
          idHex("Sixteen bytes!!!") + R"(" })");
  FanInfo info;
  reload(info);
  const auto& fans = *info.getFanInfo()->fans();
  ASSERT_EQ(fans.size(), 6u);
  EXPECT_EQ(fans[0]->ID(), std::optional<std::string>("Main Blower1"));  // 16 bytes: 12 characters
  EXPECT_EQ(fans[1]->ID(), std::optional<std::string>(""));              // exactly 4 bytes
  EXPECT_EQ(fans[2]->ID(), std::optional<std::string>(""));              // shorter than 4
  EXPECT_EQ(fans[3]->ID(), std::nullopt);                                // not UTF-8
  EXPECT_EQ(fans[4]->ID(), std::optional<std::string>("AB"));            // up to the NUL
  EXPECT_EQ(fans[5]->ID(), std::optional<std::string>("Sixteen bytes!!!"));  // 20 bytes, the most
}

TEST_F(FanTest, AnUnreadableIdentifierEmptiesItAndAllLaterOnes) {
  // F1ID is 24 bytes long: more than the 20 a slot's read takes.
  install(R"({ "key": "FNum", "type": "ui8 ", "bytes": "03" },
             { "key": "F0ID", "type": "{fds", "bytes": ")" +
          idHex("Zero") + R"(" },
             { "key": "F1ID", "type": "{fds", "bytes": ")" + idHex("twenty bytes of name") + R"(" },
             { "key": "F2ID", "type": "{fds", "bytes": ")" + idHex("Two") + R"(" },
             { "key": "F2Ac", "type": "fpe2", "bytes": "0fa0" })");
  FanInfo info;
  reload(info);
  const auto& fans = *info.getFanInfo()->fans();
  ASSERT_EQ(fans.size(), 3u);
  EXPECT_EQ(fans[0]->ID(), std::optional<std::string>("Zero"));
  EXPECT_EQ(fans[1]->ID(), std::optional<std::string>(""));
  EXPECT_EQ(fans[2]->ID(), std::optional<std::string>(""));
  EXPECT_EQ(fans[2]->speed(), 1000);  // the other readings go on

  // The routine itself stops there and leaves the later slots as they were.
  char names[kFanSlots][kFanNameSize];
  std::memset(names, 'x', sizeof names);
  EXPECT_EQ(TlxGetFanIds(3, names), -1);
  EXPECT_STREQ(names[0], "Zero");
  EXPECT_EQ(names[2][0], 'x');
}

TEST_F(FanTest, SpeedsAreDecodedByTypeAndTruncatedTowardZero) {
  install(R"({ "key": "FNum", "type": "ui8 ", "bytes": "05" },
             { "key": "F0Ac", "type": "fpe2", "bytes": "0fa0" },
             { "key": "F1Ac", "type": "flt ", "bytes": ")" +
          floatHex(1234.9f) + R"(" },
             { "key": "F2Ac", "type": "flt ", "bytes": ")" + floatHex(-3.7f) + R"(" },
             { "key": "F3Ac", "type": "fpe2", "bytes": "0fa3" },
             { "key": "F4Ac", "type": "flt ", "bytes": ")" + floatHex(1e20f) + R"(" })");
  double speeds[kFanSlots] = {};
  ASSERT_EQ(TlxGetFanSpeeds(5, speeds), 0);
  EXPECT_EQ(speeds[0], 1000.0);
  EXPECT_EQ(speeds[1], static_cast<double>(1234.9f));
  EXPECT_EQ(speeds[3], 1000.75);

  FanInfo info;
  reload(info);
  const auto& fans = *info.getFanInfo()->fans();
  ASSERT_EQ(fans.size(), 5u);
  EXPECT_EQ(fans[0]->speed(), 1000);
  EXPECT_EQ(fans[1]->speed(), 1234);
  EXPECT_EQ(fans[2]->speed(), -3);
  EXPECT_EQ(fans[3]->speed(), 1000);
  // No 32-bit integer part: the x86 conversion's answer.
  EXPECT_EQ(fans[4]->speed(), std::numeric_limits<std::int32_t>::min());
}

TEST_F(FanTest, LimitsAreTwoRawBytesWithTheFractionDropped) {
  install(R"({ "key": "F0Mx", "type": "fpe2", "bytes": "1770" },
             { "key": "F0Mn", "type": "fpe2", "bytes": "0960", "fail": 3758097084 },
             { "key": "F1Mn", "type": "ui16", "bytes": "ffff" })");
  EXPECT_EQ(TlxGetFanMaxSpeed(0), 1500.0f);
  EXPECT_EQ(TlxGetFanMinSpeed(0), -1.0f);   // unreadable
  EXPECT_EQ(TlxGetFanMaxSpeed(1), -1.0f);   // missing
  EXPECT_EQ(TlxGetFanMinSpeed(1), 16383.0f);  // 0xff * 64 + (0xff >> 2)
}

TEST_F(FanTest, RoutinesRejectBadCountsAndMissingBuffers) {
  char names[kFanSlots][kFanNameSize] = {};
  double speeds[kFanSlots] = {};
  // No SMC.
  EXPECT_EQ(TlxGetFanIds(1, names), -1);
  EXPECT_EQ(TlxGetFanSpeeds(1, speeds), -1);
  EXPECT_EQ(TlxGetFanMaxSpeed(0), -1.0f);
  EXPECT_EQ(TlxGetFanMinSpeed(0), -1.0f);

  install(R"({ "key": "F0ID", "type": "{fds", "bytes": ")" + idHex("Fan") + R"(" },
             { "key": "F0Ac", "type": "fpe2", "bytes": "0fa0" })");
  for (int count : {0, 10}) {
    EXPECT_EQ(TlxGetFanIds(count, names), -1) << count;
    EXPECT_EQ(TlxGetFanSpeeds(count, speeds), -1) << count;
  }
  EXPECT_EQ(TlxGetFanIds(1, nullptr), -1);
  EXPECT_EQ(TlxGetFanSpeeds(1, nullptr), -1);
  EXPECT_EQ(names[0][0], '\0');
  EXPECT_EQ(speeds[0], 0.0);

  EXPECT_EQ(TlxGetFanIds(1, names), 0);
  EXPECT_STREQ(names[0], "Fan");
  EXPECT_EQ(TlxGetFanSpeeds(1, speeds), 0);
  EXPECT_EQ(speeds[0], 1000.0);
}

TEST_F(FanTest, OnlyTheFirstTwoUnreadableSpeedsOfTheProcessAreReported) {
  install(R"({ "key": "FNum", "type": "ui8 ", "bytes": "02" },
             { "key": "F0Ac", "type": "fpe2", "bytes": "0fa0" },
             { "key": "F1Ac", "type": "fpe2", "bytes": "1f40" })");
  bool fan0Fails = true;
  bool fan1Fails = false;
  transport_->failWhen = [&](int command, const std::string& key) {
    // Fan 0's key fails outright, so its type is never learnt; fan 1's value read fails after its
    // key information told its type.
    if (key == "F0Ac") return fan0Fails;
    return key == "F1Ac" && command == kSmcReadValue && fan1Fails;
  };
  FanInfo info;

  // First reading: fan 0 unreadable, reported with an empty type.
  reload(info);
  EXPECT_EQ(info.getFanInfo()->fans()->at(0)->speed(), 0);
  EXPECT_EQ(info.getFanInfo()->fans()->at(1)->speed(), 2000);
  EXPECT_EQ(sensorErrors_, (std::vector<std::string>{""}));
  EXPECT_EQ(log_.lines, (std::vector<std::string>{"TlxGetFanSpeeds Failed with dataType="}));

  // Second reading: fan 1 unreadable, reported with its type; that uses up the budget.
  fan0Fails = false;
  fan1Fails = true;
  reload(info);
  EXPECT_EQ(info.getFanInfo()->fans()->at(0)->speed(), 1000);
  EXPECT_EQ(info.getFanInfo()->fans()->at(1)->speed(), 0);
  EXPECT_EQ(sensorErrors_, (std::vector<std::string>{"", "fpe2"}));
  EXPECT_EQ(log_.lines, (std::vector<std::string>{"TlxGetFanSpeeds Failed with dataType=",
                                                  "TlxGetFanSpeeds Failed with dataType=fpe2"}));
  EXPECT_EQ(log_.priorities, (std::vector<int>{kLogError, kLogError}));

  // The third unreadable speed, in another collector of the same process, is not reported.
  FanInfo another;
  reload(another);
  EXPECT_EQ(another.getFanInfo()->fans()->at(1)->speed(), 0);
  EXPECT_EQ(sensorErrors_.size(), 2u);
  EXPECT_EQ(log_.lines.size(), 2u);

  // A fresh process reports again.
  TlxResetFanErrorBudgetForTesting();
  reload(info);
  EXPECT_EQ(sensorErrors_, (std::vector<std::string>{"", "fpe2", "fpe2"}));
}

}  // namespace
}  // namespace trellis
