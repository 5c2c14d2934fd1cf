// The CPU and main-disk temperature readers over simulated SMC tables: the sticky first-table
// index and its plausibility bounds, the fallback average, the disk key's decoding and the
// failures each reader reports. A recording transport around the simulation shows which keys
// each reading asked for. Test thread only.
#include "smc/temperature_sensors.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim_smc.h"
#include "smc/smc_client.h"

namespace trellis {
namespace {

// Passes every exchange to the simulation and records it as "<command> <key>" ("5 TC0P").
class RecordingTransport final : public SmcTransport {
 public:
  explicit RecordingTransport(SmcTransport* inner) : inner_(inner) {}

  int open(std::uint32_t* connection) override { return inner_->open(connection); }
  int call(std::uint32_t connection, std::uint32_t selector, const SmcMessage& input, SmcMessage* output,
           std::size_t* outputSize) override {
    char key[5];
    for (int i = 0; i < 4; ++i) key[i] = static_cast<char>(input.key >> (8 * (3 - i)));
    key[4] = '\0';
    exchanges.push_back(std::to_string(input.command) + " " + key);
    return inner_->call(connection, selector, input, output, outputSize);
  }

  std::vector<std::string> exchanges;

 private:
  SmcTransport* inner_;
};

// The hex text of a float as the SMC stores it (host byte order).
std::string floatHex(float value) {
  std::uint8_t bytes[4];
  std::memcpy(bytes, &value, sizeof bytes);
  char text[9];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3]);
  return text;
}

class TemperatureSensorsTest : public ::testing::Test {
 protected:
  void SetUp() override { resetProcess(); }
  void TearDown() override {
    SmcTransport::setSystem(nullptr);
    resetProcess();
  }

  static void resetProcess() {
    SmcResetProcessStateForTesting();
    TlxResetCpuTemperatureKeyIndexForTesting();
  }

  // Installs a simulated SMC with `keys` (the inside of the "keys" list) behind the recorder.
  void install(const std::string& keys, bool openable = true) {
    std::string error;
    sim_ = sim::SimSmc::parse(
        std::string(R"({ "open": )") + (openable ? "true" : "false") + R"(, "keys": [ )" + keys + " ] }", &error);
    ASSERT_NE(sim_, nullptr) << error;
    recorder_ = std::make_unique<RecordingTransport>(sim_.get());
    SmcTransport::setSystem(recorder_.get());
  }

  std::vector<std::string> takeExchanges() {
    std::vector<std::string> out;
    out.swap(recorder_->exchanges);
    return out;
  }

  std::unique_ptr<sim::SimSmc> sim_;
  std::unique_ptr<RecordingTransport> recorder_;
};

TEST_F(TemperatureSensorsTest, KeyTablesHoldTheirKeysInOrder) {
  EXPECT_EQ(kCpuTemperatureKeys[0], 0x54433050u);  // TC0P
  const char* first[] = {"TC0P", "TCGc", "TC0D", "TC0H", "TC0c", "TCAD"};
  for (int i = 0; i < kCpuTemperatureKeyCount; ++i) {
    char name[5];
    std::memcpy(name, first[i], sizeof name);
    EXPECT_EQ(kCpuTemperatureKeys[i], smcKeyCode(name)) << i;
  }
  std::string fallback;
  for (const auto& key : kCpuTemperatureFallbackKeys) {
    EXPECT_EQ(key[4], '\0');
    fallback += std::string(key) + " ";
  }
  EXPECT_EQ(fallback,
            "Tp09 Tp0T Tp01 Tp05 Tp0D Tp0H Tp0L Tc0a Tc0b Tc0x Tc0z Tc7a Tc7b Tc7x Tc7z Tc8a Tc8b Tc9a Tc9b "
            "Tc9x Tc9z ");
  EXPECT_STREQ(kSsdTemperatureKey, "TH0x");
}

TEST_F(TemperatureSensorsTest, SettlesOnTheFirstPlausibleKeyAndStaysThere) {
  install(R"({ "key": "TC0P", "type": "sp78", "bytes": "2a80", "values": [ "2a80", "2b00" ] },
             { "key": "TCGc", "type": "sp78", "bytes": "3000" })");
  double t = 0.0;
  ASSERT_EQ(TlxGetCpuTemperature(&t), 0);
  EXPECT_EQ(t, 42.5);
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 0u);
  // One raw read of two bytes, no key information.
  EXPECT_EQ(takeExchanges(), (std::vector<std::string>{"5 TC0P"}));

  t = 0.0;
  ASSERT_EQ(TlxGetCpuTemperature(&t), 0);
  EXPECT_EQ(t, 43.0);
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 0u);
  EXPECT_EQ(takeExchanges(), (std::vector<std::string>{"5 TC0P"}));
}

TEST_F(TemperatureSensorsTest, PassesOverImplausibleFirstTableValues) {
  struct Case {
    const char* bytes;
    bool accepted;
    double value;
  };
  const Case cases[] = {
      {"6e00", true, 110.0},   // the upper bound itself
      {"0004", true, 0.015625},
      {"6e04", false, 0.0},    // 110.015625
      {"0000", false, 0.0},
      {"0003", false, 0.0},    // 0.0 once the two low bits are dropped
      {"ff00", false, 0.0},    // 255.0: the decode is unsigned, so this is not -1.0
      {"8000", false, 0.0},    // 128.0, not -128.0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    resetProcess();
    // TCGc reads 48.0 and is plausible: it is where an implausible TC0P sends the reading.
    install(std::string(R"({ "key": "TC0P", "type": "sp78", "bytes": ")") + c.bytes + R"(" },
                           { "key": "TCGc", "type": "sp78", "bytes": "3000" })");
    double t = 0.0;
    ASSERT_EQ(TlxGetCpuTemperature(&t), 0);
    EXPECT_EQ(t, c.accepted ? c.value : 48.0);
    EXPECT_EQ(TlxCpuTemperatureKeyIndex(), c.accepted ? 0u : 1u);
  }
}

TEST_F(TemperatureSensorsTest, FirstTableKeysAreDecodedAsShiftedSp78WhateverTheirType) {
  // A "flt " key is still read as two raw bytes: 0x2a 0x80 is 42.5, not a float.
  install(R"({ "key": "TC0P", "type": "flt ", "bytes": "2a800000" })");
  double t = 0.0;
  ASSERT_EQ(TlxGetCpuTemperature(&t), 0);
  EXPECT_EQ(t, 42.5);
}

TEST_F(TemperatureSensorsTest, OnlyTheFourthKeyWorkingMovesTheIndexOnceAndForAll) {
  // TC0P answers "key not found", TCGc fails the exchange, TC0D reads an implausible 0.0.
  install(R"({ "key": "TCGc", "type": "sp78", "bytes": "3000", "fail": 3758097084 },
             { "key": "TC0D", "type": "sp78", "bytes": "0000" },
             { "key": "TC0H", "type": "sp78", "bytes": "3380" })");
  double t = 0.0;
  ASSERT_EQ(TlxGetCpuTemperature(&t), 0);
  EXPECT_EQ(t, 51.5);
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 3u);
  EXPECT_EQ(takeExchanges(), (std::vector<std::string>{"5 TC0P", "5 TCGc", "5 TC0D", "5 TC0H"}));

  for (int reading = 0; reading < 3; ++reading) {
    t = 0.0;
    ASSERT_EQ(TlxGetCpuTemperature(&t), 0);
    EXPECT_EQ(t, 51.5);
    EXPECT_EQ(takeExchanges(), (std::vector<std::string>{"5 TC0H"}));
  }
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 3u);
}

TEST_F(TemperatureSensorsTest, TheIndexMovesOnWhenItsKeyStopsWorkingAndWrapsAround) {
  // TCAD works first; then it reads 0.0 and TC0P, tried after it, starts working.
  install(R"({ "key": "TC0P", "type": "sp78", "bytes": "0000", "values": [ "0000", "2a80" ] },
             { "key": "TCAD", "type": "sp78", "bytes": "3000", "values": [ "3000", "0000" ] })");
  double t = 0.0;
  ASSERT_EQ(TlxGetCpuTemperature(&t), 0);
  EXPECT_EQ(t, 48.0);
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 5u);
  takeExchanges();

  t = 0.0;
  ASSERT_EQ(TlxGetCpuTemperature(&t), 0);
  EXPECT_EQ(t, 42.5);
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 6u);
  EXPECT_EQ(takeExchanges(), (std::vector<std::string>{"5 TCAD", "5 TC0P"}));

  t = 0.0;
  ASSERT_EQ(TlxGetCpuTemperature(&t), 0);
  EXPECT_EQ(t, 42.5);
  EXPECT_EQ(takeExchanges(), (std::vector<std::string>{"5 TC0P"}));
}

TEST_F(TemperatureSensorsTest, AveragesTheFallbackTableWhenNoFirstTableKeyIsPlausible) {
  // Every first-table key is missing or implausible. Of the fallback keys, Tp09 reads 40.0 (sp78)
  // and Tc0a 50.0 (a float), three fail outright, the rest are missing.
  install(R"({ "key": "TC0P", "type": "sp78", "bytes": "ff00" },
             { "key": "TC0c", "type": "sp78", "bytes": "0000" },
             { "key": "Tp09", "type": "sp78", "bytes": "2800" },
             { "key": "Tc0a", "type": "flt ", "bytes": ")" +
          floatHex(50.0f) + R"(" },
             { "key": "Tp0T", "type": "sp78", "bytes": "6400", "fail": 3758097084 },
             { "key": "Tc7x", "type": "sp78", "bytes": "6400", "fail": 3758097084 },
             { "key": "Tc9z", "type": "sp78", "bytes": "6400", "fail": 3758097084 })");
  EXPECT_EQ(TlxGetCpuTemperatureAverage(), 45.0f);

  resetProcess();
  takeExchanges();
  double t = 0.0;
  ASSERT_EQ(TlxGetCpuTemperature(&t), 0);
  EXPECT_EQ(t, 45.0);
  // Six raw reads went by: the index points at the same entry again.
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 6u);
  const std::vector<std::string> exchanges = takeExchanges();
  ASSERT_GE(exchanges.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(exchanges.begin(), exchanges.begin() + 6),
            (std::vector<std::string>{"5 TC0P", "5 TCGc", "5 TC0D", "5 TC0H", "5 TC0c", "5 TCAD"}));

  // The next reading starts over at TC0P and tries all six again.
  t = 0.0;
  ASSERT_EQ(TlxGetCpuTemperature(&t), 0);
  EXPECT_EQ(t, 45.0);
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 12u);
  EXPECT_EQ(takeExchanges().front(), "5 TC0P");
}

TEST_F(TemperatureSensorsTest, TheAverageLeavesOutReadingsOfZeroOrLess) {
  install(R"({ "key": "Tp01", "type": "sp78", "bytes": "fb00" },
             { "key": "Tp05", "type": "sp78", "bytes": "0000" },
             { "key": "Tc9x", "type": "sp78", "bytes": "1e00" })");
  EXPECT_EQ(TlxGetCpuTemperatureAverage(), 30.0f);  // -5.0 and 0.0 do not count
}

TEST_F(TemperatureSensorsTest, NoPositiveFallbackReadingGivesZeroWithSuccess) {
  install(R"({ "key": "Tp01", "type": "sp78", "bytes": "fb00" },
             { "key": "Tc0b", "type": "sp78", "bytes": "0000", "fail": 3758097084 })");
  EXPECT_EQ(TlxGetCpuTemperatureAverage(), 0.0f);
  double t = 99.0;
  ASSERT_EQ(TlxGetCpuTemperature(&t), 0);
  EXPECT_EQ(t, 0.0);
}

TEST_F(TemperatureSensorsTest, ReadersFailWithoutAnSmcAndLeaveTheOutputAlone) {
  EXPECT_EQ(TlxGetCpuTemperature(nullptr), -1);
  EXPECT_EQ(TlxGetSsdTemperature(nullptr), -1);

  // No transport at all, then one whose open fails.
  double t = 7.0;
  EXPECT_EQ(TlxGetCpuTemperature(&t), -1);
  EXPECT_EQ(TlxGetSsdTemperature(&t), -1);
  EXPECT_EQ(t, 7.0);

  install(R"({ "key": "TC0P", "type": "sp78", "bytes": "2a80" },
             { "key": "TH0x", "type": "sp78", "bytes": "2100" })",
          /*openable=*/false);
  EXPECT_EQ(TlxGetCpuTemperature(&t), -1);
  EXPECT_EQ(TlxGetSsdTemperature(&t), -1);
  EXPECT_EQ(t, 7.0);
  EXPECT_EQ(TlxCpuTemperatureKeyIndex(), 0u);
  EXPECT_TRUE(takeExchanges().empty());
}

TEST_F(TemperatureSensorsTest, SsdTemperatureIsDecodedByItsType) {
  install(R"({ "key": "TH0x", "type": "sp78", "bytes": "2100" })");
  double t = 0.0;
  ASSERT_EQ(TlxGetSsdTemperature(&t), 0);
  EXPECT_EQ(t, 33.0);
  // Read by name: key information first, then the value.
  EXPECT_EQ(takeExchanges(), (std::vector<std::string>{"9 TH0x", "5 TH0x"}));

  resetProcess();
  install(R"({ "key": "TH0x", "type": "flt ", "bytes": ")" + floatHex(36.7f) + R"(" })");
  t = 0.0;
  ASSERT_EQ(TlxGetSsdTemperature(&t), 0);
  EXPECT_EQ(t, static_cast<double>(36.7f));
}

TEST_F(TemperatureSensorsTest, SsdTemperatureFailuresAndMissingKey) {
  // Negative: a failure, with the output unwritten.
  install(R"({ "key": "TH0x", "type": "sp78", "bytes": "f600" })");
  double t = 5.0;
  EXPECT_EQ(TlxGetSsdTemperature(&t), -1);
  EXPECT_EQ(t, 5.0);

  // Unreadable: success, with the output unwritten.
  resetProcess();
  install(R"({ "key": "TH0x", "type": "sp78", "bytes": "2100", "fail": 3758097084 })");
  t = 5.0;
  EXPECT_EQ(TlxGetSsdTemperature(&t), 0);
  EXPECT_EQ(t, 5.0);

  // Missing: the SMC's "key not found" answer is read as a key of size 0, which decodes to 0.0.
  resetProcess();
  install("");
  t = 5.0;
  EXPECT_EQ(TlxGetSsdTemperature(&t), 0);
  EXPECT_EQ(t, 0.0);
}

}  // namespace
}  // namespace trellis
