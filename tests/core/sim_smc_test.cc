// What only the simulated SMC does: loading key files (syntax errors, each kind of bad field,
// the file's name in messages), "values" sequences with and without "loop", injected results and
// failures, and a file that refuses opening. What every transport answers is in
// smc_transport_test.cc; the demo table in share/ is read by the integration tests. Test thread
// only.
#include "platform/sim/sim_smc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/smc_support.h"
#include "support/temp_tree.h"

namespace trellis::sim {
namespace {

using ::testing::StartsWith;
using trellis::testing::smcMessage;
using trellis::testing::smcText;

class SimSmcTest : public ::testing::Test {
 protected:
  void load(const std::string& text) {
    std::string error;
    smc_ = SimSmc::parse(text, &error);
    ASSERT_NE(smc_, nullptr) << error;
  }
  testing::SmcExchange exchange(const testing::SmcFields& request) {
    return testing::smcExchange(*smc_, SimSmc::kConnection, smcMessage(request));
  }
  // The value bytes of `key` as its reply shows them.
  std::string read(const std::string& key) {
    const testing::SmcExchange out = exchange({.command = kSmcReadValue, .key = key});
    return out.status != 0 ? "failed" : testing::hexText(out.bytes(out.reply.dataSize));
  }

  std::unique_ptr<SimSmc> smc_;
};

TEST_F(SimSmcTest, ValuesAreReadInTurnThenTheLastRepeatsOrTheListStartsAgain) {
  load(R"({ "keys": [
      { "key": "TC0P", "type": "sp78", "bytes": "2000", "values": [ "2100", "2200" ], "loop": true },
      { "key": "TC0D", "type": "sp78", "bytes": "2000", "values": [ "2100", "2200" ] },
      { "key": "TC0E", "type": "sp78", "bytes": "2000", "values": [ "2100", "2200" ], "loop": false } ] })");
  // Key information and key at index use up no value.
  exchange({.command = kSmcKeyInformation, .key = "TC0P"});
  exchange({.command = kSmcKeyAtIndex, .index = 3});
  std::string looping, repeating, once;
  for (int i = 0; i < 5; ++i) {
    looping += read("TC0P") + " ";
    repeating += read("TC0D") + " ";
    once += read("TC0E") + " ";
  }
  EXPECT_EQ(looping, "2100 2200 2100 2200 2100 ");
  EXPECT_EQ(repeating, "2100 2200 2200 2200 2200 ");
  EXPECT_EQ(once, repeating);
  // A written value stands from then on, in place of the rest of the sequence.
  ASSERT_EQ(exchange({.command = kSmcWriteValue, .key = "TC0P", .size = 2, .hex = "1770"}).reply.result, 0);
  EXPECT_EQ(read("TC0P") + " " + read("TC0P"), "1770 1770");
}

TEST_F(SimSmcTest, AnInjectedResultOrFailureAnswersEveryCommandAboutTheKeyAndOpeningMayFail) {
  // A kernel-call code written unsigned or signed; listed by code: #KEY FNum TC0H TCGc.
  load(R"({ "keys": [ { "key": "FNum", "type": "ui8 ", "bytes": "02", "result": 134 },
                      { "key": "TCGc", "type": "sp78", "bytes": "3000", "fail": 3758097084 },
                      { "key": "TC0H", "type": "sp78", "bytes": "3000", "fail": -536870212 } ] })");
  for (std::uint8_t command : {kSmcKeyInformation, kSmcReadValue, kSmcWriteValue}) {
    EXPECT_EQ(smcText(exchange({.command = command, .key = "FNum", .size = 1}).reply),
              smcText(smcMessage({.command = command, .key = "FNum", .result = 134})));
    EXPECT_EQ(exchange({.command = command, .key = "TCGc"}).status, kSmcIOError);
    EXPECT_EQ(exchange({.command = command, .key = "TC0H"}).status, kSmcIOError);
  }
  EXPECT_EQ(smcText(exchange({.command = kSmcKeyAtIndex, .index = 1}).reply),
            smcText(smcMessage({.command = kSmcKeyAtIndex, .key = "FNum", .result = 134})));
  EXPECT_EQ(exchange({.command = kSmcKeyAtIndex, .index = 2}).status, kSmcIOError);
  EXPECT_EQ(exchange({.command = kSmcKeyAtIndex, .index = 3}).status, kSmcIOError);
  std::uint32_t connection = 7;
  EXPECT_EQ(smc_->open(&connection), 0);
  EXPECT_EQ(connection, SimSmc::kConnection);
  // Refused: the handle is left as it was, and calls on the usual one fail.
  load(R"({ "open": false, "keys": [ { "key": "TC0P", "type": "sp78", "bytes": "2a80" } ] })");
  connection = 7;
  EXPECT_EQ(smc_->open(&connection), kSmcIOError);
  EXPECT_EQ(connection, 7u);
  EXPECT_EQ(read("TC0P"), "failed");
}

TEST(SimSmcFileTest, AFullFileLoadsAndSyntaxErrorsNameTheLineAndColumn) {
  const std::string text = R"({
  "keys": [
    { "key": "TC0P", "type": "sp78", "bytes": "2a80", "note": "fields the loader does not know are left alone" },
    { "key": "F0Ac", "type": "fpe2", "bytes": "0fa0", "values": [ "1f40", "2000" ], "loop": true },
    { "key": "TC0D", "type": "sp78", "bytes": "3000", "result": 134, "fail": -536870212 }
  ]
})";
  ASSERT_NE(SimSmc::parse(text, nullptr), nullptr);
  for (const auto& [bad, message] :
       {std::pair{"{\n  \"keys\":\n    @ []\n}", "line 3, column 5: syntax error"}, std::pair{"", "line 1, column 1: "},
        std::pair{"{ \"keys\": [] } x", "line 1, column 16: "}}) {
    std::string error;
    EXPECT_EQ(SimSmc::parse(bad, &error), nullptr);
    EXPECT_THAT(error, StartsWith(message));
  }
}

// A file of one key object.
std::string withKey(const std::string& fields) { return "{ \"keys\": [ { " + fields + " } ] }"; }

TEST(SimSmcFileTest, BadFieldsAreNamed) {
  const std::string tc0p = R"("key": "TC0P", "type": "sp78", "bytes": "2a80")";
  const std::pair<std::string, std::string> files[] = {
      {"[]", "top level: expected an object"},
      {R"({ "Keys": [] })", "keys: missing"},
      {R"({ "keys": {} })", "keys: expected an array"},
      {R"({ "keys": [ 1 ] })", "keys[0]: expected an object"},
      {R"({ "open": "no", "keys": [] })", "open: expected true or false"},
      {withKey(R"("type": "sp78", "bytes": "2a80")"), "keys[0].key: missing"},
      {withKey(R"("key": "FNum", "bytes": "02")"), "keys[0].type: missing"},
      {withKey(R"("key": "TC0P", "type": "sp78")"), "keys[0].bytes: missing"},
      {withKey(tc0p + R"(, "values": [ "2b00", "2b0000" ])"), "keys[0].values[1]: 3 bytes, but the key has 2"},
      {withKey(tc0p + R"(, "values": [ "2b00", "2b" ])"), "keys[0].values[1]: 1 bytes, but the key has 2"},
      {withKey(tc0p + R"(, "values": [ "zz00" ])"), "keys[0].values[0]: not a hex digit at position 1"},
      {withKey(tc0p + R"(, "loop": true)"), "keys[0].loop: needs \"values\" to loop over"},
      {R"({ "keys": [ { )" + tc0p + R"( }, { "key": "FNum", "type": "ui8 ", "bytes": "02" }, { )" + tc0p + " } ] }",
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
      const std::string text = withKey(tc0p + R"(, "values": [ "2b00" ], ")" + field + "\": " + value);
      std::string error;
      EXPECT_EQ(SimSmc::parse(text, &error), nullptr) << text;
      EXPECT_EQ(error, "keys[0]." + field + ": " + message) << text;
    }
  }
  // The edges each field accepts.
  for (const std::string& fields :
       {std::string(R"("key": "FS! ", "type": "~i16", "bytes": "ABcd")"),
        tc0p + R"(, "result": 255, "fail": 4294967295)", tc0p + R"(, "result": 1, "fail": -2147483648)"}) {
    std::string error;
    EXPECT_NE(SimSmc::parse(withKey(fields), &error), nullptr) << fields << ": " << error;
  }
}

TEST(SimSmcFileTest, LoadNamesTheFile) {
  std::string error;
  testing::TempTree tree;
  const std::string path = tree.write("smc.json", "{\n  \"keys\": [\n    { \"key\": \"TC0P\" }\n");
  EXPECT_EQ(SimSmc::load(path, &error), nullptr);
  EXPECT_THAT(error, StartsWith(path + ": line 4, column 1: "));
  tree.write("smc.json", withKey(R"("key": "TC0P", "type": "sp78", "bytes": "2a8")"));
  EXPECT_EQ(SimSmc::load(path, &error), nullptr);
  EXPECT_EQ(error, path + ": keys[0].bytes: odd number of hex digits");
}

}  // namespace
}  // namespace trellis::sim
