// The CPU and main-disk temperature readers over simulated SMC tables: the sticky first-table
// index and its plausibility bounds, the fallback average, the disk key's decoding and the
// failures each reader reports; the recorded exchanges show which keys each reading asked for.
// Test thread only.
#include "smc/temperature_sensors.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "smc/smc_client.h"
#include "support/service_setters.h"
#include "support/smc_support.h"

namespace trellis {
namespace {

using Strings = std::vector<std::string>;
using testing::simKey;

const std::string kFails = R"(, "fail": 3758097084)";

class TemperatureSensorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetProcess();
    testing::setService(&Services::smc, testing::noSmc());
  }
  void TearDown() override { resetProcess(); }
  static void resetProcess() {
    SmcResetProcessStateForTesting();
    TlxResetCpuTemperatureKeyIndexForTesting();
  }
  // One CPU reading that must succeed.
  static double cpu() {
    double t = -99.0;
    EXPECT_EQ(TlxGetCpuTemperature(&t), 0);
    return t;
  }

  testing::InstalledSimSmc smc_;
};

TEST_F(TemperatureSensorsTest, KeyTablesHoldTheirKeysInOrder) {
  std::string first;
  for (std::uint32_t code : kCpuTemperatureKeys) first += testing::smcKeyText(code) + " ";
  EXPECT_EQ(first, "TC0P TCGc TC0D TC0H TC0c TCAD ");
  std::string fallback;
  for (const auto& key : kCpuTemperatureFallbackKeys) fallback += std::string(key) + " ";
  EXPECT_EQ(fallback,
            "Tp09 Tp0T Tp01 Tp05 Tp0D Tp0H Tp0L Tc0a Tc0b Tc0x Tc0z Tc7a Tc7b Tc7x Tc7z Tc8a Tc8b Tc9a Tc9b Tc9x "
            "Tc9z ");
  EXPECT_STREQ(kSsdTemperatureKey, "TH0x");
}

TEST_F(TemperatureSensorsTest, SettlesOnTheFirstPlausibleKeyReadAsShiftedSp78WhateverItsType) {
  smc_.install({simKey("TC0P", "flt ", "2a800000", R"(, "values": [ "2a800000", "2b000000" ])"),
                simKey("TCGc", "sp78", "3000")});
  EXPECT_EQ(cpu(), 42.5);
  EXPECT_EQ(cpu(), 43.0);
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 0u);
  EXPECT_EQ(smc_.takeExchanges(), (Strings{"5 TC0P 2", "5 TC0P 2"})) << "raw reads, no key information";
}

TEST_F(TemperatureSensorsTest, PassesOverImplausibleFirstTableValues) {
  // TC0P's bytes, whether 0.0 < value <= 110.0 takes it; TCGc (48.0) is read otherwise. The decode
  // drops the two low bits and is unsigned: ff00 is 255.0, 8000 is 128.0.
  const std::pair<const char*, double> rows[] = {{"6e00", 110.0}, {"0004", 0.015625}, {"6e04", 48.0}, {"0000", 48.0},
                                                 {"0003", 48.0},  {"ff00", 48.0},     {"8000", 48.0}};
  for (const auto& [bytes, expected] : rows) {
    resetProcess();
    smc_.install({simKey("TC0P", "sp78", bytes), simKey("TCGc", "sp78", "3000")});
    EXPECT_EQ(cpu(), expected) << bytes;
    EXPECT_EQ(TlxCpuTemperatureKeyIndex(), expected == 48.0 ? 1u : 0u) << bytes;
  }
}

TEST_F(TemperatureSensorsTest, TheIndexMovesToTheNextWorkingKeyOnceAndForAllAndWrapsAround) {
  // TC0P is missing, TCGc fails the exchange, TC0D reads an implausible 0.0.
  smc_.install(
      {simKey("TCGc", "sp78", "3000", kFails), simKey("TC0D", "sp78", "0000"), simKey("TC0H", "sp78", "3380")});
  EXPECT_EQ(cpu(), 51.5);
  EXPECT_EQ(cpu(), 51.5);
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 3u);
  EXPECT_EQ(smc_.takeExchanges(), (Strings{"5 TC0P 2", "5 TCGc 2", "5 TC0D 2", "5 TC0H 2", "5 TC0H 2"}));

  // TCAD works first; then it reads 0.0 and TC0P, tried after it, starts working.
  resetProcess();
  smc_.install({simKey("TC0P", "sp78", "0000", R"(, "values": [ "0000", "2a80" ])"),
                simKey("TCAD", "sp78", "3000", R"(, "values": [ "3000", "0000" ])")});
  EXPECT_EQ(cpu(), 48.0);
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 5u);
  smc_.takeExchanges();
  EXPECT_EQ(cpu(), 42.5);
  EXPECT_EQ(cpu(), 42.5);
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 6u);
  EXPECT_EQ(smc_.takeExchanges(), (Strings{"5 TCAD 2", "5 TC0P 2", "5 TC0P 2"}));
}

TEST_F(TemperatureSensorsTest, AveragesThePositiveFallbackReadingsWhenNoFirstTableKeyIsPlausible) {
  // Every first-table key is missing or implausible. Of the fallback keys Tp09 reads 40.0 (sp78) and
  // Tc0a 50.0 (a float); Tp01 (-5.0) and Tp05 (0.0) are left out; three fail, the rest are missing.
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
  ASSERT_GE(exchanges.size(), 6u);
  EXPECT_EQ(Strings(exchanges.begin(), exchanges.begin() + 6),
            (Strings{"5 TC0P 2", "5 TCGc 2", "5 TC0D 2", "5 TC0H 2", "5 TC0c 2", "5 TCAD 2"}));
  EXPECT_EQ(cpu(), 45.0);
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 12u);
  EXPECT_EQ(smc_.takeExchanges().front(), "5 TC0P 2");

  // No positive fallback reading: 0.0, still a success.
  resetProcess();
  smc_.install({simKey("Tp01", "sp78", "fb00"), simKey("Tc0b", "sp78", "0000", kFails)});
  EXPECT_EQ(TlxGetCpuTemperatureAverage(), 0.0f);
  EXPECT_EQ(cpu(), 0.0);
}

TEST_F(TemperatureSensorsTest, ReadersFailWithoutAnSmcAndLeaveTheOutputAlone) {
  EXPECT_EQ(TlxGetCpuTemperature(nullptr), -1);
  EXPECT_EQ(TlxGetSsdTemperature(nullptr), -1);
  double t = 7.0;
  for (bool installed : {false, true}) {
    if (installed) smc_.install({simKey("TC0P", "sp78", "2a80"), simKey("TH0x", "sp78", "2100")}, false);
    EXPECT_EQ(TlxGetCpuTemperature(&t), -1);
    EXPECT_EQ(TlxGetSsdTemperature(&t), -1);
  }
  EXPECT_EQ(t, 7.0);
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 0u);
  EXPECT_TRUE(smc_.takeExchanges().empty());
}

TEST_F(TemperatureSensorsTest, DiskTemperatureIsReadByNameAndDecodedByItsType) {
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
}

}  // namespace
}  // namespace trellis
