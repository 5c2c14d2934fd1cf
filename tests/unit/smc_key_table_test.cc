// The in-memory SMC key space: ordering and the key count, each command's answer, writes,
// readers, and the injected results and failures. Test thread only.
#include "smc/smc_key_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

namespace trellis {
namespace {

SmcKeyTable::Entry makeEntry(const char* key, const char* type, std::initializer_list<std::uint8_t> bytes) {
  SmcKeyTable::Entry entry;
  entry.key = smcFourCC(key);
  entry.type = smcFourCC(type);
  entry.size = static_cast<std::uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), entry.bytes);
  return entry;
}

SmcMessage request(SmcCommand command, const char* key) {
  SmcMessage m;
  std::memset(&m, 0, sizeof m);
  m.command = command;
  if (key != nullptr) m.key = smcFourCC(key);
  return m;
}

SmcMessage atIndex(std::uint32_t index) {
  SmcMessage m = request(kSmcKeyAtIndex, nullptr);
  m.index = index;
  return m;
}

class SmcKeyTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Added out of order on purpose.
    table_.add(makeEntry("TC0P", "sp78", {0x2A, 0x80}));
    table_.add(makeEntry("FNum", "ui8 ", {0x02}));
    SmcKeyTable::Entry target = makeEntry("F0Tg", "fpe2", {0x12, 0xC0});
    target.writable = true;
    target.attributes = 0xD4;
    table_.add(target);
    table_.finish();
  }

  SmcMessage ask(const SmcMessage& m, int expectedCode = 0) {
    SmcMessage reply;
    std::memset(&reply, 0xAB, sizeof reply);
    EXPECT_EQ(table_.answer(m, &reply), expectedCode);
    return reply;
  }

  std::vector<std::uint32_t> keysByIndex() {
    std::vector<std::uint32_t> keys;
    for (std::uint32_t i = 0;; ++i) {
      SmcMessage reply = ask(atIndex(i));
      if (reply.result != 0) break;
      keys.push_back(reply.key);
    }
    return keys;
  }

  SmcKeyTable table_;
};

TEST_F(SmcKeyTableTest, KeysAreListedByCodeWithTheirCountFirst) {
  EXPECT_EQ(keysByIndex(), (std::vector<std::uint32_t>{smcFourCC("#KEY"), smcFourCC("F0Tg"), smcFourCC("FNum"),
                                                       smcFourCC("TC0P")}));
  SmcMessage count = ask(request(kSmcReadValue, "#KEY"));
  EXPECT_EQ(count.result, 0);
  EXPECT_EQ(count.dataSize, 4u);
  EXPECT_EQ(std::vector<std::uint8_t>(count.bytes, count.bytes + 4), (std::vector<std::uint8_t>{0, 0, 0, 4}));
  SmcMessage info = ask(request(kSmcKeyInformation, "#KEY"));
  EXPECT_EQ(info.dataType, smcFourCC("ui32"));

  SmcMessage past = ask(atIndex(4));
  EXPECT_EQ(past.result, kSmcKeyNotFound);
  EXPECT_EQ(past.key, 0u);
}

TEST_F(SmcKeyTableTest, FinishingAgainRecountsWithoutASecondCount) {
  table_.add(makeEntry("TA0P", "sp78", {0x1C, 0x00}));
  table_.add(makeEntry("TC0P", "sp78", {0x30, 0x00}));  // replaces the first TC0P
  table_.finish();
  EXPECT_EQ(keysByIndex(), (std::vector<std::uint32_t>{smcFourCC("#KEY"), smcFourCC("F0Tg"), smcFourCC("FNum"),
                                                       smcFourCC("TA0P"), smcFourCC("TC0P")}));
  EXPECT_EQ(ask(request(kSmcReadValue, "#KEY")).bytes[3], 5);
  EXPECT_EQ(ask(request(kSmcReadValue, "TC0P")).bytes[0], 0x30);
}

TEST_F(SmcKeyTableTest, AnswersInformationAndValue) {
  SmcMessage info = ask(request(kSmcKeyInformation, "F0Tg"));
  EXPECT_EQ(info.result, 0);
  EXPECT_EQ(info.key, smcFourCC("F0Tg"));
  EXPECT_EQ(info.command, kSmcKeyInformation);
  EXPECT_EQ(info.dataSize, 2u);
  EXPECT_EQ(info.dataType, smcFourCC("fpe2"));
  EXPECT_EQ(info.dataAttributes, 0xD4);
  EXPECT_EQ(info.bytes[0], 0) << "the reply starts from zero";

  SmcMessage value = ask(request(kSmcReadValue, "TC0P"));
  EXPECT_EQ(value.result, 0);
  EXPECT_EQ(value.dataSize, 2u);
  EXPECT_EQ(value.bytes[0], 0x2A);
  EXPECT_EQ(value.bytes[1], 0x80);
  EXPECT_EQ(value.bytes[2], 0);
}

TEST_F(SmcKeyTableTest, UnknownKeyIsNotFoundWithSizeAndTypeZero) {
  for (SmcCommand command : {kSmcKeyInformation, kSmcReadValue, kSmcWriteValue}) {
    SmcMessage reply = ask(request(command, "NONE"));
    EXPECT_EQ(reply.result, kSmcKeyNotFound);
    EXPECT_EQ(reply.dataSize, 0u);
    EXPECT_EQ(reply.dataType, 0u);
  }
  SmcMessage unknownCommand = ask(request(static_cast<SmcCommand>(7), "TC0P"));
  EXPECT_NE(unknownCommand.result, 0);
}

TEST_F(SmcKeyTableTest, WritesChangeWritableKeysOfTheRightSizeOnly) {
  SmcMessage write = request(kSmcWriteValue, "F0Tg");
  write.dataSize = 2;
  write.bytes[0] = 0x17;
  write.bytes[1] = 0x70;
  EXPECT_EQ(ask(write).result, 0);
  EXPECT_EQ(ask(request(kSmcReadValue, "F0Tg")).bytes[0], 0x17);

  write.dataSize = 1;
  write.bytes[0] = 0x99;
  EXPECT_NE(ask(write).result, 0);
  EXPECT_EQ(ask(request(kSmcReadValue, "F0Tg")).bytes[0], 0x17);

  SmcMessage readOnly = request(kSmcWriteValue, "TC0P");
  readOnly.dataSize = 2;
  EXPECT_NE(ask(readOnly).result, 0);
  EXPECT_EQ(ask(request(kSmcReadValue, "TC0P")).bytes[0], 0x2A);

  SmcMessage count = request(kSmcWriteValue, "#KEY");
  count.dataSize = 4;
  EXPECT_NE(ask(count).result, 0) << "the key count is not writable";
}

struct ReaderLog {
  int calls = 0;
  std::uint8_t lastSize = 0;
  int code = 0;
};

int logReader(void* context, std::uint32_t key, std::uint8_t* out, std::uint8_t size) {
  auto* log = static_cast<ReaderLog*>(context);
  ++log->calls;
  log->lastSize = size;
  if (log->code != 0) return log->code;
  out[0] = static_cast<std::uint8_t>(key >> 24);
  out[size - 1] = 0x5A;
  return 0;
}

TEST_F(SmcKeyTableTest, ReaderGivesTheValueOrFailsTheExchange) {
  ReaderLog log;
  SmcKeyTable::Entry live = makeEntry("TH0x", "sp78", {0, 0});
  live.reader = &logReader;
  live.context = &log;
  table_.add(live);
  table_.finish();

  SmcMessage value = ask(request(kSmcReadValue, "TH0x"));
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.lastSize, 2);
  EXPECT_EQ(value.bytes[0], 'T');
  EXPECT_EQ(value.bytes[1], 0x5A);

  ask(request(kSmcKeyInformation, "TH0x"));
  EXPECT_EQ(log.calls, 1) << "only value reads call the reader";

  log.code = kSmcIOError;
  ask(request(kSmcReadValue, "TH0x"), kSmcIOError);
}

TEST_F(SmcKeyTableTest, InjectedResultAndFailureCoverEveryCommandAboutTheKey) {
  table_.find(smcFourCC("FNum"))->result = 0x86;
  table_.find(smcFourCC("TC0P"))->fail = kSmcIOError;

  for (SmcCommand command : {kSmcKeyInformation, kSmcReadValue, kSmcWriteValue}) {
    EXPECT_EQ(ask(request(command, "FNum")).result, 0x86);
    ask(request(command, "TC0P"), kSmcIOError);
  }
  // FNum is entry 2 and TC0P entry 3 of the listing.
  EXPECT_EQ(ask(atIndex(2)).result, 0x86);
  ask(atIndex(3), kSmcIOError);
  EXPECT_EQ(ask(atIndex(1)).result, 0);
}

TEST_F(SmcKeyTableTest, OversizedEntryNeverMovesMoreThanAMessageHolds) {
  SmcKeyTable::Entry big = makeEntry("BIG!", "ch8*", {});
  big.size = 40;
  big.writable = true;
  std::memset(big.bytes, 0x11, sizeof big.bytes);
  table_.add(big);
  table_.finish();
  SmcMessage value = ask(request(kSmcReadValue, "BIG!"));
  EXPECT_EQ(value.dataSize, 40u);
  EXPECT_EQ(value.bytes[31], 0x11);

  SmcMessage write = request(kSmcWriteValue, "BIG!");
  write.dataSize = 40;
  std::memset(write.bytes, 0x22, sizeof write.bytes);
  EXPECT_EQ(ask(write).result, 0);
  EXPECT_EQ(ask(request(kSmcReadValue, "BIG!")).bytes[31], 0x22);
}

}  // namespace
}  // namespace trellis
