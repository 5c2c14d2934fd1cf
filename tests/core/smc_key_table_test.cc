// The in-memory SMC key space: ordering and the key count, each command's answer, writes,
// readers, and the injected results and failures. Test thread only.
#include "smc/smc_key_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/smc_support.h"

namespace trellis {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::smcIndexRequest;
using testing::smcRequest;

SmcMessage withValue(SmcMessage message, std::uint32_t size, std::uint8_t fill) {
  message.dataSize = size;
  std::memset(message.bytes, fill, sizeof message.bytes);
  return message;
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
  out[0] = static_cast<std::uint8_t>(key >> 24);
  out[size - 1] = 0x5A;
  return log->code;
}

class SmcKeyTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table_.add(testing::smcEntry("TC0P", "sp78", {0x2A, 0x80}));  // added out of order on purpose
    table_.add(testing::smcEntry("FNum", "ui8 ", {0x02}));
    SmcKeyTable::Entry target = testing::smcEntry("F0Tg", "fpe2", {0x12, 0xC0});
    target.writable = true;
    target.attributes = 0xD4;
    table_.add(target);
    table_.finish();
  }
  // The answer to `m`, which must return `code`; the reply starts as 0xAB bytes.
  SmcMessage ask(const SmcMessage& m, int code = 0) {
    SmcMessage reply;
    std::memset(&reply, 0xAB, sizeof reply);
    EXPECT_EQ(table_.answer(m, &reply), code);
    return reply;
  }
  std::string keysByIndex() {
    std::string keys;
    for (std::uint32_t i = 0; ask(smcIndexRequest(i)).result == 0; ++i) {
      keys += testing::smcKeyText(ask(smcIndexRequest(i)).key) + " ";
    }
    return keys;
  }
  std::uint8_t firstByte(const char* key) { return ask(smcRequest(kSmcReadValue, key)).bytes[0]; }

  SmcKeyTable table_;
};

TEST_F(SmcKeyTableTest, KeysAreListedByCodeWithTheirCount) {
  EXPECT_EQ(keysByIndex(), "#KEY F0Tg FNum TC0P ");
  const SmcMessage count = ask(smcRequest(kSmcReadValue, "#KEY"));
  EXPECT_EQ(count.dataSize, 4u);
  EXPECT_EQ(Bytes(count.bytes, count.bytes + 4), (Bytes{0, 0, 0, 4}));
  EXPECT_EQ(ask(smcRequest(kSmcKeyInformation, "#KEY")).dataType, smcFourCC("ui32"));
  const SmcMessage past = ask(smcIndexRequest(4));
  EXPECT_EQ(past.result, kSmcKeyNotFound);
  EXPECT_EQ(past.key, 0u);

  // Finishing again recounts without a second count; an added key replaces one of its name.
  table_.add(testing::smcEntry("TA0P", "sp78", {0x1C, 0x00}));
  table_.add(testing::smcEntry("TC0P", "sp78", {0x30, 0x00}));
  table_.finish();
  EXPECT_EQ(keysByIndex(), "#KEY F0Tg FNum TA0P TC0P ");
  EXPECT_EQ(ask(smcRequest(kSmcReadValue, "#KEY")).bytes[3], 5);
  EXPECT_EQ(firstByte("TC0P"), 0x30);
}

TEST_F(SmcKeyTableTest, AnswersInformationAndValueAndNotFound) {
  const SmcMessage info = ask(smcRequest(kSmcKeyInformation, "F0Tg"));
  EXPECT_EQ(info.result, 0);
  EXPECT_EQ(info.key, smcFourCC("F0Tg"));
  EXPECT_EQ(info.command, kSmcKeyInformation);
  EXPECT_EQ(info.dataSize, 2u);
  EXPECT_EQ(info.dataType, smcFourCC("fpe2"));
  EXPECT_EQ(info.dataAttributes, 0xD4);
  EXPECT_EQ(info.bytes[0], 0) << "the reply starts from zero";
  const SmcMessage value = ask(smcRequest(kSmcReadValue, "TC0P"));
  EXPECT_EQ(value.result, 0);
  EXPECT_EQ(value.dataSize, 2u);
  EXPECT_EQ(Bytes(value.bytes, value.bytes + 3), (Bytes{0x2A, 0x80, 0}));

  for (SmcCommand command : {kSmcKeyInformation, kSmcReadValue, kSmcWriteValue}) {
    const SmcMessage reply = ask(smcRequest(command, "NONE"));
    EXPECT_EQ(reply.result, kSmcKeyNotFound);
    EXPECT_EQ(reply.dataSize, 0u);
    EXPECT_EQ(reply.dataType, 0u);
  }
  EXPECT_NE(ask(smcRequest(7, "TC0P")).result, 0) << "an unknown command";
}

TEST_F(SmcKeyTableTest, WritesChangeWritableKeysOfTheRightSizeOnly) {
  EXPECT_EQ(ask(withValue(smcRequest(kSmcWriteValue, "F0Tg"), 2, 0x17)).result, 0);
  EXPECT_EQ(firstByte("F0Tg"), 0x17);
  EXPECT_NE(ask(withValue(smcRequest(kSmcWriteValue, "F0Tg"), 1, 0x99)).result, 0);
  EXPECT_EQ(firstByte("F0Tg"), 0x17);
  EXPECT_NE(ask(withValue(smcRequest(kSmcWriteValue, "TC0P"), 2, 0x99)).result, 0);
  EXPECT_EQ(firstByte("TC0P"), 0x2A);
  EXPECT_NE(ask(withValue(smcRequest(kSmcWriteValue, "#KEY"), 4, 0x99)).result, 0) << "the count is not writable";

  // An oversized entry reports its size but never moves more than a message holds.
  SmcKeyTable::Entry big = testing::smcEntry("BIG!", "ch8*", Bytes(32, 0x11));
  big.size = 40;
  big.writable = true;
  table_.add(big);
  table_.finish();
  const SmcMessage value = ask(smcRequest(kSmcReadValue, "BIG!"));
  EXPECT_EQ(value.dataSize, 40u);
  EXPECT_EQ(value.bytes[31], 0x11);
  EXPECT_EQ(ask(withValue(smcRequest(kSmcWriteValue, "BIG!"), 40, 0x22)).result, 0);
  EXPECT_EQ(ask(smcRequest(kSmcReadValue, "BIG!")).bytes[31], 0x22);
}

TEST_F(SmcKeyTableTest, AReaderGivesTheValueOrFailsTheExchange) {
  ReaderLog log;
  SmcKeyTable::Entry live = testing::smcEntry("TH0x", "sp78", {0, 0});
  live.reader = &logReader;
  live.context = &log;
  table_.add(live);
  table_.finish();
  const SmcMessage value = ask(smcRequest(kSmcReadValue, "TH0x"));
  EXPECT_EQ(Bytes(value.bytes, value.bytes + 2), (Bytes{'T', 0x5A}));
  EXPECT_EQ(log.lastSize, 2);
  ask(smcRequest(kSmcKeyInformation, "TH0x"));
  EXPECT_EQ(log.calls, 1) << "only value reads call the reader";
  log.code = kSmcIOError;
  ask(smcRequest(kSmcReadValue, "TH0x"), kSmcIOError);
}

TEST_F(SmcKeyTableTest, InjectedResultAndFailureCoverEveryCommandAboutTheKey) {
  table_.find(smcFourCC("FNum"))->result = 0x86;
  table_.find(smcFourCC("TC0P"))->fail = kSmcIOError;
  for (SmcCommand command : {kSmcKeyInformation, kSmcReadValue, kSmcWriteValue}) {
    EXPECT_EQ(ask(smcRequest(command, "FNum")).result, 0x86);
    ask(smcRequest(command, "TC0P"), kSmcIOError);
  }
  EXPECT_EQ(ask(smcIndexRequest(2)).result, 0x86);  // FNum
  ask(smcIndexRequest(3), kSmcIOError);             // TC0P
  EXPECT_EQ(ask(smcIndexRequest(1)).result, 0);
}

}  // namespace
}  // namespace trellis
