// The simulated SMC: loading key files (every truncation, each kind of bad field), what a loaded
// table answers through the SMC client (sequences, writes, injected results and failures), and
// the demo table shipped in share/. Test thread only.
#include "platform/sim/sim_smc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "smc/smc_client.h"
#include "support/service_setters.h"
#include "support/smc_support.h"
#include "support/temp_tree.h"

namespace trellis::sim {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using trellis::testing::printedBy;

constexpr char kValid[] = R"({
  "comment": "fields the loader does not know are left alone",
  "keys": [
    { "key": "TC0P", "type": "sp78", "bytes": "2a80" },
    { "key": "FNum", "type": "ui8 ", "bytes": "02", "note": "two fans" },
    { "key": "F0Ac", "type": "fpe2", "bytes": "0fa0", "values": [ "1f40", "2000", "20c0" ] },
    { "key": "TH0x", "type": "flt ", "bytes": "0000f041" },
    { "key": "TC0D", "type": "sp78", "bytes": "3000", "result": 134 },
    { "key": "TCGc", "type": "sp78", "bytes": "3000", "fail": 3758097084 },
    { "key": "TC0H", "type": "sp78", "bytes": "3000", "fail": -536870212 }
  ]
})";

// Runs the client over a loaded table, as the agent would.
class SimSmcClientTest : public ::testing::Test {
 protected:
  void install(std::unique_ptr<SimSmc> smc) {
    ASSERT_NE(smc, nullptr);
    smc_ = std::move(smc);
    SmcResetProcessStateForTesting();
    testing::setService(&Services::smc, smc_.get());
  }
  void TearDown() override {
    testing::setService(&Services::smc, testing::noSmc());
    SmcResetProcessStateForTesting();
  }
  // A raw read of two bytes, as a number (-1 when it fails).
  static int raw2(const char (&key)[5]) {
    std::uint8_t bytes[2];
    std::uint8_t size = 2;
    return TlxReadKey(smcKeyCode(key), bytes, &size, false) == 0 ? bytes[0] << 8 | bytes[1] : -1;
  }
  static float typed(const char* key, int expected = 0) {
    SmcKeyValue value;
    EXPECT_EQ(SmcReadKey(key, &value, TlxConnection()), expected) << key;
    return SmcValueToFloat(value);
  }
  static std::string listing() {
    return printedBy([](std::FILE* out) { TlxListKeys(out); });
  }

  std::unique_ptr<SimSmc> smc_;
};

TEST_F(SimSmcClientTest, AnswersTheKeysOfTheFileWithTheirResultsAndFailures) {
  install(SimSmc::parse(kValid, nullptr));
  EXPECT_EQ(TlxConnection(), SimSmc::kConnection);
  EXPECT_EQ(raw2("TC0P"), 0x2A80);
  EXPECT_EQ(typed("FNum"), 2.0f);
  EXPECT_EQ(typed("TH0x"), 30.0f);
  // Result 134 and kernel failures (written either way) fail raw reads; a typed read does not judge
  // result bytes, so TC0D reads as size 0.
  EXPECT_EQ(raw2("TC0D"), -1);
  EXPECT_EQ(raw2("TCGc"), -1);
  SmcKeyValue value;
  EXPECT_EQ(SmcReadKey("TC0D", &value, TlxConnection()), 0);
  EXPECT_EQ(value.dataSize, 0u);
  typed("TCGc", kSmcIOError);
  typed("TC0H", kSmcIOError);
  // Listed by key code; TC0D, whose every answer is result 134, ends the listing.
  EXPECT_EQ(listing(),
            "Total key: 8\n"
            "[000] Key: #KEY Size: 4 Type: ui32 Vaule: 8 \n"
            "[001] Key: F0Ac Size: 2 Type: fpe2 Vaule: 2000.000000 \n"
            "[002] Key: FNum Size: 1 Type: ui8  Vaule: 2 \n"
            "SMC get index key [3] fail: 0\n");

  // A kernel failure ends the listing at that key's index, with its code.
  install(SimSmc::parse(R"({ "keys": [ { "key": "TC0P", "type": "sp78", "bytes": "2a80" },
                         { "key": "TH0x", "type": "sp78", "bytes": "2100", "fail": 3758097084 } ] })",
                        nullptr));
  EXPECT_EQ(listing(),
            "Total key: 3\n"
            "[000] Key: #KEY Size: 4 Type: ui32 Vaule: 3 \n"
            "[001] Key: TC0P Size: 2 Type: sp78 Value: 42.500000 \n"
            "SMC get index key [2] fail: " +
                std::to_string(kSmcIOError) + "\n");

  install(
      SimSmc::parse(R"({ "open": false, "keys": [ { "key": "TC0P", "type": "sp78", "bytes": "2a80" } ] })", nullptr));
  EXPECT_EQ(TlxOpen(), -1);
  EXPECT_EQ(raw2("TC0P"), -1);
}

TEST_F(SimSmcClientTest, ValuesAreReadInTurnThenTheLastRepeatsUntilAWrite) {
  install(SimSmc::parse(kValid, nullptr));
  std::vector<float> speeds;
  for (int i = 0; i < 4; ++i) speeds.push_back(typed("F0Ac"));
  EXPECT_EQ(speeds, (std::vector<float>{2000, 2048, 2096, 2096}));

  // Key information does not use up a value; a raw read with information uses one.
  install(SimSmc::parse(kValid, nullptr));
  SmcKeyInfo info;
  ASSERT_EQ(SmcGetKeyInfo(smcKeyCode("F0Ac"), &info, TlxConnection()), 0);
  std::uint8_t bytes[4];
  std::uint8_t size = sizeof bytes;
  ASSERT_EQ(TlxReadKey(smcKeyCode("F0Ac"), bytes, &size, /*askInfo=*/true), 0);
  EXPECT_EQ(size, 2);
  EXPECT_EQ(bytes[0], 0x1F);
  EXPECT_EQ(raw2("F0Ac"), 0x2000);

  // Writes of the key's size replace the value and end a sequence.
  const std::uint8_t fixed[4] = {0x17, 0x70, 3, 4};
  ASSERT_EQ(TlxWriteKey(smcKeyCode("F0Ac"), fixed, 2), 0);
  EXPECT_EQ(raw2("F0Ac"), 0x1770);
  EXPECT_EQ(raw2("F0Ac"), 0x1770);
  ASSERT_EQ(TlxWriteKey(smcKeyCode("TC0P"), fixed, 2), 0);
  EXPECT_EQ(raw2("TC0P"), 0x1770);
  EXPECT_EQ(TlxWriteKey(smcKeyCode("TC0P"), fixed, 4), -1);
  EXPECT_EQ(TlxWriteKey(smcKeyCode("#KEY"), fixed, 4), -1);
}

TEST(SimSmcTransportTest, RefusesForeignCallsAndLoopsSequencesWhenAsked) {
  auto smc = SimSmc::parse(R"({"keys": [
      {"key": "TC0P", "type": "sp78", "bytes": "2000", "loop": true, "values": ["2100", "2200"]},
      {"key": "TC0D", "type": "sp78", "bytes": "2000", "values": ["2100", "2200"]}]})",
                           nullptr);
  ASSERT_NE(smc, nullptr);
  std::uint32_t connection = 0;
  ASSERT_EQ(smc->open(&connection), 0);
  EXPECT_EQ(testing::smcExchange(*smc, connection, testing::smcRequest(kSmcKeyInformation, "TC0P")).reply.dataSize, 2u);
  testing::expectForeignCallsRefused(*smc, connection);
  std::vector<int> looping, repeating;
  for (int i = 0; i < 5; ++i) {
    looping.push_back(
        testing::smcExchange(*smc, connection, testing::smcRequest(kSmcReadValue, "TC0P")).reply.bytes[0]);
    repeating.push_back(
        testing::smcExchange(*smc, connection, testing::smcRequest(kSmcReadValue, "TC0D")).reply.bytes[0]);
  }
  EXPECT_EQ(looping, (std::vector<int>{0x21, 0x22, 0x21, 0x22, 0x21}));
  EXPECT_EQ(repeating, (std::vector<int>{0x21, 0x22, 0x22, 0x22, 0x22}));
}

TEST(SimSmcLoadTest, EveryTruncationAndSyntaxErrorNamesTheLineAndColumn) {
  const std::string text = kValid;
  ASSERT_NE(SimSmc::parse(text, nullptr), nullptr);
  for (std::size_t length = 0; length <= text.rfind('}'); ++length) {
    std::string error;
    EXPECT_EQ(SimSmc::parse(text.substr(0, length), &error), nullptr) << length;
    EXPECT_THAT(error, StartsWith("line ")) << length;
  }
  std::string error;
  EXPECT_EQ(SimSmc::parse("{\n  \"keys\":\n    @ []\n}", &error), nullptr);
  EXPECT_THAT(error, StartsWith("line 3, column 5: "));
  EXPECT_THAT(error, HasSubstr("invalid literal"));
  EXPECT_EQ(SimSmc::parse("", &error), nullptr);
  EXPECT_THAT(error, StartsWith("line 1, column 1: "));
  EXPECT_EQ(SimSmc::parse("{ \"keys\": [] } x", &error), nullptr);
  EXPECT_THAT(error, StartsWith("line 1, column 16: "));
}

// A file of one key object.
std::string withKey(const std::string& fields) { return "{ \"keys\": [ { " + fields + " } ] }"; }

TEST(SimSmcLoadTest, BadFieldsAreNamed) {
  const std::pair<std::string, std::string> files[] = {
      {"[]", "top level: expected an object"},
      {R"({ "Keys": [] })", "keys: missing"},
      {R"({ "keys": {} })", "keys: expected an array"},
      {R"({ "keys": [ 1 ] })", "keys[0]: expected an object"},
      {R"({ "open": "no", "keys": [] })", "open: expected true or false"},
      {withKey(R"("type": "sp78", "bytes": "2a80")"), "keys[0].key: missing"},
      {withKey(R"("key": "FNum", "bytes": "02")"), "keys[0].type: missing"},
      {withKey(R"("key": "TC0P", "type": "sp78")"), "keys[0].bytes: missing"},
      {withKey(R"("key": "TC0P", "type": "sp78", "bytes": "2a80", "values": [ "2b00", "2b0000" ])"),
       "keys[0].values[1]: 3 bytes, but the key has 2"},
      {withKey(R"("key": "TC0P", "type": "sp78", "bytes": "2a80", "values": [ "2b00", "2b" ])"),
       "keys[0].values[1]: 1 bytes, but the key has 2"},
      {withKey(R"("key": "TC0P", "type": "sp78", "bytes": "2a80", "values": [ "zz00" ])"),
       "keys[0].values[0]: not a hex digit at position 1"},
      {withKey(R"("key": "TC0P", "type": "sp78", "bytes": "2a80", "loop": true)"),
       "keys[0].loop: needs \"values\" to loop over"},
      {R"({ "keys": [ { "key": "TC0P", "type": "sp78", "bytes": "2a80" },
                      { "key": "FNum", "type": "ui8 ", "bytes": "02" },
                      { "key": "TC0P", "type": "sp78", "bytes": "2b80" } ] })",
       "keys[2].key: duplicate key \"TC0P\" (also keys[0])"},
  };
  for (const auto& [text, message] : files) {
    std::string error;
    EXPECT_EQ(SimSmc::parse(text, &error), nullptr) << text;
    EXPECT_EQ(error, message) << text;
  }
  // A good key with one field written again (the last one counts) with each of these values.
  const std::tuple<std::string, std::vector<std::string>, std::string> fields[] = {
      {"key", {"\"TC0\"", "\"TC0PX\"", "\"TC\\n0\"", "1234"}, "expected exactly four printable ASCII characters"},
      {"key", {"\"#KEY\""}, "\"#KEY\" is the number of keys and is added by itself"},
      {"type", {"\"ui8\""}, "expected exactly four printable ASCII characters"},
      {"bytes", {"\"2a8\""}, "odd number of hex digits"},
      {"bytes", {"\"2g80\"", "\"0x2a80\""}, "not a hex digit at position 2"},
      {"bytes", {"\"2a 80\""}, "not a hex digit at position 3"},
      {"bytes", {"\"\""}, "empty value (a key has 1 to 32 bytes)"},
      {"bytes", {"10880"}, "expected a string of hex digits"},
      {"bytes", {"\"" + std::string(66, '0') + "\""}, "33 bytes (a key has at most 32)"},
      {"values", {"\"2a80\""}, "expected an array of hex values"},
      {"values", {"[]"}, "empty (leave it out for a fixed value)"},
      {"result", {"0", "256", "-1", "132.0", "\"132\""}, "expected an integer from 1 to 255"},
      {"fail", {"0", "4294967296", "-2147483649", "true"}, "expected a non-zero 32-bit integer"},
      {"loop", {"1"}, "expected true or false"},
  };
  for (const auto& [field, values, message] : fields) {
    for (const std::string& value : values) {
      const std::string text = withKey(R"("key": "TC0P", "type": "sp78", "bytes": "2a80", "values": [ "2b00" ], ")" +
                                       field + "\": " + value);
      std::string error;
      EXPECT_EQ(SimSmc::parse(text, &error), nullptr) << text;
      EXPECT_EQ(error, "keys[0]." + field + ": " + message) << text;
    }
  }
  // The edges each field accepts.
  for (
      const char* text : {
          R"({ "keys": [] })",
          R"({ "open": true, "keys": [ { "key": "FS! ", "type": "ui16", "bytes": "ABcd" } ] })",
          R"({ "keys": [ { "key": "BIG!", "type": "ch8*", "bytes": "0001020304050607080910111213141516171819202122232425262728293031" } ] })",
          R"({ "keys": [ { "key": "TC0P", "type": "sp78", "bytes": "2a80", "result": 255, "fail": 4294967295 } ] })",
          R"({ "keys": [ { "key": "TC0P", "type": "sp78", "bytes": "2a80", "fail": -2147483648 } ] })",
      }) {
    std::string error;
    EXPECT_NE(SimSmc::parse(text, &error), nullptr) << text << ": " << error;
  }
}

TEST(SimSmcLoadTest, LoadNamesTheFile) {
  std::string error;
  EXPECT_EQ(SimSmc::load("/nonexistent/smc.json", &error), nullptr);
  EXPECT_EQ(error, "/nonexistent/smc.json: No such file or directory");
  testing::TempTree tree;
  const std::string path = tree.write("smc.json", "{\n  \"keys\": [\n    { \"key\": \"TC0P\" }\n");
  EXPECT_EQ(SimSmc::load(path, &error), nullptr);
  EXPECT_THAT(error, StartsWith(path + ": line 4, column 1: "));
  tree.write("smc.json", withKey(R"("key": "TC0P", "type": "sp78", "bytes": "2a8")"));
  EXPECT_EQ(SimSmc::load(path, &error), nullptr);
  EXPECT_EQ(error, path + ": keys[0].bytes: odd number of hex digits");
  tree.write("smc.json", kValid);
  EXPECT_NE(SimSmc::load(path, &error), nullptr) << error;
}

TEST_F(SimSmcClientTest, DemoTableLoadsAndItsReadingsMove) {
  std::string error;
  install(SimSmc::load(std::string(TRELLIS_TEST_FIXTURES) + "/../../share/demo-smc.json", &error));
  ASSERT_EQ(error, "");
  ASSERT_EQ(TlxOpen(), 0);
  std::uint8_t fans = 0;
  std::uint8_t size = 1;
  ASSERT_EQ(TlxReadKey(smcKeyCode("FNum"), &fans, &size, false), 0);
  EXPECT_EQ(fans, 2);
  const char* const names[] = {"Left side", "Right side"};
  for (int fan = 0; fan < 2; ++fan) {
    auto key = [&](const char* suffix) { return "F" + std::to_string(fan) + suffix; };
    std::uint8_t id[20] = {};
    size = sizeof id;
    ASSERT_EQ(TlxReadKey(smcFourCC(key("ID").c_str()), id, &size, /*askInfo=*/true), 0);
    EXPECT_EQ(size, 16);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(id + 4)), names[fan]);
    const float minimum = typed(key("Mn").c_str());
    const float maximum = typed(key("Mx").c_str());
    EXPECT_LT(0.0f, minimum);
    EXPECT_LT(minimum, maximum);
    std::set<float> speeds;
    for (int i = 0; i < 20; ++i) speeds.insert(typed(key("Ac").c_str()));
    EXPECT_GE(speeds.size(), 10u) << "fan " << fan << " should move";
    EXPECT_GE(*speeds.begin(), minimum);
    EXPECT_LE(*speeds.rbegin(), maximum);
  }
  std::set<double> cpu;
  std::set<float> disk;
  for (int i = 0; i < 20; ++i) {
    std::uint8_t bytes[2];
    size = 2;
    ASSERT_EQ(TlxReadKey(smcKeyCode("TC0P"), bytes, &size, false), 0);
    cpu.insert(TlxDecodeSp78Shifted(bytes));
    disk.insert(typed("TH0x"));
  }
  EXPECT_GE(cpu.size(), 10u);
  EXPECT_GT(*cpu.begin(), 20.0);
  EXPECT_LE(*cpu.rbegin(), 110.0);
  EXPECT_GE(disk.size(), 5u);
  EXPECT_GT(*disk.begin(), 20.0f);
  EXPECT_LT(*disk.rbegin(), 70.0f);
  // Every key lists with a value: no failure line anywhere.
  const std::string text = listing();
  EXPECT_THAT(text, StartsWith("Total key: "));
  EXPECT_THAT(text, ::testing::Not(HasSubstr("fail")));
}

}  // namespace
}  // namespace trellis::sim
