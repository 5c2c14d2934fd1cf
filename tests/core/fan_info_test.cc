// The fan routines and the fan collector over simulated SMC tables: the fan count and its two
// reads with their messages, identifiers, speeds by data type, limits, the unusable counts that
// leave the record alone, and the process's error budget for unreadable speeds (notifications on
// the local centre, lines in the system log). Test thread only.
#include "smc/fan_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "base/system_log.h"
#include "notify/local_notification_center.h"
#include "smc/fan_smc.h"
#include "smc/smc_client.h"
#include "support/fan_records.h"
#include "support/service_setters.h"
#include "support/smc_support.h"

namespace trellis {
namespace {

using Strings = std::vector<std::string>;
using testing::describe;
using testing::fanIdHex;
using testing::floatHex;
using testing::simKey;

struct RecordingLog final : SystemLog {
  void write(int priority, std::string_view line) override {
    priorities.push_back(priority);
    lines.emplace_back(line);
  }
  std::vector<int> priorities;
  Strings lines;
};

class FanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetProcess();
    testing::setService(&Services::log, &log_);
    testing::setService(&Services::smc, testing::noSmc());
    token_ = LocalNotificationCenter::defaultCenter().addObserver(
        "SensorError", [this](const LocalNotification& n) { sensorErrors_.push_back(n.object); });
  }
  void TearDown() override {
    LocalNotificationCenter::defaultCenter().removeObserver(token_);
    testing::setService(&Services::log, nullptr);
    resetProcess();
  }
  static void resetProcess() {
    SmcResetProcessStateForTesting();
    TlxResetFanErrorBudgetForTesting();
  }
  // One reading of `info`; what it printed on the standard output.
  static std::string reload(FanInfo& info) {
    ::testing::internal::CaptureStdout();
    info.reloadInfo();
    return ::testing::internal::GetCapturedStdout();
  }
  static std::string count(int expected) {
    return testing::printedBy([&](std::FILE* out) { EXPECT_EQ(TlxGetFanCount(out), expected); });
  }

  testing::InstalledSimSmc smc_;
  RecordingLog log_;
  Strings sensorErrors_;
  LocalNotificationCenter::Token token_ = 0;
};

TEST_F(FanTest, KeyNamesAreCutToFourCharacters) {
  auto name = [](int index, const char(&suffix)[3]) {
    char text[5];
    TlxFanKeyName(index, suffix, text);
    return std::string(text);
  };
  EXPECT_EQ(name(0, "Ac"), "F0Ac");
  EXPECT_EQ(name(12, "Mx"), "F12M");
  EXPECT_EQ(name(-1, "Mn"), "F-1M");
  EXPECT_EQ(name(std::numeric_limits<int>::min(), "Mn"), "F-21");
}

TEST_F(FanTest, ReadsEveryFanInOrder) {
  // F1Mx is a float, but limits are two raw bytes whatever the type; F1Mn is missing.
  smc_.install({simKey("FNum", "ui8 ", "02"), simKey("F0ID", "{fds", fanIdHex("Left Exhaust")),
                simKey("F1ID", "{fds", fanIdHex("Right")), simKey("F0Ac", "fpe2", "0fa0"),
                simKey("F1Ac", "flt ", floatHex(1234.9f)), simKey("F0Mx", "fpe2", "1770"),
                simKey("F0Mn", "fpe2", "0fa3"), simKey("F1Mx", "flt ", "17700000")});
  FanInfo info;
  EXPECT_EQ(reload(info), "");
  EXPECT_FALSE(info.sandbox());
  const std::shared_ptr<FanModel> record = info.getFanInfo();
  EXPECT_EQ(record->count(), 2);
  EXPECT_EQ(describe(*record), "2: Left Exhaust 1000 1500 1000, Right 1234 1500 -1,");
  EXPECT_TRUE(sensorErrors_.empty());
  EXPECT_TRUE(log_.lines.empty());

  const auto firstList = record->fans();
  reload(info);
  EXPECT_NE(record->fans()->at(0), firstList->at(0)) << "a later reading makes a new list";
}

TEST_F(FanTest, AnUnusableCountLeavesTheRecordAsItWasAndSetsSandbox) {
  const std::string failed = "smc read key[FNum] failed.smc read key2[FNum] failed.";
  const auto failFNum = [](int, const std::string& key) { return key == "FNum"; };
  // FNum's bytes after the first reading (nullptr: unreadable), what the reading prints.
  for (const auto& [bytes, printed] : {std::pair{"00", ""}, {"0a", ""}, {nullptr, failed.c_str()}}) {
    SCOPED_TRACE(bytes != nullptr ? bytes : "unreadable");
    const std::string bad = bytes != nullptr ? bytes : "02";
    const std::string fan0 = simKey("F0Ac", "fpe2", "0fa0");
    // Before any success: the empty record.
    resetProcess();
    smc_.install({simKey("FNum", "ui8 ", bad), fan0});
    if (bytes == nullptr) smc_.failWhen = failFNum;
    FanInfo fresh;
    EXPECT_EQ(reload(fresh), printed);
    EXPECT_TRUE(fresh.sandbox());
    EXPECT_EQ(fresh.getFanInfo()->count(), 0);
    EXPECT_FALSE(fresh.getFanInfo()->fans().has_value());

    // After a success: that reading's count and the very same fan records.
    resetProcess();
    smc_.install({simKey("FNum", "ui8 ", "02", R"(, "values": [ "02", ")" + bad + R"(" ])"), fan0});
    FanInfo info;
    EXPECT_EQ(reload(info), "");
    const std::shared_ptr<FanModel> record = info.getFanInfo();
    const auto list = record->fans();
    ASSERT_TRUE(list.has_value());
    if (bytes == nullptr) smc_.failWhen = failFNum;
    EXPECT_EQ(reload(info), printed);
    EXPECT_TRUE(info.sandbox());
    EXPECT_EQ(info.getFanInfo(), record);
    EXPECT_EQ(record->count(), 2);
    EXPECT_EQ(record->fans(), list);
    EXPECT_EQ(describe(*record), "2:  1000 -1 -1,  0 -1 -1,");
  }

  // Sandbox stays set after a later success.
  smc_.install({simKey("FNum", "ui8 ", "00", R"(, "values": [ "00", "01" ])")});
  FanInfo info;
  reload(info);
  reload(info);
  EXPECT_TRUE(info.sandbox());
  EXPECT_EQ(describe(*info.getFanInfo()), "1:  0 -1 -1,");
}

TEST_F(FanTest, CountFallsBackToTheTypedReadAndSaysSo) {
  EXPECT_EQ(count(-1), "") << "no SMC";
  FanInfo info;
  EXPECT_EQ(reload(info), "");
  EXPECT_TRUE(info.sandbox());
  smc_.install({simKey("FNum", "ui8 ", "02")}, /*openable=*/false);
  EXPECT_EQ(count(-1), "");

  // Raw reads of one byte give 0x01; the typed read takes 0x0103 and keeps the low byte.
  smc_.install({simKey("FNum", "ui16", "0103"), simKey("F0Ac", "fpe2", "0fa0")});
  int reads = 0;  // the raw read is the first read-value exchange about FNum, the typed one the next
  smc_.failWhen = [&reads](int command, const std::string& key) {
    return key == "FNum" && command == kSmcReadValue && ++reads % 2 == 1;
  };
  EXPECT_EQ(reload(info), "smc read key[FNum] failed.smc read key2[FNum] = 3");
  EXPECT_EQ(info.getFanInfo()->count(), 3);
  EXPECT_EQ(describe(*info.getFanInfo()), "3:  1000 -1 -1,  0 -1 -1,  0 -1 -1,");
  smc_.failWhen = nullptr;
  EXPECT_EQ(count(1), "");
  smc_.failWhen = [](int command, const std::string& key) { return key == "FNum" && command == kSmcReadValue; };
  EXPECT_EQ(count(-1), "smc read key[FNum] failed.smc read key2[FNum] failed.");
}

TEST_F(FanTest, IdentifiersAreTheTextAfterTheFirstFourBytesAndSpeedsAreDecodedByType) {
  smc_.install({simKey("FNum", "ui8 ", "06"), simKey("F0ID", "{fds", fanIdHex("Main Blower1")),
                simKey("F1ID", "{fds", "01020304"), simKey("F2ID", "{fds", "0102"),
                simKey("F3ID", "{fds", "00000000fffe41"), simKey("F4ID", "{fds", "0000000041420043"),
                simKey("F5ID", "{fds", fanIdHex("Sixteen bytes!!!")), simKey("F0Ac", "fpe2", "0fa0"),
                simKey("F1Ac", "flt ", floatHex(1234.9f)), simKey("F2Ac", "flt ", floatHex(-3.7f)),
                simKey("F3Ac", "fpe2", "0fa3"), simKey("F4Ac", "flt ", floatHex(1e20f)), simKey("F5Ac", "ui8 ", "05")});
  FanInfo info;
  reload(info);
  // Up to 16 bytes of text, up to a NUL; none for a value of 4 bytes or less; absent when not
  // UTF-8. Speeds truncate toward zero; a float without a 32-bit integer part gives x86's answer.
  EXPECT_EQ(describe(*info.getFanInfo()), "6: Main Blower1 1000 -1 -1,  1234 -1 -1,  -3 -1 -1, - 1000 -1 -1, AB " +
                                              std::to_string(std::numeric_limits<std::int32_t>::min()) +
                                              " -1 -1, Sixteen bytes!!! 5 -1 -1,");
  double speeds[kFanSlots] = {};
  ASSERT_EQ(TlxGetFanSpeeds(4, speeds), 0);
  EXPECT_EQ(speeds[1], static_cast<double>(1234.9f));
  EXPECT_EQ(speeds[3], 1000.75);
}

TEST_F(FanTest, AnUnreadableIdentifierEmptiesItAndAllLaterOnes) {
  // F1ID is 24 bytes long: more than the 20 a slot's read takes.
  smc_.install({simKey("FNum", "ui8 ", "03"), simKey("F0ID", "{fds", fanIdHex("Zero")),
                simKey("F1ID", "{fds", fanIdHex("twenty bytes of name")), simKey("F2ID", "{fds", fanIdHex("Two")),
                simKey("F2Ac", "fpe2", "0fa0")});
  FanInfo info;
  reload(info);
  EXPECT_EQ(describe(*info.getFanInfo()), "3: Zero 0 -1 -1,  0 -1 -1,  1000 -1 -1,");

  // The routine itself stops there and leaves the later slots as they were.
  char names[kFanSlots][kFanNameSize];
  std::memset(names, 'x', sizeof names);
  EXPECT_EQ(TlxGetFanIds(3, names), -1);
  EXPECT_STREQ(names[0], "Zero");
  EXPECT_EQ(names[2][0], 'x');
}

TEST_F(FanTest, LimitsAndBadArguments) {
  char names[kFanSlots][kFanNameSize] = {};
  double speeds[kFanSlots] = {};
  EXPECT_EQ(TlxGetFanIds(1, names), -1) << "no SMC";
  EXPECT_EQ(TlxGetFanSpeeds(1, speeds), -1);
  EXPECT_EQ(TlxGetFanMaxSpeed(0), -1.0f);
  EXPECT_EQ(TlxGetFanMinSpeed(0), -1.0f);

  smc_.install({simKey("F0Mx", "fpe2", "1770"), simKey("F0Mn", "fpe2", "0960", R"(, "fail": 3758097084)"),
                simKey("F1Mn", "ui16", "ffff"), simKey("F0ID", "{fds", fanIdHex("Fan")),
                simKey("F0Ac", "fpe2", "0fa0")});
  EXPECT_EQ(TlxGetFanMaxSpeed(0), 1500.0f);
  EXPECT_EQ(TlxGetFanMinSpeed(0), -1.0f);     // unreadable
  EXPECT_EQ(TlxGetFanMaxSpeed(1), -1.0f);     // missing
  EXPECT_EQ(TlxGetFanMinSpeed(1), 16383.0f);  // 0xff * 64 + (0xff >> 2)
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
}

TEST_F(FanTest, OnlyTheFirstTwoUnreadableSpeedsOfTheProcessAreReported) {
  smc_.install({simKey("FNum", "ui8 ", "02"), simKey("F0Ac", "fpe2", "0fa0"), simKey("F1Ac", "fpe2", "1f40")});
  // Fan 0's key fails outright, so its type is never learnt; fan 1's value read fails after its
  // key information told its type.
  bool fan0Fails = true;
  smc_.failWhen = [&](int command, const std::string& key) {
    return key == "F0Ac" ? fan0Fails : key == "F1Ac" && command == kSmcReadValue && !fan0Fails;
  };
  FanInfo info;
  reload(info);
  EXPECT_EQ(describe(*info.getFanInfo()), "2:  0 -1 -1,  2000 -1 -1,");
  fan0Fails = false;
  reload(info);
  EXPECT_EQ(describe(*info.getFanInfo()), "2:  1000 -1 -1,  0 -1 -1,");
  EXPECT_EQ(sensorErrors_, (Strings{"", "fpe2"}));
  EXPECT_EQ(log_.lines,
            (Strings{"TlxGetFanSpeeds Failed with dataType=", "TlxGetFanSpeeds Failed with dataType=fpe2"}));
  EXPECT_EQ(log_.priorities, (std::vector<int>{kLogError, kLogError}));

  // The third, in another collector of the same process, is not reported; a fresh process reports.
  FanInfo another;
  reload(another);
  EXPECT_EQ(sensorErrors_.size(), 2u);
  EXPECT_EQ(log_.lines.size(), 2u);
  TlxResetFanErrorBudgetForTesting();
  reload(info);
  EXPECT_EQ(sensorErrors_, (Strings{"", "fpe2", "fpe2"}));
}

}  // namespace
}  // namespace trellis
