// The SMC readers over simulated SMC tables; the recorded exchanges show which keys each reading
// asked for. Fans: the count and its two reads with their messages, identifiers, speeds by data
// type, limits, the unusable counts that leave the record alone, and the process's budget of
// reported unreadable speeds (notifications on the local centre, lines in the system log).
// Temperatures: the sticky first-table index and its plausibility bounds, the fallback average,
// the disk key's decoding and the failures each reader reports. Test thread only.
#include <gtest/gtest.h>

#include <cstring>

#include "notify/local_notification_center.h"
#include "smc/fan_info.h"
#include "smc/fan_smc.h"
#include "smc/smc_client.h"
#include "smc/temperature_sensors.h"
#include "support/fan_records.h"
#include "support/recording_log.h"
#include "support/service_setters.h"
#include "support/smc_support.h"

namespace trellis {
namespace {

using Strings = std::vector<std::string>;
using testing::describe;
using testing::fanIdHex;
using testing::floatHex;
using testing::simKey;

const std::string kFails = R"(, "fail": 3758097084)";

class SmcReadersTest : public ::testing::Test {
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
    TlxResetCpuTemperatureKeyIndexForTesting();
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
  // One CPU reading that must succeed.
  static double cpu() {
    double t = -99.0;
    EXPECT_EQ(TlxGetCpuTemperature(&t), 0);
    return t;
  }

  testing::InstalledSimSmc smc_;
  testing::RecordingLog log_;
  Strings sensorErrors_;
  LocalNotificationCenter::Token token_ = 0;
};

TEST_F(SmcReadersTest, FansAreReadInOrderWithIdentifierSpeedAndLimits) {
  // Identifiers: the text after the first four bytes, up to 16 bytes and a NUL; none for four
  // bytes or less; absent when not UTF-8. Speeds by type, truncated toward zero; a float without a
  // 32-bit integer part gives x86's answer. Limits: two raw bytes as fpe2 whatever the type.
  smc_.install({simKey("FNum", "ui8 ", "06"), simKey("F0ID", "{fds", fanIdHex("Main Blower1")),
                simKey("F1ID", "{fds", "01020304"), simKey("F2ID", "{fds", "0102"),
                simKey("F3ID", "{fds", "00000000fffe41"), simKey("F4ID", "{fds", "0000000041420043"),
                simKey("F5ID", "{fds", fanIdHex("Sixteen bytes!!!")), simKey("F0Ac", "fpe2", "0fa0"),
                simKey("F1Ac", "flt ", floatHex(1234.9f)), simKey("F2Ac", "flt ", floatHex(-3.7f)),
                simKey("F3Ac", "fpe2", "0fa3"), simKey("F4Ac", "flt ", floatHex(1e20f)), simKey("F5Ac", "ui8 ", "05"),
                simKey("F0Mx", "fpe2", "1770"), simKey("F0Mn", "fpe2", "0fa3"), simKey("F1Mx", "flt ", "17700000"),
                simKey("F1Mn", "ui16", "ffff")});
  FanInfo info;
  EXPECT_EQ(reload(info), "");
  EXPECT_FALSE(info.sandbox());
  EXPECT_EQ(describe(*info.getFanInfo()),
            "6: Main Blower1 1000 1500 1000,  1234 1500 16383,  -3 -1 -1, - 1000 -1 -1, AB -2147483648 -1 -1, "
            "Sixteen bytes!!! 5 -1 -1,");
  const auto list = info.getFanInfo()->fans();
  reload(info);
  EXPECT_NE(info.getFanInfo()->fans()->at(0), list->at(0)) << "a later reading makes a new list";
  double speeds[kFanSlots] = {};
  ASSERT_EQ(TlxGetFanSpeeds(4, speeds), 0);
  EXPECT_EQ(speeds[1], static_cast<double>(1234.9f));
  EXPECT_EQ(speeds[3], 1000.75);

  // Key names are formatted in full, then cut to four characters.
  auto name = [](int index, const char(&suffix)[3]) {
    char text[5];
    TlxFanKeyName(index, suffix, text);
    return std::string(text);
  };
  EXPECT_EQ(name(0, "Ac") + name(12, "Mx") + name(-1, "Mn") + name(std::numeric_limits<int>::min(), "Mn"),
            "F0AcF12MF-1MF-21");
}

TEST_F(SmcReadersTest, AnUnreadableFanIdentifierEndsTheIdentifiersAndBadArgumentsFail) {
  // F1ID is 24 bytes long: more than the 20 a slot's read takes.
  smc_.install({simKey("FNum", "ui8 ", "03"), simKey("F0ID", "{fds", fanIdHex("Zero")),
                simKey("F1ID", "{fds", fanIdHex("twenty bytes of name")), simKey("F2ID", "{fds", fanIdHex("Two")),
                simKey("F2Ac", "fpe2", "0fa0"), simKey("F0Mn", "fpe2", "0960", kFails)});
  FanInfo info;
  reload(info);
  EXPECT_EQ(describe(*info.getFanInfo()), "3: Zero 0 -1 -1,  0 -1 -1,  1000 -1 -1,") << "an unreadable limit is -1";
  char names[kFanSlots][kFanNameSize];
  std::memset(names, 'x', sizeof names);
  double speeds[kFanSlots] = {};
  EXPECT_EQ(TlxGetFanIds(3, names), -1);
  EXPECT_STREQ(names[0], "Zero");
  EXPECT_EQ(names[2][0], 'x') << "later slots are left as they were";
  for (int count : {0, 10}) {
    EXPECT_EQ(TlxGetFanIds(count, names), -1) << count;
    EXPECT_EQ(TlxGetFanSpeeds(count, speeds), -1) << count;
  }
  EXPECT_EQ(TlxGetFanIds(1, nullptr), -1);
  EXPECT_EQ(TlxGetFanSpeeds(1, nullptr), -1);
  EXPECT_EQ(TlxGetFanSpeeds(9, speeds), 0);
  EXPECT_EQ(speeds[2], 1000.0);

  testing::setService(&Services::smc, testing::noSmc());
  SmcResetProcessStateForTesting();
  EXPECT_EQ(TlxGetFanIds(1, names), -1);
  EXPECT_EQ(TlxGetFanSpeeds(1, speeds), -1);
  EXPECT_EQ(TlxGetFanMaxSpeed(0), -1.0f);
}

TEST_F(SmcReadersTest, AnUnusableFanCountSetsSandboxForGoodAndLeavesTheRecordAsItWas) {
  // FNum's second value (nullptr: unreadable), what the second reading prints.
  for (const auto& [second, printed] : {std::pair{"00", ""}, {"0a", ""}, {nullptr, "smc read key[FNum] failed.smc read key2[FNum] failed."}}) {
    resetProcess();
    smc_.install({simKey("FNum", "ui8 ", "02", R"(, "values": [ "02", ")" + std::string(second ? second : "02") + R"(" ])"),
                  simKey("F0Ac", "fpe2", "0fa0")});
    FanInfo info;
    EXPECT_EQ(reload(info), "");
    const std::shared_ptr<FanModel> record = info.getFanInfo();
    const auto list = record->fans();
    if (second == nullptr) smc_.failWhen = [](int, const std::string& key) { return key == "FNum"; };
    EXPECT_EQ(reload(info), printed);
    EXPECT_TRUE(info.sandbox());
    EXPECT_EQ(info.getFanInfo(), record);
    EXPECT_EQ(record->fans(), list) << "the very same fan records";
    EXPECT_EQ(describe(*record), "2:  1000 -1 -1,  0 -1 -1,");
  }
  // Sandbox stays set after a later success; nine fans are the most.
  smc_.install({simKey("FNum", "ui8 ", "00", R"(, "values": [ "00", "09" ])")});
  FanInfo info;
  reload(info);
  EXPECT_EQ(describe(*info.getFanInfo()), "0: no list");
  reload(info);
  EXPECT_TRUE(info.sandbox());
  EXPECT_EQ(info.getFanInfo()->count(), 9);
}

TEST_F(SmcReadersTest, TheFanCountFallsBackToTheTypedReadAndSaysSo) {
  EXPECT_EQ(count(-1), "") << "no SMC";
  smc_.install({simKey("FNum", "ui8 ", "02")}, /*openable=*/false);
  EXPECT_EQ(count(-1), "");
  // Raw reads of one byte give 0x01; the typed read takes 0x0103 and keeps the low byte.
  smc_.install({simKey("FNum", "ui16", "0103"), simKey("F0Ac", "fpe2", "0fa0")});
  int reads = 0;  // the raw read is the first read-value exchange about FNum, the typed one the next
  smc_.failWhen = [&reads](int command, const std::string& key) {
    return key == "FNum" && command == kSmcReadValue && ++reads % 2 == 1;
  };
  FanInfo info;
  EXPECT_EQ(reload(info), "smc read key[FNum] failed.smc read key2[FNum] = 3");
  EXPECT_EQ(describe(*info.getFanInfo()), "3:  1000 -1 -1,  0 -1 -1,  0 -1 -1,");
  smc_.failWhen = nullptr;
  EXPECT_EQ(count(1), "");
}

TEST_F(SmcReadersTest, OnlyTheFirstTwoUnreadableFanSpeedsOfTheProcessAreReported) {
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
  FanInfo another;  // the third, in another collector of the same process, is not reported
  reload(another);
  EXPECT_EQ(sensorErrors_, (Strings{"", "fpe2"}));
  EXPECT_EQ(log_.lines(), (Strings{"TlxGetFanSpeeds Failed with dataType=", "TlxGetFanSpeeds Failed with dataType=fpe2"}));
  EXPECT_EQ(log_.priorities(), (std::vector<int>{kLogError, kLogError}));
  TlxResetFanErrorBudgetForTesting();
  reload(info);
  EXPECT_EQ(sensorErrors_, (Strings{"", "fpe2", "fpe2"}));
}

TEST_F(SmcReadersTest, TheFirstPlausibleCpuKeyIsReadRawAsShiftedSp78WhateverItsType) {
  // TC0P's type and bytes, the reading: 0.0 < value <= 110.0 takes it, else TCGc (48.0) is read.
  // The decode drops the two low bits and is unsigned: ff00 is 255.0, 8000 is 128.0.
  const std::tuple<const char*, const char*, double> rows[] = {
      {"flt ", "2a800000", 42.5}, {"sp78", "6e00", 110.0}, {"sp78", "0004", 0.015625}, {"sp78", "6e04", 48.0},
      {"sp78", "0003", 48.0},     {"sp78", "ff00", 48.0},  {"sp78", "8000", 48.0}};
  for (const auto& [type, bytes, expected] : rows) {
    resetProcess();
    smc_.install({simKey("TC0P", type, bytes), simKey("TCGc", "sp78", "3000")});
    EXPECT_EQ(cpu(), expected) << bytes;
    EXPECT_EQ(smc_.takeExchanges(), expected == 48.0 ? (Strings{"5 TC0P 2", "5 TCGc 2"}) : Strings{"5 TC0P 2"}) << bytes;
  }
  std::string fallback;
  for (const auto& key : kCpuTemperatureFallbackKeys) fallback += std::string(key) + " ";
  EXPECT_EQ(fallback, "Tp09 Tp0T Tp01 Tp05 Tp0D Tp0H Tp0L Tc0a Tc0b Tc0x Tc0z Tc7a Tc7b Tc7x Tc7z Tc8a Tc8b Tc9a Tc9b "
                      "Tc9x Tc9z ");
}

TEST_F(SmcReadersTest, TheCpuKeyIndexMovesToTheNextWorkingKeyOnceAndForAllAndWrapsAround) {
  // TC0P is missing, TCGc fails the exchange, TC0D reads an implausible 0.0.
  smc_.install(
      {simKey("TCGc", "sp78", "3000", kFails), simKey("TC0D", "sp78", "0000"), simKey("TC0H", "sp78", "3380")});
  EXPECT_EQ(cpu(), 51.5);
  EXPECT_EQ(cpu(), 51.5);
  EXPECT_EQ(smc_.takeExchanges(), (Strings{"5 TC0P 2", "5 TCGc 2", "5 TC0D 2", "5 TC0H 2", "5 TC0H 2"}));

  // TCAD works first; then it reads 0.0 and TC0P, tried after it, starts working.
  resetProcess();
  smc_.install({simKey("TC0P", "sp78", "0000", R"(, "values": [ "0000", "2a80" ])"),
                simKey("TCAD", "sp78", "3000", R"(, "values": [ "3000", "0000" ])")});
  EXPECT_EQ(cpu(), 48.0);
  smc_.takeExchanges();
  EXPECT_EQ(cpu(), 42.5);
  EXPECT_EQ(cpu(), 42.5);
  EXPECT_EQ(smc_.takeExchanges(), (Strings{"5 TCAD 2", "5 TC0P 2", "5 TC0P 2"}));
}

TEST_F(SmcReadersTest, WithoutAPlausibleCpuKeyThePositiveFallbackReadingsAreAveraged) {
  // Of the fallback keys Tp09 reads 40.0 (sp78) and Tc0a 50.0 (a float); Tp01 (-5.0) and Tp05 (0.0)
  // are left out; three fail, the rest are missing.
  smc_.install({simKey("TC0P", "sp78", "ff00"), simKey("TC0c", "sp78", "0000"), simKey("Tp09", "sp78", "2800"),
                simKey("Tc0a", "flt ", testing::floatHex(50.0f)), simKey("Tp01", "sp78", "fb00"),
                simKey("Tp05", "sp78", "0000"), simKey("Tp0T", "sp78", "6400", kFails),
                simKey("Tc7x", "sp78", "6400", kFails), simKey("Tc9z", "sp78", "6400", kFails)});
  EXPECT_EQ(TlxGetCpuTemperatureAverage(), 45.0f);
  resetProcess();
  smc_.takeExchanges();
  EXPECT_EQ(cpu(), 45.0);
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 6u) << "six keys went by: the same entry again";
  const Strings exchanges = smc_.takeExchanges();
  EXPECT_EQ(Strings(exchanges.begin(), exchanges.begin() + 6),
            (Strings{"5 TC0P 2", "5 TCGc 2", "5 TC0D 2", "5 TC0H 2", "5 TC0c 2", "5 TCAD 2"}));
  // No positive fallback reading: 0.0, still a success.
  resetProcess();
  smc_.install({simKey("Tp01", "sp78", "fb00"), simKey("Tc0b", "sp78", "0000", kFails)});
  EXPECT_EQ(cpu(), 0.0);
}

TEST_F(SmcReadersTest, TheDiskKeyIsReadByNameAndDecodedByItsType) {
  // The key's value, the result, the temperature (5.0: left unwritten). A missing key is read as a
  // key of size 0, which decodes to 0.0.
  const std::tuple<std::string, int, double> rows[] = {
      {simKey("TH0x", "sp78", "2100"), 0, 33.0},
      {simKey("TH0x", "flt ", testing::floatHex(36.7f)), 0, static_cast<double>(36.7f)},
      {simKey("TH0x", "sp78", "f600"), -1, 5.0},
      {simKey("TH0x", "sp78", "2100", kFails), 0, 5.0},
      {simKey("TC0P", "sp78", "2100"), 0, 0.0},
  };
  for (const auto& [key, result, expected] : rows) {
    resetProcess();
    smc_.install({key});
    double t = 5.0;
    EXPECT_EQ(TlxGetSsdTemperature(&t), result) << key;
    EXPECT_EQ(t, expected) << key;
    EXPECT_EQ(smc_.takeExchanges().front(), "9 TH0x 0") << "read by name: " << key;
  }
  // Without a place for the value, or without an SMC (none, or one that does not open), both
  // readers fail and leave the output alone.
  EXPECT_EQ(TlxGetCpuTemperature(nullptr) + TlxGetSsdTemperature(nullptr), -2);
  resetProcess();
  smc_.install({simKey("TC0P", "sp78", "2a80"), simKey("TH0x", "sp78", "2100")}, /*openable=*/false);
  double t = 7.0;
  EXPECT_EQ(TlxGetCpuTemperature(&t), -1);
  EXPECT_EQ(TlxGetSsdTemperature(&t), -1);
  EXPECT_EQ(t, 7.0);
  EXPECT_TRUE(smc_.takeExchanges().empty());
}

}  // namespace
}  // namespace trellis
