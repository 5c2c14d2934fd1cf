// The SMC client over a fake transport that answers from an in-memory key table, counts what it
// is asked and checks every request's layout: opening, raw and typed reads, the key-information
// cache, writes, the decoders and the key listing. Test thread only.
#include "smc/smc_client.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "smc/smc_key_table.h"

namespace trellis {
namespace {

SmcKeyTable::Entry makeEntry(const char (&key)[5], const char (&type)[5], std::initializer_list<std::uint8_t> bytes) {
  SmcKeyTable::Entry entry;
  entry.key = smcKeyCode(key);
  entry.type = smcKeyCode(type);
  entry.size = static_cast<std::uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), entry.bytes);
  return entry;
}

int failingReader(void*, std::uint32_t, std::uint8_t*, std::uint8_t) { return kSmcIOError; }

// A transport over a key table that records every request. A request whose fields outside its
// command's are not zero, whose selector is not 2 or whose reply size is not 80 on entry is
// counted in `malformed`.
class FakeSmc final : public SmcTransport {
 public:
  static constexpr std::uint32_t kHandle = 0x2A17;

  int open(std::uint32_t* connection) override {
    ++opens;
    if (openResult != 0) return openResult;
    *connection = kHandle;
    return 0;
  }

  int call(std::uint32_t connection, std::uint32_t selector, const SmcMessage& input, SmcMessage* output,
           std::size_t* outputSize) override {
    requests.push_back(input);
    if (selector != kSmcSelector || *outputSize != sizeof(SmcMessage) || !wellFormed(input)) ++malformed;
    if (connection != kHandle) return kSmcIOError;
    if (failCode != 0 && input.command == failCommand && input.key == failKey) return failCode;
    return table.answer(input, output);
  }

  std::vector<int> commands() const {
    std::vector<int> out;
    for (const SmcMessage& m : requests) out.push_back(m.command);
    return out;
  }

  SmcKeyTable table;
  int openResult = 0;
  int opens = 0;
  int malformed = 0;
  std::vector<SmcMessage> requests;
  // Fails exchanges of command `failCommand` about key `failKey` with `failCode` (0: none).
  std::uint8_t failCommand = 0;
  std::uint32_t failKey = 0;
  int failCode = 0;

 private:
  static bool allZero(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      if (p[i] != 0) return false;
    }
    return true;
  }

  static bool wellFormed(const SmcMessage& m) {
    if (!allZero(m.reserved0, sizeof m.reserved0) || !allZero(m.padding0, sizeof m.padding0) || m.reserved1 != 0 ||
        m.padding1 != 0 || m.result != 0 || m.dataAttributes != 0 || m.dataType != 0) {
      return false;
    }
    switch (m.command) {
      case kSmcReadValue:
        return m.key != 0 && m.index == 0 && allZero(m.bytes, sizeof m.bytes);
      case kSmcWriteValue:
        return m.key != 0 && m.index == 0;
      case kSmcKeyAtIndex:
        return m.key == 0 && m.dataSize == 0 && allZero(m.bytes, sizeof m.bytes);
      case kSmcKeyInformation:
        return m.key != 0 && m.dataSize == 0 && m.index == 0 && allZero(m.bytes, sizeof m.bytes);
      default:
        return false;
    }
  }
};

class SmcClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SmcResetProcessStateForTesting();
    SmcTransport::setSystem(&fake_);
    fake_.table.add(makeEntry("TC0P", "sp78", {0x2A, 0x80}));
    fake_.table.add(makeEntry("FNum", "ui8 ", {0x02}));
    fake_.table.add(makeEntry("F0Ac", "fpe2", {0x0F, 0xA3}));
    SmcKeyTable::Entry id = makeEntry("F0ID", "{fds", {0, 0, 0, 0, 'L', 'e', 'f', 't', 0, 0, 0, 0, 0, 0, 0, 0});
    fake_.table.add(id);
    SmcKeyTable::Entry big = makeEntry("BIG!", "ch8*", {});
    big.size = 24;
    for (int i = 0; i < 24; ++i) big.bytes[i] = static_cast<std::uint8_t>(i + 1);
    fake_.table.add(big);
    SmcKeyTable::Entry target = makeEntry("F0Tg", "fpe2", {0x12, 0xC0});
    target.writable = true;
    fake_.table.add(target);
    fake_.table.finish();
  }

  void TearDown() override {
    EXPECT_EQ(fake_.malformed, 0) << "a request carried fields outside its command's";
    SmcTransport::setSystem(nullptr);
    SmcResetProcessStateForTesting();
  }

  // Opens and forgets the requests made so far.
  void openAndClear() {
    ASSERT_EQ(TlxOpen(), 0);
    fake_.requests.clear();
  }

  FakeSmc fake_;
};

// --- Opening -------------------------------------------------------------------------------

TEST_F(SmcClientTest, OpensOnceAndAfterwardsCallsNothing) {
  EXPECT_EQ(TlxOpen(), 0);
  EXPECT_EQ(fake_.opens, 1);
  EXPECT_EQ(TlxConnection(), FakeSmc::kHandle);

  // With the handle set, a different transport is not even asked.
  FakeSmc other;
  SmcTransport::setSystem(&other);
  EXPECT_EQ(TlxOpen(), 0);
  EXPECT_EQ(TlxConnection(), FakeSmc::kHandle);
  EXPECT_EQ(other.opens, 0);
  EXPECT_TRUE(other.requests.empty());
  EXPECT_EQ(fake_.opens, 1);
  EXPECT_TRUE(fake_.requests.empty());
  SmcTransport::setSystem(&fake_);
}

TEST_F(SmcClientTest, RefusedOpenFailsAndIsTriedAgainNextTime) {
  fake_.openResult = kSmcIOError;
  EXPECT_EQ(TlxOpen(), -1);
  EXPECT_EQ(TlxConnection(), 0u);
  EXPECT_EQ(fake_.opens, 2);

  std::uint8_t buffer[2];
  std::uint8_t size = 2;
  EXPECT_EQ(TlxReadKey(smcKeyCode("TC0P"), buffer, &size, false), -1);
  EXPECT_TRUE(fake_.requests.empty()) << "no exchange goes out on handle 0";

  fake_.openResult = 0;
  EXPECT_EQ(TlxOpen(), 0);
  EXPECT_EQ(fake_.opens, 3);
  EXPECT_EQ(TlxConnection(), FakeSmc::kHandle);
}

TEST_F(SmcClientTest, WithoutTransportNothingOpensOrReads) {
  SmcTransport::setSystem(nullptr);
  EXPECT_EQ(TlxOpen(), -1);
  EXPECT_EQ(TlxConnection(), 0u);
  SmcKeyValue value;
  EXPECT_EQ(SmcReadKey("TC0P", &value, 0), kSmcNotOpen);
  EXPECT_STREQ(value.key, "TC0P");
  SmcTransport::setSystem(&fake_);
  EXPECT_EQ(fake_.opens, 0);
}

// --- Raw reads ------------------------------------------------------------------------------

TEST_F(SmcClientTest, RawReadOfTwoBytesReturnsThemExactlyWithOneExchange) {
  openAndClear();
  std::uint8_t buffer[2] = {0xEE, 0xEE};
  std::uint8_t size = 2;
  ASSERT_EQ(TlxReadKey(smcKeyCode("TC0P"), buffer, &size, /*askInfo=*/false), 0);
  EXPECT_EQ(size, 2);
  EXPECT_EQ(buffer[0], 0x2A);
  EXPECT_EQ(buffer[1], 0x80);
  ASSERT_EQ(fake_.requests.size(), 1u);
  EXPECT_EQ(fake_.requests[0].command, kSmcReadValue);
  EXPECT_EQ(fake_.requests[0].key, smcKeyCode("TC0P"));
  EXPECT_EQ(fake_.requests[0].dataSize, 2u);
}

TEST_F(SmcClientTest, RawReadWithInfoOfKeyLargerThanBufferFailsAndReportsItsSize) {
  openAndClear();
  std::uint8_t buffer[20];
  std::memset(buffer, 0xEE, sizeof buffer);
  std::uint8_t size = sizeof buffer;
  EXPECT_EQ(TlxReadKey(smcKeyCode("BIG!"), buffer, &size, /*askInfo=*/true), -1);
  EXPECT_EQ(size, 24);
  EXPECT_EQ(fake_.commands(), std::vector<int>{kSmcKeyInformation});
  for (std::uint8_t b : buffer) EXPECT_EQ(b, 0xEE) << "the buffer is untouched before the value is asked for";
}

TEST_F(SmcClientTest, RawReadWithInfoReadsTheKeysOwnSize) {
  openAndClear();
  std::uint8_t buffer[20];
  std::memset(buffer, 0xEE, sizeof buffer);
  std::uint8_t size = sizeof buffer;
  ASSERT_EQ(TlxReadKey(smcKeyCode("F0ID"), buffer, &size, /*askInfo=*/true), 0);
  EXPECT_EQ(size, 16);
  EXPECT_EQ(fake_.commands(), (std::vector<int>{kSmcKeyInformation, kSmcReadValue}));
  EXPECT_EQ(fake_.requests[1].dataSize, 16u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer + 4)), "Left");
  EXPECT_EQ(buffer[16], 0xEE) << "nothing is written past the key's size";
}

TEST_F(SmcClientTest, RawReadFailures) {
  openAndClear();
  std::uint8_t buffer[4];
  std::uint8_t size = 2;
  EXPECT_EQ(TlxReadKey(0, buffer, &size, false), -1);
  EXPECT_EQ(TlxReadKey(smcKeyCode("TC0P"), nullptr, &size, false), -1);
  EXPECT_EQ(TlxReadKey(smcKeyCode("TC0P"), buffer, nullptr, false), -1);
  EXPECT_TRUE(fake_.requests.empty());

  // An unknown key: the value is asked for, so the buffer holds zeros over the count.
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(TlxReadKey(smcKeyCode("NONE"), buffer, &size, false), -1);
  EXPECT_EQ(size, 2);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[1], 0);
  EXPECT_EQ(buffer[2], 0xEE);

  // Unknown key with its information asked: fails at the information, buffer untouched.
  std::memset(buffer, 0xEE, sizeof buffer);
  size = 4;
  EXPECT_EQ(TlxReadKey(smcKeyCode("NONE"), buffer, &size, true), -1);
  EXPECT_EQ(buffer[0], 0xEE);

  // A failed kernel call.
  fake_.failCommand = kSmcReadValue;
  fake_.failKey = smcKeyCode("TC0P");
  fake_.failCode = kSmcIOError;
  size = 2;
  EXPECT_EQ(TlxReadKey(smcKeyCode("TC0P"), buffer, &size, false), -1);
}

TEST_F(SmcClientTest, RawReadOfMoreThanAMessageCarriesZerosPastIt) {
  openAndClear();
  std::uint8_t buffer[40];
  std::memset(buffer, 0xEE, sizeof buffer);
  std::uint8_t size = sizeof buffer;
  ASSERT_EQ(TlxReadKey(smcKeyCode("TC0P"), buffer, &size, false), 0);
  EXPECT_EQ(size, 40);
  EXPECT_EQ(buffer[0], 0x2A);
  EXPECT_EQ(buffer[1], 0x80);
  for (int i = 2; i < 40; ++i) EXPECT_EQ(buffer[i], 0) << i;
}

// --- Typed reads and the key-information cache -------------------------------------------------

TEST_F(SmcClientTest, TypedReadFillsTheRecordAndThenHitsTheCache) {
  openAndClear();
  SmcKeyValue value;
  std::memset(&value, 0xAB, sizeof value);
  ASSERT_EQ(SmcReadKey("TC0P", &value, TlxConnection()), 0);
  EXPECT_STREQ(value.key, "TC0P");
  EXPECT_EQ(value.dataSize, 2u);
  EXPECT_STREQ(value.dataType, "sp78");
  EXPECT_EQ(value.bytes[0], 0x2A);
  EXPECT_EQ(value.bytes[1], 0x80);
  EXPECT_EQ(value.bytes[2], 0) << "the record is zeroed first";
  EXPECT_FLOAT_EQ(SmcValueToFloat(value), 42.5f);
  EXPECT_EQ(fake_.commands(), (std::vector<int>{kSmcKeyInformation, kSmcReadValue}));
  EXPECT_EQ(fake_.requests[1].dataSize, 2u);

  fake_.requests.clear();
  ASSERT_EQ(SmcReadKey("TC0P", &value, TlxConnection()), 0);
  EXPECT_EQ(fake_.commands(), std::vector<int>{kSmcReadValue});
  EXPECT_EQ(fake_.requests[0].key, smcKeyCode("TC0P"));
  EXPECT_EQ(fake_.requests[0].dataSize, 2u);
  EXPECT_FLOAT_EQ(SmcValueToFloat(value), 42.5f);
}

TEST_F(SmcClientTest, TypedReadUsesTheConnectionItIsGiven) {
  openAndClear();
  SmcKeyValue value;
  EXPECT_EQ(SmcReadKey("TC0P", &value, FakeSmc::kHandle + 1), kSmcIOError);
  EXPECT_EQ(SmcReadKey("TC0P", &value, 0), kSmcNotOpen);
}

TEST_F(SmcClientTest, CacheHoldsTheFirstHundredKeysOnly) {
  char names[101][5];
  for (int i = 0; i < 101; ++i) {
    std::snprintf(names[i], sizeof names[i], "K%03d", i);
    SmcKeyTable::Entry entry;
    entry.key = smcFourCC(names[i]);
    entry.type = smcKeyCode("ui8 ");
    entry.size = 1;
    entry.bytes[0] = static_cast<std::uint8_t>(i);
    fake_.table.add(entry);
  }
  fake_.table.finish();
  openAndClear();

  SmcKeyValue value;
  for (int i = 0; i < 101; ++i) {
    ASSERT_EQ(SmcReadKey(names[i], &value, TlxConnection()), 0);
    EXPECT_EQ(SmcValueToFloat(value), static_cast<float>(i));
  }
  EXPECT_EQ(fake_.requests.size(), 202u);

  fake_.requests.clear();
  ASSERT_EQ(SmcReadKey(names[100], &value, TlxConnection()), 0);
  EXPECT_EQ(fake_.commands(), (std::vector<int>{kSmcKeyInformation, kSmcReadValue})) << "the 101st key is asked again";

  fake_.requests.clear();
  ASSERT_EQ(SmcReadKey(names[0], &value, TlxConnection()), 0);
  ASSERT_EQ(SmcReadKey(names[99], &value, TlxConnection()), 0);
  EXPECT_EQ(fake_.commands(), (std::vector<int>{kSmcReadValue, kSmcReadValue}));
}

TEST_F(SmcClientTest, WhateverTheInformationReplySaysIsCached) {
  openAndClear();
  // An unknown key's information reply has result 132 and size 0; the typed read takes it as is.
  SmcKeyValue value;
  ASSERT_EQ(SmcReadKey("NONE", &value, TlxConnection()), 0);
  EXPECT_STREQ(value.key, "NONE");
  EXPECT_EQ(value.dataSize, 0u);
  EXPECT_STREQ(value.dataType, "");
  EXPECT_EQ(SmcValueToFloat(value), 0.0f);

  fake_.requests.clear();
  ASSERT_EQ(SmcReadKey("NONE", &value, TlxConnection()), 0);
  EXPECT_EQ(fake_.commands(), std::vector<int>{kSmcReadValue});
}

TEST_F(SmcClientTest, FailedInformationLeavesOnlyTheNameAndIsNotCached) {
  SmcKeyTable::Entry* entry = fake_.table.find(smcKeyCode("TC0P"));
  entry->fail = kSmcIOError;
  openAndClear();

  SmcKeyValue value;
  std::memset(&value, 0xAB, sizeof value);
  EXPECT_EQ(SmcReadKey("TC0P", &value, TlxConnection()), kSmcIOError);
  EXPECT_STREQ(value.key, "TC0P");
  EXPECT_EQ(value.dataSize, 0u);
  EXPECT_STREQ(value.dataType, "");
  for (std::uint8_t b : value.bytes) EXPECT_EQ(b, 0);

  SmcKeyInfo info = {77, 88, 99};
  EXPECT_EQ(SmcGetKeyInfo(smcKeyCode("TC0P"), &info, TlxConnection()), kSmcIOError);
  EXPECT_EQ(info.dataSize, 77u);
  EXPECT_EQ(info.dataType, 88u);
  EXPECT_EQ(info.dataAttributes, 99);

  entry->fail = 0;
  fake_.requests.clear();
  ASSERT_EQ(SmcReadKey("TC0P", &value, TlxConnection()), 0);
  EXPECT_EQ(fake_.commands(), (std::vector<int>{kSmcKeyInformation, kSmcReadValue}));
}

TEST_F(SmcClientTest, FailedValueLeavesNameSizeAndType) {
  SmcKeyTable::Entry* entry = fake_.table.find(smcKeyCode("F0Ac"));
  entry->reader = &failingReader;
  openAndClear();

  SmcKeyValue value;
  std::memset(&value, 0xAB, sizeof value);
  EXPECT_EQ(SmcReadKey("F0Ac", &value, TlxConnection()), kSmcIOError);
  EXPECT_STREQ(value.key, "F0Ac");
  EXPECT_EQ(value.dataSize, 2u);
  EXPECT_STREQ(value.dataType, "fpe2");
  for (std::uint8_t b : value.bytes) EXPECT_EQ(b, 0);
}

TEST_F(SmcClientTest, TypedReadTakesTheNameUpToItsEnd) {
  openAndClear();
  SmcKeyValue value;
  ASSERT_EQ(SmcReadKey("TC0PXYZ", &value, TlxConnection()), 0);
  EXPECT_STREQ(value.key, "TC0P");
  EXPECT_EQ(fake_.requests[0].key, smcKeyCode("TC0P"));

  fake_.requests.clear();
  ASSERT_EQ(SmcReadKey("AB", &value, TlxConnection()), 0);
  EXPECT_STREQ(value.key, "AB");
  EXPECT_EQ(fake_.requests[0].key, 0x41420000u);

  EXPECT_EQ(SmcReadKey(nullptr, &value, TlxConnection()), kSmcBadArgument);
  EXPECT_EQ(SmcReadKey("TC0P", nullptr, TlxConnection()), kSmcBadArgument);
  EXPECT_EQ(SmcGetKeyInfo(smcKeyCode("TC0P"), nullptr, TlxConnection()), kSmcBadArgument);
}

// --- Writes ---------------------------------------------------------------------------------

TEST_F(SmcClientTest, WriteChecksTheSizeThenSendsTheBytes) {
  openAndClear();
  const std::uint8_t rpm[2] = {0x17, 0x70};
  ASSERT_EQ(TlxWriteKey(smcKeyCode("F0Tg"), rpm, 2), 0);
  EXPECT_EQ(fake_.commands(), (std::vector<int>{kSmcKeyInformation, kSmcWriteValue}));
  EXPECT_EQ(fake_.requests[1].dataSize, 2u);
  EXPECT_EQ(fake_.requests[1].bytes[0], 0x17);
  EXPECT_EQ(fake_.requests[1].bytes[1], 0x70);
  EXPECT_EQ(fake_.requests[1].bytes[2], 0);

  std::uint8_t back[2];
  std::uint8_t size = 2;
  ASSERT_EQ(TlxReadKey(smcKeyCode("F0Tg"), back, &size, false), 0);
  EXPECT_EQ(back[0], 0x17);
  EXPECT_EQ(back[1], 0x70);
}

TEST_F(SmcClientTest, WriteFailures) {
  openAndClear();
  const std::uint8_t bytes[4] = {1, 2, 3, 4};
  EXPECT_EQ(TlxWriteKey(0, bytes, 2), -1);
  EXPECT_EQ(TlxWriteKey(smcKeyCode("F0Tg"), nullptr, 2), -1);
  EXPECT_EQ(TlxWriteKey(smcKeyCode("F0Tg"), bytes, 0), -1);
  EXPECT_TRUE(fake_.requests.empty());

  EXPECT_EQ(TlxWriteKey(smcKeyCode("F0Tg"), bytes, 4), -1);
  EXPECT_EQ(fake_.commands(), std::vector<int>{kSmcKeyInformation}) << "a size mismatch sends no write";

  EXPECT_EQ(TlxWriteKey(smcKeyCode("NONE"), bytes, 2), -1);
  EXPECT_EQ(TlxWriteKey(smcKeyCode("TC0P"), bytes, 2), -1) << "the SMC refuses: result byte non-zero";

  fake_.failCommand = kSmcWriteValue;
  fake_.failKey = smcKeyCode("F0Tg");
  fake_.failCode = kSmcIOError;
  EXPECT_EQ(TlxWriteKey(smcKeyCode("F0Tg"), bytes, 2), -1);
}

// --- Decoding -------------------------------------------------------------------------------

struct DecodeCase {
  const char* type;
  std::uint32_t size;
  std::vector<std::uint8_t> bytes;
  float expected;
};

SmcKeyValue record(const DecodeCase& c) {
  SmcKeyValue value;
  std::memset(&value, 0, sizeof value);
  std::memcpy(value.key, "TEST", 5);
  std::memcpy(value.dataType, c.type, std::strlen(c.type) + 1);
  value.dataSize = c.size;
  std::copy(c.bytes.begin(), c.bytes.end(), value.bytes);
  return value;
}

TEST(SmcValueToFloatTest, DecodesByTypeAndSize) {
  float host = 1234.9f;
  std::vector<std::uint8_t> hostFloat(4);
  std::memcpy(hostFloat.data(), &host, 4);
  std::vector<std::uint8_t> tail(32, 0);
  tail[29] = 0x01;
  tail[30] = 0x02;
  tail[31] = 0x03;

  const DecodeCase cases[] = {
      // The examples the decoder is known by.
      {"fpe2", 2, {0x0F, 0xA0}, 1000.0f},
      {"sp78", 2, {0x2A, 0x80}, 42.5f},
      {"sp78", 2, {0xFF, 0x00}, -1.0f},
      {"si16", 2, {0xFF, 0xFF}, 65535.0f},
      {"spf0", 2, {0xFF, 0xFF}, 65535.0f},
      {"si8 ", 1, {0xFF}, -1.0f},
      {"{pwm", 2, {0x80, 0x00}, 50.0f},
      {"ui16", 2, {0x01, 0x00}, 256.0f},
      {"fpe2", 4, {0x0F, 0xA0, 0, 0}, 0.0f},
      // Size 0 gives 0 for every type.
      {"ui8 ", 0, {0x05}, 0.0f},
      {"sp78", 0, {0x2A, 0x80}, 0.0f},
      {"flt ", 0, {0, 0, 0x80, 0x3F}, 0.0f},
      // Unsigned integers: the width comes from the size, only the last four bytes count.
      {"ui8 ", 1, {0xFF}, 255.0f},
      {"ui8 ", 2, {0x01, 0x00}, 256.0f},
      {"ui16", 1, {0x01, 0x00}, 1.0f},
      {"ui32", 4, {0x01, 0x02, 0x03, 0x04}, 16909060.0f},
      {"ui32", 5, {0x09, 0x01, 0x02, 0x03, 0x04}, 16909060.0f},
      {"ui32", 33, tail, 16909056.0f},  // 0x01020300: the byte past the record reads as zero
      // Unsigned fixed point: 0x8000 over 2^fraction bits.
      {"fp1f", 2, {0x80, 0x00}, 1.0f},
      {"fp4c", 2, {0x80, 0x00}, 8.0f},
      {"fp5b", 2, {0x80, 0x00}, 16.0f},
      {"fp6a", 2, {0x80, 0x00}, 32.0f},
      {"fp79", 2, {0x80, 0x00}, 64.0f},
      {"fp88", 2, {0x80, 0x00}, 128.0f},
      {"fpa6", 2, {0x80, 0x00}, 512.0f},
      {"fpc4", 2, {0x80, 0x00}, 2048.0f},
      {"fpe2", 2, {0x80, 0x00}, 8192.0f},
      {"fpe2", 2, {0x0F, 0xA3}, 1000.75f},
      {"fp88", 1, {0x80}, 0.0f},
      // Signed fixed point: 0xC000 (-16384) over 2^fraction bits.
      {"sp1e", 2, {0xC0, 0x00}, -1.0f},
      {"sp3c", 2, {0xC0, 0x00}, -4.0f},
      {"sp4b", 2, {0xC0, 0x00}, -8.0f},
      {"sp5a", 2, {0xC0, 0x00}, -16.0f},
      {"sp69", 2, {0xC0, 0x00}, -32.0f},
      {"sp78", 2, {0xC0, 0x00}, -64.0f},
      {"sp87", 2, {0xC0, 0x00}, -128.0f},
      {"sp96", 2, {0xC0, 0x00}, -256.0f},
      {"spb4", 2, {0xC0, 0x00}, -1024.0f},
      {"sp78", 4, {0x2A, 0x80, 0, 0}, 0.0f},
      // The rest, each with a size it does not take.
      {"spf0", 1, {0xFF}, 0.0f},
      {"si8 ", 1, {0x7F}, 127.0f},
      {"si8 ", 2, {0xFF, 0xFF}, 0.0f},
      {"si16", 4, {0xFF, 0xFF, 0, 0}, 0.0f},
      {"{pwm", 2, {0xFF, 0xFF}, 99.99847412f},
      {"{pwm", 1, {0x80}, 0.0f},
      {"flt ", 4, hostFloat, 1234.9f},
      {"flt ", 2, {0x00, 0x00}, 0.0f},
      // Types that are not known, or not exactly.
      {"ch8*", 2, {0x2A, 0x80}, 0.0f},
      {"SP78", 2, {0x2A, 0x80}, 0.0f},
      {"ui8", 1, {0x05}, 0.0f},
      {"", 1, {0x05}, 0.0f},
  };
  for (const DecodeCase& c : cases) {
    EXPECT_FLOAT_EQ(SmcValueToFloat(record(c)), c.expected) << "type \"" << c.type << "\" size " << c.size;
  }
}

TEST(SmcDecodersTest, BytesToUInt) {
  const std::uint8_t bytes[] = {0x09, 0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(SmcBytesToUInt(bytes, 0), 0u);
  EXPECT_EQ(SmcBytesToUInt(bytes, -3), 0u);
  EXPECT_EQ(SmcBytesToUInt(bytes + 1, 1), 0x01u);
  EXPECT_EQ(SmcBytesToUInt(bytes + 1, 2), 0x0102u);
  EXPECT_EQ(SmcBytesToUInt(bytes + 1, 4), 0x01020304u);
  EXPECT_EQ(SmcBytesToUInt(bytes, 5), 0x01020304u) << "the first byte is shifted out";
  const std::uint8_t high[] = {0xFF, 0xFF, 0xFF, 0xFE};
  EXPECT_EQ(SmcBytesToUInt(high, 4), 0xFFFFFFFEu) << "bytes are taken unsigned";
}

TEST(SmcDecodersTest, Sp78Shifted) {
  struct {
    std::uint8_t bytes[2];
    double expected;
  } cases[] = {
      {{0x2A, 0x80}, 42.5},   {{0xFF, 0x00}, 255.0},      {{0x6E, 0x00}, 110.0}, {{0x6E, 0x04}, 110.015625},
      {{0x00, 0x03}, 0.0},    {{0xFF, 0xFF}, 255.984375}, {{0x21, 0x00}, 33.0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TlxDecodeSp78Shifted(c.bytes), c.expected) << int(c.bytes[0]) << " " << int(c.bytes[1]);
  }
}

TEST(SmcDecodersTest, FpInt) {
  const std::uint8_t fan[] = {0x0F, 0xA3};
  EXPECT_EQ(TlxDecodeFpInt(fan, 2, 2), 1000.0f) << "the fraction is dropped";
  const std::uint8_t max[] = {0x17, 0x70};
  EXPECT_EQ(TlxDecodeFpInt(max, 2, 2), 1500.0f);
  EXPECT_EQ(TlxDecodeFpInt(fan, 0, 2), 0.0f);
  const std::uint8_t one[] = {0xFF};
  EXPECT_EQ(TlxDecodeFpInt(one, 1, 2), 63.0f);
  const std::uint8_t three[] = {0x01, 0x00, 0x04};
  EXPECT_EQ(TlxDecodeFpInt(three, 3, 2), 4097.0f);  // 1 << 12, 0 << 6, 4 >> 2
  EXPECT_EQ(TlxDecodeFpInt(max, 2, 8), 23.0f);      // 0x17 << 0, 0x70 >> 8
  EXPECT_EQ(TlxDecodeFpInt(max, 2, 0), 6000.0f);    // 0x17 << 8 | 0x70
}

// --- Key listing ----------------------------------------------------------------------------

class SmcListingTest : public SmcClientTest {
 protected:
  std::string list() {
    char* text = nullptr;
    std::size_t length = 0;
    FILE* out = open_memstream(&text, &length);
    TlxListKeys(out);
    std::fclose(out);
    std::string result(text, length);
    std::free(text);
    return result;
  }
};

TEST_F(SmcListingTest, PrintsEveryKeyByItsType) {
  SmcKeyTable::Entry count = makeEntry("B0CT", "ui16", {0x01, 0x38});
  fake_.table.add(count);
  SmcKeyTable::Entry broken = makeEntry("TC0D", "sp78", {0x30, 0x00});
  broken.reader = &failingReader;
  fake_.table.add(broken);
  fake_.table.finish();

  const std::string io = std::to_string(kSmcIOError);
  EXPECT_EQ(list(),
            "Total key: 9\n"
            "[000] Key: #KEY Size: 4 Type: ui32 Vaule: 9 \n"
            "[001] Key: B0CT Size: 2 Type: ui16 Vaule: 312 \n"
            "[002] Key: BIG! Size: 24 Type: ch8* Data: 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 "
            "15 16 17 18 \n"
            "[003] Key: F0Ac Size: 2 Type: fpe2 Vaule: 1000.000000 \n"
            "[004] Key: F0ID Size: 16 Type: {fds Data: 00 00 00 00 4c 65 66 74 00 00 00 00 00 00 00 00 \n"
            "[005] Key: F0Tg Size: 2 Type: fpe2 Vaule: 1200.000000 \n"
            "[006] Key: FNum Size: 1 Type: ui8  Vaule: 2 \n"
            "[007] Key: TC0D Size: 2 Type: sp78 SMC get index key [7] value fail: " +
                io +
                "\n"
                "[008] Key: TC0P Size: 2 Type: sp78 Value: 42.500000 \n");
}

TEST_F(SmcListingTest, EndsAtTheFirstIndexOrInformationFailure) {
  fake_.table.find(smcKeyCode("F0Ac"))->result = 0x86;
  EXPECT_EQ(list(),
            "Total key: 7\n"
            "[000] Key: #KEY Size: 4 Type: ui32 Vaule: 7 \n"
            "[001] Key: BIG! Size: 24 Type: ch8* Data: 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 "
            "15 16 17 18 \n"
            "SMC get index key [2] fail: 0\n");

  fake_.table.find(smcKeyCode("F0Ac"))->result = 0;
  fake_.table.find(smcKeyCode("BIG!"))->fail = kSmcIOError;
  const std::string io = std::to_string(kSmcIOError);
  EXPECT_EQ(list(),
            "Total key: 7\n"
            "[000] Key: #KEY Size: 4 Type: ui32 Vaule: 7 \n"
            "SMC get index key [1] fail: " +
                io + "\n");

  fake_.table.find(smcKeyCode("BIG!"))->fail = 0;
  fake_.failCommand = kSmcKeyInformation;
  fake_.failKey = smcKeyCode("BIG!");
  fake_.failCode = kSmcIOError;
  EXPECT_EQ(list(),
            "Total key: 7\n"
            "[000] Key: #KEY Size: 4 Type: ui32 Vaule: 7 \n"
            "[001] Key: BIG! SMC get index key [1] info fail: " +
                io + "\n");
}

TEST_F(SmcListingTest, PrintsNothingWithoutAConnectionOrKeyCount) {
  fake_.openResult = kSmcIOError;
  EXPECT_EQ(list(), "");
  fake_.openResult = 0;
  fake_.failCommand = kSmcReadValue;
  fake_.failKey = smcKeyCode("#KEY");
  fake_.failCode = kSmcIOError;
  EXPECT_EQ(list(), "");
  EXPECT_EQ(fake_.commands(), std::vector<int>{kSmcReadValue});
}

TEST_F(SmcListingTest, StopsAtAKeyCountOfZero) {
  fake_.table.add(makeEntry("#KEY", "ui32", {0, 0, 0, 0}));
  EXPECT_EQ(list(), "Total key: 0\n");
  EXPECT_EQ(fake_.commands(), std::vector<int>{kSmcReadValue});
}

}  // namespace
}  // namespace trellis
