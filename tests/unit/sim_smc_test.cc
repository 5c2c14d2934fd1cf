// The simulated SMC: loading key files (every truncation, each kind of bad field), what a loaded
// table answers through the SMC client (sequences, writes, injected results and failures), and
// the demo table shipped in share/. Test thread only.
#include "platform/sim/sim_smc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "smc/smc_client.h"

namespace trellis::sim {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kDemoPath = std::string(TRELLIS_TEST_FIXTURES) + "/../../share/demo-smc.json";

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
  void install(std::string_view text) {
    std::string error;
    smc_ = SimSmc::parse(text, &error);
    ASSERT_NE(smc_, nullptr) << error;
    SmcResetProcessStateForTesting();
    SmcTransport::setSystem(smc_.get());
  }
  void TearDown() override {
    SmcTransport::setSystem(nullptr);
    SmcResetProcessStateForTesting();
  }

  // Two-byte raw read without key information; -1 when it fails.
  int raw2(const char (&key)[5], std::uint8_t out[2]) {
    std::uint8_t size = 2;
    return TlxReadKey(smcKeyCode(key), out, &size, /*askInfo=*/false);
  }

  std::string listing() {
    char* text = nullptr;
    std::size_t length = 0;
    FILE* out = open_memstream(&text, &length);
    TlxListKeys(out);
    std::fclose(out);
    std::string result(text, length);
    std::free(text);
    return result;
  }

  std::unique_ptr<SimSmc> smc_;
};

TEST_F(SimSmcClientTest, AnswersTheKeysOfTheFile) {
  install(kValid);
  ASSERT_EQ(TlxOpen(), 0);
  EXPECT_EQ(TlxConnection(), SimSmc::kConnection);

  std::uint8_t bytes[2];
  ASSERT_EQ(raw2("TC0P", bytes), 0);
  EXPECT_EQ(TlxDecodeSp78Shifted(bytes), 42.5);

  SmcKeyValue value;
  ASSERT_EQ(SmcReadKey("FNum", &value, TlxConnection()), 0);
  EXPECT_EQ(value.dataSize, 1u);
  EXPECT_STREQ(value.dataType, "ui8 ");
  EXPECT_EQ(SmcValueToFloat(value), 2.0f);

  ASSERT_EQ(SmcReadKey("TH0x", &value, TlxConnection()), 0);
  EXPECT_STREQ(value.dataType, "flt ");
  EXPECT_EQ(SmcValueToFloat(value), 30.0f);

  // Listed by key code; TC0D, whose every answer is result 134, ends the listing.
  EXPECT_EQ(listing(),
            "Total key: 8\n"
            "[000] Key: #KEY Size: 4 Type: ui32 Vaule: 8 \n"
            "[001] Key: F0Ac Size: 2 Type: fpe2 Vaule: 2000.000000 \n"
            "[002] Key: FNum Size: 1 Type: ui8  Vaule: 2 \n"
            "SMC get index key [3] fail: 0\n");
}

TEST_F(SimSmcClientTest, ValuesAreReadInTurnThenTheLastRepeats) {
  install(kValid);
  SmcKeyValue value;
  std::vector<float> speeds;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(SmcReadKey("F0Ac", &value, TlxConnection()), 0);
    speeds.push_back(SmcValueToFloat(value));
  }
  EXPECT_EQ(speeds, (std::vector<float>{2000, 2048, 2096, 2096, 2096}));

  // Key information does not use up a value; a raw read with information uses one.
  SmcKeyInfo info;
  SmcResetProcessStateForTesting();
  install(kValid);
  ASSERT_EQ(TlxOpen(), 0);
  ASSERT_EQ(SmcGetKeyInfo(smcKeyCode("F0Ac"), &info, TlxConnection()), 0);
  std::uint8_t bytes[4];
  std::uint8_t size = sizeof bytes;
  ASSERT_EQ(TlxReadKey(smcKeyCode("F0Ac"), bytes, &size, /*askInfo=*/true), 0);
  EXPECT_EQ(size, 2);
  EXPECT_EQ(bytes[0], 0x1F);
  ASSERT_EQ(raw2("F0Ac", bytes), 0);
  EXPECT_EQ(bytes[0], 0x20);
  EXPECT_EQ(bytes[1], 0x00);
}

TEST_F(SimSmcClientTest, WritesChangeTheTableAndEndASequence) {
  install(kValid);
  ASSERT_EQ(TlxOpen(), 0);
  const std::uint8_t hot[2] = {0x50, 0x00};
  ASSERT_EQ(TlxWriteKey(smcKeyCode("TC0P"), hot, 2), 0);
  std::uint8_t bytes[2];
  ASSERT_EQ(raw2("TC0P", bytes), 0);
  EXPECT_EQ(TlxDecodeSp78Shifted(bytes), 80.0);

  ASSERT_EQ(raw2("F0Ac", bytes), 0);  // first value of the sequence
  const std::uint8_t fixed[2] = {0x17, 0x70};
  ASSERT_EQ(TlxWriteKey(smcKeyCode("F0Ac"), fixed, 2), 0);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(raw2("F0Ac", bytes), 0);
    EXPECT_EQ(TlxDecodeFpInt(bytes, 2, 2), 1500.0f);
  }

  const std::uint8_t wide[4] = {1, 2, 3, 4};
  EXPECT_EQ(TlxWriteKey(smcKeyCode("TC0P"), wide, 4), -1);
  EXPECT_EQ(TlxWriteKey(smcKeyCode("#KEY"), wide, 4), -1);
}

TEST_F(SimSmcClientTest, InjectedResultsAndFailures) {
  install(kValid);
  ASSERT_EQ(TlxOpen(), 0);
  std::uint8_t bytes[2];
  EXPECT_EQ(raw2("TC0D", bytes), -1) << "result 134 fails a raw read";
  EXPECT_EQ(raw2("TCGc", bytes), -1);

  // A typed read does not judge result bytes: the key reads as size 0.
  SmcKeyValue value;
  EXPECT_EQ(SmcReadKey("TC0D", &value, TlxConnection()), 0);
  EXPECT_EQ(value.dataSize, 0u);
  // A kernel failure is passed back as it is, written either way in the file.
  EXPECT_EQ(SmcReadKey("TCGc", &value, TlxConnection()), kSmcIOError);
  EXPECT_EQ(SmcReadKey("TC0H", &value, TlxConnection()), kSmcIOError);

  // A kernel failure ends the listing at that key's index, with its code.
  install(R"({ "keys": [ { "key": "TC0P", "type": "sp78", "bytes": "2a80" },
                         { "key": "TH0x", "type": "sp78", "bytes": "2100", "fail": 3758097084 } ] })");
  EXPECT_EQ(listing(),
            "Total key: 3\n"
            "[000] Key: #KEY Size: 4 Type: ui32 Vaule: 3 \n"
            "[001] Key: TC0P Size: 2 Type: sp78 Value: 42.500000 \n"
            "SMC get index key [2] fail: " +
                std::to_string(kSmcIOError) + "\n");
}

TEST_F(SimSmcClientTest, ClosedSmcCannotBeOpened) {
  install(R"({ "open": false, "keys": [ { "key": "TC0P", "type": "sp78", "bytes": "2a80" } ] })");
  EXPECT_EQ(TlxOpen(), -1);
  EXPECT_EQ(TlxConnection(), 0u);
  std::uint8_t bytes[2];
  EXPECT_EQ(raw2("TC0P", bytes), -1);
  EXPECT_EQ(listing(), "");
}

TEST(SimSmcTransportTest, RefusesForeignCallsWithoutAnswering) {
  std::string error;
  auto smc = SimSmc::parse(kValid, &error);
  ASSERT_NE(smc, nullptr) << error;
  std::uint32_t connection = 0;
  ASSERT_EQ(smc->open(&connection), 0);
  SmcMessage request;
  std::memset(&request, 0, sizeof request);
  request.key = smcKeyCode("TC0P");
  request.command = kSmcKeyInformation;
  SmcMessage reply;
  std::size_t size = sizeof reply;
  EXPECT_EQ(smc->call(connection, kSmcSelector, request, &reply, &size), 0);
  EXPECT_EQ(reply.dataSize, 2u);
  EXPECT_EQ(smc->call(connection, 3, request, &reply, &size), kSmcIOError);
  EXPECT_EQ(smc->call(connection + 1, kSmcSelector, request, &reply, &size), kSmcIOError);
  size = sizeof reply - 1;
  EXPECT_EQ(smc->call(connection, kSmcSelector, request, &reply, &size), kSmcIOError);
}

// --- Loading --------------------------------------------------------------------------------

TEST(SimSmcLoadTest, EveryTruncationFailsWithAMessage) {
  const std::string text = kValid;
  ASSERT_NE(SimSmc::parse(text, nullptr), nullptr);
  const std::size_t end = text.rfind('}');
  for (std::size_t length = 0; length <= end; ++length) {
    std::string error;
    EXPECT_EQ(SimSmc::parse(text.substr(0, length), &error), nullptr) << "prefix of " << length << " bytes";
    EXPECT_THAT(error, StartsWith("line ")) << "prefix of " << length << " bytes";
  }
}

TEST(SimSmcLoadTest, SyntaxErrorNamesLineAndColumn) {
  std::string error;
  EXPECT_EQ(SimSmc::parse("{\n  \"keys\":\n    @ []\n}", &error), nullptr);
  EXPECT_THAT(error, StartsWith("line 3, column 5: "));
  EXPECT_THAT(error, HasSubstr("invalid literal"));

  EXPECT_EQ(SimSmc::parse("", &error), nullptr);
  EXPECT_THAT(error, StartsWith("line 1, column 1: "));

  EXPECT_EQ(SimSmc::parse("{ \"keys\": [] } x", &error), nullptr);
  EXPECT_THAT(error, StartsWith("line 1, column 16: "));
}

// One key object in a file, for the field checks.
std::string withKey(const std::string& fields) { return "{ \"keys\": [ { " + fields + " } ] }"; }

TEST(SimSmcLoadTest, BadFieldsAreNamed) {
  const std::string kTC0P = R"("key": "TC0P", "type": "sp78", )";
  struct Case {
    std::string text;
    std::string error;
  } cases[] = {
      {"[]", "top level: expected an object"},
      {R"({ "Keys": [] })", "keys: missing"},
      {R"({ "keys": {} })", "keys: expected an array"},
      {R"({ "keys": [ 1 ] })", "keys[0]: expected an object"},
      {R"({ "open": "no", "keys": [] })", "open: expected true or false"},
      {withKey(R"("type": "sp78", "bytes": "2a80")"), "keys[0].key: missing"},
      {withKey(R"("key": "TC0", "type": "sp78", "bytes": "2a80")"),
       "keys[0].key: expected exactly four printable ASCII characters"},
      {withKey(R"("key": "TC0PX", "type": "sp78", "bytes": "2a80")"),
       "keys[0].key: expected exactly four printable ASCII characters"},
      {withKey(R"("key": "TC\n0", "type": "sp78", "bytes": "2a80")"),
       "keys[0].key: expected exactly four printable ASCII characters"},
      {withKey(R"("key": 1234, "type": "sp78", "bytes": "2a80")"),
       "keys[0].key: expected exactly four printable ASCII characters"},
      {withKey(R"("key": "#KEY", "type": "ui32", "bytes": "00000001")"),
       "keys[0].key: \"#KEY\" is the number of keys and is added by itself"},
      {withKey(R"("key": "FNum", "bytes": "02")"), "keys[0].type: missing"},
      {withKey(R"("key": "FNum", "type": "ui8", "bytes": "02")"),
       "keys[0].type: expected exactly four printable ASCII characters"},
      {withKey(kTC0P.substr(0, kTC0P.size() - 2)), "keys[0].bytes: missing"},
      {withKey(kTC0P + R"("bytes": "2a8")"), "keys[0].bytes: odd number of hex digits"},
      {withKey(kTC0P + R"("bytes": "2g80")"), "keys[0].bytes: not a hex digit at position 2"},
      {withKey(kTC0P + R"("bytes": "0x2a80")"), "keys[0].bytes: not a hex digit at position 2"},
      {withKey(kTC0P + R"("bytes": "2a 80")"), "keys[0].bytes: not a hex digit at position 3"},
      {withKey(kTC0P + R"("bytes": "")"), "keys[0].bytes: empty value (a key has 1 to 32 bytes)"},
      {withKey(kTC0P + R"("bytes": 10880)"), "keys[0].bytes: expected a string of hex digits"},
      {withKey(kTC0P + "\"bytes\": \"" + std::string(66, '0') + "\""),
       "keys[0].bytes: 33 bytes (a key has at most 32)"},
      {withKey(kTC0P + R"("bytes": "2a80", "values": "2a80")"), "keys[0].values: expected an array of hex values"},
      {withKey(kTC0P + R"("bytes": "2a80", "values": [])"),
       "keys[0].values: empty (leave it out for a fixed value)"},
      {withKey(kTC0P + R"("bytes": "2a80", "values": [ "2b00", "2b0000" ])"),
       "keys[0].values[1]: 3 bytes, but the key has 2"},
      {withKey(kTC0P + R"("bytes": "2a80", "values": [ "2b00", "2b" ])"),
       "keys[0].values[1]: 1 bytes, but the key has 2"},
      {withKey(kTC0P + R"("bytes": "2a80", "values": [ "zz00" ])"),
       "keys[0].values[0]: not a hex digit at position 1"},
      {withKey(kTC0P + R"("bytes": "2a80", "result": 0)"), "keys[0].result: expected an integer from 1 to 255"},
      {withKey(kTC0P + R"("bytes": "2a80", "result": 256)"), "keys[0].result: expected an integer from 1 to 255"},
      {withKey(kTC0P + R"("bytes": "2a80", "result": -1)"), "keys[0].result: expected an integer from 1 to 255"},
      {withKey(kTC0P + R"("bytes": "2a80", "result": 132.0)"), "keys[0].result: expected an integer from 1 to 255"},
      {withKey(kTC0P + R"("bytes": "2a80", "result": "132")"), "keys[0].result: expected an integer from 1 to 255"},
      {withKey(kTC0P + R"("bytes": "2a80", "fail": 0)"), "keys[0].fail: expected a non-zero 32-bit integer"},
      {withKey(kTC0P + R"("bytes": "2a80", "fail": 4294967296)"), "keys[0].fail: expected a non-zero 32-bit integer"},
      {withKey(kTC0P + R"("bytes": "2a80", "fail": -2147483649)"),
       "keys[0].fail: expected a non-zero 32-bit integer"},
      {withKey(kTC0P + R"("bytes": "2a80", "fail": true)"), "keys[0].fail: expected a non-zero 32-bit integer"},
      {R"({ "keys": [ { "key": "TC0P", "type": "sp78", "bytes": "2a80" },
                      { "key": "FNum", "type": "ui8 ", "bytes": "02" },
                      { "key": "TC0P", "type": "sp78", "bytes": "2b80" } ] })",
       "keys[2].key: duplicate key \"TC0P\" (also keys[0])"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(SimSmc::parse(c.text, &error), nullptr) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

TEST(SimSmcLoadTest, AcceptsTheEdgesOfEachField) {
  const char* texts[] = {
      R"({ "keys": [] })",
      R"({ "open": true, "keys": [ { "key": "FS! ", "type": "ui16", "bytes": "ABcd" } ] })",
      R"({ "keys": [ { "key": "BIG!", "type": "ch8*", "bytes": "0001020304050607080910111213141516171819202122232425262728293031" } ] })",
      R"({ "keys": [ { "key": "TC0P", "type": "sp78", "bytes": "2a80", "result": 255, "fail": 4294967295 } ] })",
      R"({ "keys": [ { "key": "TC0P", "type": "sp78", "bytes": "2a80", "fail": -2147483648 } ] })",
  };
  for (const char* text : texts) {
    std::string error;
    EXPECT_NE(SimSmc::parse(text, &error), nullptr) << text << ": " << error;
  }
}

TEST(SimSmcLoadTest, LoadNamesTheFile) {
  std::string error;
  EXPECT_EQ(SimSmc::load("/nonexistent/smc.json", &error), nullptr);
  EXPECT_EQ(error, "/nonexistent/smc.json: No such file or directory");

  char path[] = "/tmp/trellis-sim-smc-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::ofstream(path) << "{\n  \"keys\": [\n    { \"key\": \"TC0P\", \"type\": \"sp78\", \"bytes\": \"2a8\" }\n";
  EXPECT_EQ(SimSmc::load(path, &error), nullptr);
  EXPECT_THAT(error, StartsWith(std::string(path) + ": line 4, column 1: "));

  std::ofstream(path) << "{ \"keys\": [ { \"key\": \"TC0P\", \"type\": \"sp78\", \"bytes\": \"2a8\" } ] }\n";
  EXPECT_EQ(SimSmc::load(path, &error), nullptr);
  EXPECT_EQ(error, std::string(path) + ": keys[0].bytes: odd number of hex digits");

  std::ofstream(path) << kValid;
  EXPECT_NE(SimSmc::load(path, &error), nullptr) << error;
  std::filesystem::remove(path);
}

// --- The demo table ---------------------------------------------------------------------------

TEST_F(SimSmcClientTest, DemoTableLoadsAndItsReadingsMove) {
  std::string error;
  smc_ = SimSmc::load(kDemoPath, &error);
  ASSERT_NE(smc_, nullptr) << error;
  SmcResetProcessStateForTesting();
  SmcTransport::setSystem(smc_.get());
  ASSERT_EQ(TlxOpen(), 0);

  std::uint8_t fans = 0;
  std::uint8_t size = 1;
  ASSERT_EQ(TlxReadKey(smcKeyCode("FNum"), &fans, &size, false), 0);
  EXPECT_EQ(fans, 2);

  const char* const names[] = {"Left side", "Right side"};
  for (int fan = 0; fan < 2; ++fan) {
    char key[5];
    std::snprintf(key, sizeof key, "F%dID", fan);
    std::uint8_t id[20] = {};
    size = sizeof id;
    ASSERT_EQ(TlxReadKey(smcFourCC(key), id, &size, /*askInfo=*/true), 0);
    EXPECT_EQ(size, 16);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(id + 4)), names[fan]);

    std::snprintf(key, sizeof key, "F%dMn", fan);
    std::uint8_t limit[2];
    ASSERT_EQ(TlxReadKey(smcFourCC(key), limit, &(size = 2), false), 0);
    const float minimum = TlxDecodeFpInt(limit, 2, 2);
    std::snprintf(key, sizeof key, "F%dMx", fan);
    ASSERT_EQ(TlxReadKey(smcFourCC(key), limit, &(size = 2), false), 0);
    const float maximum = TlxDecodeFpInt(limit, 2, 2);
    EXPECT_LT(0.0f, minimum);
    EXPECT_LT(minimum, maximum);

    std::snprintf(key, sizeof key, "F%dAc", fan);
    std::set<float> speeds;
    for (int i = 0; i < 20; ++i) {
      SmcKeyValue value;
      ASSERT_EQ(SmcReadKey(key, &value, TlxConnection()), 0);
      const float speed = SmcValueToFloat(value);
      EXPECT_GE(speed, minimum) << key;
      EXPECT_LE(speed, maximum) << key;
      speeds.insert(speed);
    }
    EXPECT_GE(speeds.size(), 10u) << key << " should move";
  }

  std::set<double> cpu;
  for (int i = 0; i < 20; ++i) {
    std::uint8_t bytes[2];
    ASSERT_EQ(raw2("TC0P", bytes), 0);
    const double celsius = TlxDecodeSp78Shifted(bytes);
    EXPECT_GT(celsius, 20.0);
    EXPECT_LE(celsius, 110.0);
    cpu.insert(celsius);
  }
  EXPECT_GE(cpu.size(), 10u);

  std::set<float> disk;
  for (int i = 0; i < 20; ++i) {
    SmcKeyValue value;
    ASSERT_EQ(SmcReadKey("TH0x", &value, TlxConnection()), 0);
    EXPECT_STREQ(value.dataType, "sp78");
    const float celsius = SmcValueToFloat(value);
    EXPECT_GT(celsius, 20.0f);
    EXPECT_LT(celsius, 70.0f);
    disk.insert(celsius);
  }
  EXPECT_GE(disk.size(), 5u);

  // Every key lists with a value: no failure line anywhere.
  const std::string text = listing();
  EXPECT_THAT(text, StartsWith("Total key: "));
  EXPECT_THAT(text, testing::Not(HasSubstr("fail")));
}

}  // namespace
}  // namespace trellis::sim

namespace trellis::sim {
namespace {

TEST(SimSmcLoopTest, ALoopingSequenceStartsAgainAndLoopNeedsValues) {
  std::string error;
  auto smc = SimSmc::parse(R"({"keys": [
      {"key": "TC0P", "type": "sp78", "bytes": "2000", "loop": true, "values": ["2100", "2200"]},
      {"key": "TC0D", "type": "sp78", "bytes": "2000", "values": ["2100", "2200"]}]})",
                           &error);
  ASSERT_TRUE(smc) << error;
  std::uint32_t connection = 0;
  ASSERT_EQ(smc->open(&connection), 0);
  auto read = [&](const char (&key)[5]) {
    SmcMessage request{};
    request.key = smcKeyCode(key);
    request.command = kSmcReadValue;
    request.dataSize = 2;
    SmcMessage reply{};
    std::size_t size = sizeof reply;
    EXPECT_EQ(smc->call(connection, kSmcSelector, request, &reply, &size), 0);
    return reply.bytes[0];
  };
  std::vector<int> looping, repeating;
  for (int i = 0; i < 5; ++i) {
    looping.push_back(read("TC0P"));
    repeating.push_back(read("TC0D"));
  }
  EXPECT_EQ(looping, (std::vector<int>{0x21, 0x22, 0x21, 0x22, 0x21}));
  EXPECT_EQ(repeating, (std::vector<int>{0x21, 0x22, 0x22, 0x22, 0x22}));

  EXPECT_FALSE(SimSmc::parse(R"({"keys": [{"key": "TC0P", "type": "sp78", "bytes": "2000", "loop": true}]})",
                             &error));
  EXPECT_NE(error.find("keys[0].loop"), std::string::npos) << error;
  EXPECT_FALSE(SimSmc::parse(
      R"({"keys": [{"key": "TC0P", "type": "sp78", "bytes": "2000", "loop": 1, "values": ["2100"]}]})", &error));
  EXPECT_NE(error.find("keys[0].loop"), std::string::npos) << error;
}

}  // namespace
}  // namespace trellis::sim
