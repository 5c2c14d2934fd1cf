// The SMC client over a simulated SMC that records every request and checks its layout: opening,
// raw and typed reads, the key-information cache, writes, the decoders and the key listing. Test
// thread only.
#include "smc/smc_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "support/service_setters.h"
#include "support/smc_support.h"

namespace trellis {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

const Bytes kLeft = {0, 0, 0, 0, 'L', 'e', 'f', 't', 0, 0, 0, 0, 0, 0, 0, 0};
const std::string kBig = "0102030405060708090a0b0c0d0e0f101112131415161718";

// The keys every case starts with, and `more`.
std::vector<std::string> keys(std::vector<std::string> more = {}) {
  for (std::string key :
       {testing::simKey("TC0P", "sp78", "2a80"), testing::simKey("FNum", "ui8 ", "02"),
        testing::simKey("F0Ac", "fpe2", "0fa3"),
        testing::simKey("F0ID", "{fds", testing::fanIdHex(std::string("Left") + std::string(8, '\0'))),
        testing::simKey("BIG!", "ch8*", kBig), testing::simKey("F0Tg", "fpe2", "12c0")}) {
    more.push_back(key);
  }
  return more;
}

class SmcClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SmcResetProcessStateForTesting();
    smc_.install(keys());
  }
  void TearDown() override { SmcResetProcessStateForTesting(); }
  void openAndClear() {
    ASSERT_EQ(TlxOpen(), 0);
    smc_.exchanges.clear();
  }
  // Exchanges of `command` about `key` fail.
  void failing(int command, const std::string& key) {
    smc_.failWhen = [=](int c, const std::string& k) { return c == command && k == key; };
  }

  testing::InstalledSimSmc smc_;
};

TEST_F(SmcClientTest, OpensOnceAndTriesARefusedOpenAgain) {
  smc_.install(keys(), /*openable=*/false);
  EXPECT_EQ(TlxOpen(), -1);
  EXPECT_EQ(TlxConnection(), 0u);
  std::uint8_t buffer[2];
  std::uint8_t size = 2;
  EXPECT_EQ(TlxReadKey(smcKeyCode("TC0P"), buffer, &size, false), -1);
  EXPECT_TRUE(smc_.exchanges.empty()) << "no exchange goes out on handle 0";
  smc_.install(keys());
  EXPECT_EQ(TlxConnection(), sim::SimSmc::kConnection);
  testing::InstalledSimSmc other;  // with the handle set, no transport is asked again
  other.install(keys(), /*openable=*/false);
  EXPECT_EQ(TlxOpen(), 0);
  EXPECT_EQ(TlxConnection(), sim::SimSmc::kConnection);

  SmcResetProcessStateForTesting();
  testing::setService(&Services::smc, testing::noSmc());
  EXPECT_EQ(TlxOpen(), -1);
  SmcKeyValue value;
  EXPECT_EQ(SmcReadKey("TC0P", &value, 0), kSmcNotOpen);
  EXPECT_STREQ(value.key, "TC0P");
}

TEST_F(SmcClientTest, RawReads) {
  Bytes zerosPast(40, 0);
  zerosPast[0] = 0x2A;
  zerosPast[1] = 0x80;
  // key, ask information, size in, result, size out, the buffer's start after (0xEE beyond), requests
  const std::tuple<const char*, bool, int, int, int, Bytes, Strings> rows[] = {
      {"TC0P", false, 2, 0, 2, {0x2A, 0x80}, {"5 TC0P 2"}},
      {"TC0P", false, 40, 0, 40, zerosPast, {"5 TC0P 40"}},  // past a message's 32 bytes: zeros
      {"F0ID", true, 20, 0, 16, kLeft, {"9 F0ID 0", "5 F0ID 16"}},
      {"BIG!", true, 20, -1, 24, {}, {"9 BIG! 0"}},  // larger than the buffer: untouched
      {"NONE", false, 2, -1, 2, {0, 0}, {"5 NONE 2"}},
      {"NONE", true, 4, -1, 4, {}, {"9 NONE 0"}},
  };
  openAndClear();
  for (const auto& [key, askInfo, sizeIn, result, sizeOut, start, requests] : rows) {
    SCOPED_TRACE(std::string(key) + (askInfo ? " with information, " : ", ") + std::to_string(sizeIn));
    std::uint8_t buffer[40];
    std::memset(buffer, 0xEE, sizeof buffer);
    Bytes expected(sizeof buffer, 0xEE);
    std::copy(start.begin(), start.end(), expected.begin());
    std::uint8_t size = static_cast<std::uint8_t>(sizeIn);
    EXPECT_EQ(TlxReadKey(smcFourCC(key), buffer, &size, askInfo), result);
    EXPECT_EQ(size, sizeOut);
    EXPECT_EQ(Bytes(buffer, buffer + sizeof buffer), expected);
    EXPECT_EQ(smc_.takeExchanges(), requests);
  }

  std::uint8_t buffer[2];
  std::uint8_t size = 2;
  EXPECT_EQ(TlxReadKey(0, buffer, &size, false), -1);
  EXPECT_EQ(TlxReadKey(smcKeyCode("TC0P"), nullptr, &size, false), -1);
  EXPECT_EQ(TlxReadKey(smcKeyCode("TC0P"), buffer, nullptr, false), -1);
  EXPECT_TRUE(smc_.exchanges.empty());
  failing(kSmcReadValue, "TC0P");
  EXPECT_EQ(TlxReadKey(smcKeyCode("TC0P"), buffer, &size, false), -1);
}

TEST_F(SmcClientTest, TypedReadsFillTheRecordAndCacheTheKeyInformation) {
  openAndClear();
  SmcKeyValue value;
  std::memset(&value, 0xAB, sizeof value);
  ASSERT_EQ(SmcReadKey("TC0P", &value, TlxConnection()), 0);
  EXPECT_STREQ(value.key, "TC0P");
  EXPECT_EQ(value.dataSize, 2u);
  EXPECT_STREQ(value.dataType, "sp78");
  EXPECT_EQ(Bytes(value.bytes, value.bytes + 3), (Bytes{0x2A, 0x80, 0})) << "the record is zeroed first";
  EXPECT_EQ(smc_.takeExchanges(), (Strings{"9 TC0P 0", "5 TC0P 2"}));
  ASSERT_EQ(SmcReadKey("TC0PXYZ", &value, TlxConnection()), 0);  // the name is read up to four characters
  EXPECT_STREQ(value.key, "TC0P");
  EXPECT_EQ(smc_.takeExchanges(), Strings{"5 TC0P 2"});
  // An unknown key's reply (result 132, size 0) is cached as it is.
  ASSERT_EQ(SmcReadKey("AB", &value, TlxConnection()), 0);
  EXPECT_STREQ(value.key, "AB");
  EXPECT_EQ(value.dataSize, 0u);
  EXPECT_STREQ(value.dataType, "");
  ASSERT_EQ(SmcReadKey("AB", &value, TlxConnection()), 0);
  const std::string ab = testing::smcKeyText(0x41420000u);
  EXPECT_EQ(smc_.takeExchanges(), (Strings{"9 " + ab + " 0", "5 " + ab + " 0", "5 " + ab + " 0"}));

  EXPECT_EQ(SmcReadKey("TC0P", &value, TlxConnection() + 1), kSmcIOError) << "the connection given is used";
  EXPECT_EQ(SmcReadKey("TC0P", &value, 0), kSmcNotOpen);
  EXPECT_EQ(SmcReadKey(nullptr, &value, TlxConnection()), kSmcBadArgument);
  EXPECT_EQ(SmcReadKey("TC0P", nullptr, TlxConnection()), kSmcBadArgument);
  EXPECT_EQ(SmcGetKeyInfo(smcKeyCode("TC0P"), nullptr, TlxConnection()), kSmcBadArgument);
}

TEST_F(SmcClientTest, FailedTypedReadsKeepWhatWasLearntAndCacheNothing) {
  openAndClear();
  smc_.failWhen = [](int command, const std::string& key) {
    return key == "TC0P" || (key == "F0Ac" && command == kSmcReadValue);
  };
  // The information failed: only the name. The value failed: name, size and type.
  for (const auto& [key, type, size] : {std::tuple{"TC0P", "", 0u}, std::tuple{"F0Ac", "fpe2", 2u}}) {
    SmcKeyValue value;
    std::memset(&value, 0xAB, sizeof value);
    EXPECT_EQ(SmcReadKey(key, &value, TlxConnection()), kSmcIOError);
    EXPECT_STREQ(value.key, key);
    EXPECT_STREQ(value.dataType, type);
    EXPECT_EQ(value.dataSize, size);
    EXPECT_EQ(Bytes(value.bytes, value.bytes + 32), Bytes(32)) << key;
  }
  SmcKeyInfo info = {77, 88, 99};
  EXPECT_EQ(SmcGetKeyInfo(smcKeyCode("TC0P"), &info, TlxConnection()), kSmcIOError);
  EXPECT_EQ(std::tie(info.dataSize, info.dataType, info.dataAttributes), std::tuple(77u, 88u, 99)) << "unchanged";

  smc_.failWhen = nullptr;
  smc_.exchanges.clear();
  SmcKeyValue value;
  ASSERT_EQ(SmcReadKey("TC0P", &value, TlxConnection()), 0);
  EXPECT_EQ(smc_.takeExchanges(), (Strings{"9 TC0P 0", "5 TC0P 2"}));
}

TEST_F(SmcClientTest, CacheHoldsTheFirstHundredKeysOnly) {
  Strings names;
  std::vector<std::string> more;
  for (int i = 0; i <= kSmcKeyInfoCacheCapacity; ++i) {
    char name[5];
    std::snprintf(name, sizeof name, "K%03d", i);
    names.push_back(name);
    more.push_back(testing::simKey(name, "ui8 ", "05"));
  }
  smc_.install(keys(more));
  openAndClear();
  SmcKeyValue value;
  for (const std::string& name : names) ASSERT_EQ(SmcReadKey(name.c_str(), &value, TlxConnection()), 0);
  EXPECT_EQ(smc_.takeExchanges().size(), 202u);
  for (const char* name : {"K100", "K000", "K099"}) ASSERT_EQ(SmcReadKey(name, &value, TlxConnection()), 0);
  EXPECT_EQ(smc_.takeExchanges(), (Strings{"9 K100 0", "5 K100 1", "5 K000 1", "5 K099 1"}));
}

TEST_F(SmcClientTest, WritesCheckTheSizeThenSendTheBytes) {
  openAndClear();
  const std::uint8_t bytes[4] = {0x17, 0x70, 3, 4};
  ASSERT_EQ(TlxWriteKey(smcKeyCode("F0Tg"), bytes, 2), 0);
  EXPECT_EQ(smc_.takeExchanges(), (Strings{"9 F0Tg 0", "6 F0Tg 2"}));
  std::uint8_t back[2];
  std::uint8_t size = 2;
  ASSERT_EQ(TlxReadKey(smcKeyCode("F0Tg"), back, &size, false), 0);
  EXPECT_EQ(Bytes(back, back + 2), (Bytes{0x17, 0x70}));
  smc_.exchanges.clear();

  smc_.resultWhen = [](int command, const std::string& key) { return command == kSmcWriteValue && key == "TC0P"; };
  // key, bytes, count, requests: each write fails
  const std::tuple<const char*, const std::uint8_t*, int, Strings> rows[] = {
      {"\0\0\0\0", bytes, 2, {}},
      {"F0Tg", nullptr, 2, {}},
      {"F0Tg", bytes, 0, {}},
      {"F0Tg", bytes, 4, {"9 F0Tg 0"}},  // not the key's size
      {"NONE", bytes, 2, {"9 NONE 0"}},
      {"TC0P", bytes, 2, {"9 TC0P 0", "6 TC0P 2"}},  // refused: the result byte is not zero
  };
  for (const auto& [key, data, count, requests] : rows) {
    EXPECT_EQ(TlxWriteKey(smcFourCC(key), data, static_cast<std::uint8_t>(count)), -1) << key << " " << count;
    EXPECT_EQ(smc_.takeExchanges(), requests) << key << " " << count;
  }
  failing(kSmcWriteValue, "F0Tg");
  EXPECT_EQ(TlxWriteKey(smcKeyCode("F0Tg"), bytes, 2), -1);
}

TEST(SmcValueToFloatTest, DecodesByTypeAndSize) {
  const float host = 1234.9f;
  Bytes hostFloat(4);
  std::memcpy(hostFloat.data(), &host, 4);
  Bytes tail(32, 0);
  tail[29] = 1;
  tail[30] = 2;
  tail[31] = 3;
  // clang-format off
  const std::tuple<const char*, std::uint32_t, Bytes, float> rows[] = {
      {"fpe2", 2, {0x0F, 0xA0}, 1000.0f}, {"sp78", 2, {0x2A, 0x80}, 42.5f}, {"sp78", 2, {0xFF, 0x00}, -1.0f},
      {"si16", 2, {0xFF, 0xFF}, 65535.0f}, {"spf0", 2, {0xFF, 0xFF}, 65535.0f}, {"si8 ", 1, {0xFF}, -1.0f},
      {"{pwm", 2, {0x80, 0x00}, 50.0f}, {"ui16", 2, {0x01, 0x00}, 256.0f}, {"fpe2", 4, {0x0F, 0xA0, 0, 0}, 0.0f},
      // Size 0 gives 0 for every type.
      {"ui8 ", 0, {0x05}, 0.0f}, {"sp78", 0, {0x2A, 0x80}, 0.0f}, {"flt ", 0, {0, 0, 0x80, 0x3F}, 0.0f},
      // Unsigned integers: the width is the size; only the last four bytes count; past 32 is zero.
      {"ui8 ", 1, {0xFF}, 255.0f}, {"ui8 ", 2, {0x01, 0x00}, 256.0f}, {"ui16", 1, {0x01, 0x00}, 1.0f},
      {"ui32", 4, {1, 2, 3, 4}, 16909060.0f}, {"ui32", 5, {9, 1, 2, 3, 4}, 16909060.0f},
      {"ui32", 33, tail, 16909056.0f},
      // Fixed point: 0x8000 unsigned, 0xC000 signed, over 2^fraction bits.
      {"fp1f", 2, {0x80, 0}, 1.0f}, {"fp4c", 2, {0x80, 0}, 8.0f}, {"fp5b", 2, {0x80, 0}, 16.0f},
      {"fp6a", 2, {0x80, 0}, 32.0f}, {"fp79", 2, {0x80, 0}, 64.0f}, {"fp88", 2, {0x80, 0}, 128.0f},
      {"fpa6", 2, {0x80, 0}, 512.0f}, {"fpc4", 2, {0x80, 0}, 2048.0f}, {"fpe2", 2, {0x80, 0}, 8192.0f},
      {"fpe2", 2, {0x0F, 0xA3}, 1000.75f}, {"fp88", 1, {0x80}, 0.0f}, {"sp1e", 2, {0xC0, 0}, -1.0f},
      {"sp3c", 2, {0xC0, 0}, -4.0f}, {"sp4b", 2, {0xC0, 0}, -8.0f}, {"sp5a", 2, {0xC0, 0}, -16.0f},
      {"sp69", 2, {0xC0, 0}, -32.0f}, {"sp78", 2, {0xC0, 0}, -64.0f}, {"sp87", 2, {0xC0, 0}, -128.0f},
      {"sp96", 2, {0xC0, 0}, -256.0f}, {"spb4", 2, {0xC0, 0}, -1024.0f}, {"sp78", 4, {0x2A, 0x80, 0, 0}, 0.0f},
      // The rest, each also with a size it does not take; then types not known, or not exactly.
      {"spf0", 1, {0xFF}, 0.0f}, {"si8 ", 1, {0x7F}, 127.0f}, {"si8 ", 2, {0xFF, 0xFF}, 0.0f},
      {"si16", 4, {0xFF, 0xFF, 0, 0}, 0.0f}, {"{pwm", 2, {0xFF, 0xFF}, 99.99847412f}, {"{pwm", 1, {0x80}, 0.0f},
      {"flt ", 4, hostFloat, 1234.9f}, {"flt ", 2, {0, 0}, 0.0f}, {"ch8*", 2, {0x2A, 0x80}, 0.0f},
      {"SP78", 2, {0x2A, 0x80}, 0.0f}, {"ui8", 1, {5}, 0.0f}, {"", 1, {5}, 0.0f},
  };
  // clang-format on
  for (const auto& [type, size, bytes, expected] : rows) {
    SmcKeyValue value{};
    std::memcpy(value.dataType, type, std::strlen(type) + 1);
    value.dataSize = size;
    std::copy(bytes.begin(), bytes.end(), value.bytes);
    EXPECT_FLOAT_EQ(SmcValueToFloat(value), expected) << "type \"" << type << "\" size " << size;
  }
}

TEST(SmcDecodersTest, RawDecoders) {
  const std::uint8_t bytes[] = {0x09, 0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(SmcBytesToUInt(bytes, 0), 0u);
  EXPECT_EQ(SmcBytesToUInt(bytes, -3), 0u);
  EXPECT_EQ(SmcBytesToUInt(bytes + 1, 2), 0x0102u);
  EXPECT_EQ(SmcBytesToUInt(bytes, 5), 0x01020304u) << "the first byte is shifted out";
  const std::uint8_t high[] = {0xFF, 0xFF, 0xFF, 0xFE};
  EXPECT_EQ(SmcBytesToUInt(high, 4), 0xFFFFFFFEu) << "bytes are taken unsigned";

  // Unsigned, the two lowest bits dropped, over 256.
  const std::pair<Bytes, double> sp78[] = {{{0x2A, 0x80}, 42.5},
                                           {{0xFF, 0x00}, 255.0},
                                           {{0x6E, 0x04}, 110.015625},
                                           {{0x00, 0x03}, 0.0},
                                           {{0xFF, 0xFF}, 255.984375}};
  for (const auto& [two, expected] : sp78) EXPECT_EQ(TlxDecodeSp78Shifted(two.data()), expected) << int(two[0]);
  const std::uint8_t fan[] = {0x0F, 0xA3};
  EXPECT_EQ(TlxDecodeFpInt(fan, 2, 2), 1000.0f) << "the fraction is dropped";
  EXPECT_EQ(TlxDecodeFpInt(fan, 0, 2), 0.0f);
  EXPECT_EQ(TlxDecodeFpInt(high, 1, 2), 63.0f);
  const std::uint8_t three[] = {0x01, 0x00, 0x04};
  EXPECT_EQ(TlxDecodeFpInt(three, 3, 2), 4097.0f);  // 1 << 12, 0 << 6, 4 >> 2
  const std::uint8_t max[] = {0x17, 0x70};
  EXPECT_EQ(TlxDecodeFpInt(max, 2, 8), 23.0f);    // 0x17 << 0, 0x70 >> 8
  EXPECT_EQ(TlxDecodeFpInt(max, 2, 0), 6000.0f);  // 0x17 << 8 | 0x70
}

TEST_F(SmcClientTest, ListingPrintsEveryKeyByItsTypeAndEndsAtTheFirstIndexOrInformationFailure) {
  const std::string io = std::to_string(kSmcIOError);
  const Strings lines = {
      "Total key: 9\n",
      "[000] Key: #KEY Size: 4 Type: ui32 Vaule: 9 \n",
      "[001] Key: B0CT Size: 2 Type: ui16 Vaule: 312 \n",
      "[002] Key: BIG! Size: 24 Type: ch8* Data: 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 15 16 "
      "17 18 \n",
      "[003] Key: F0Ac Size: 2 Type: fpe2 Vaule: 1000.000000 \n",
      "[004] Key: F0ID Size: 16 Type: {fds Data: 00 00 00 00 4c 65 66 74 00 00 00 00 00 00 00 00 \n",
      "[005] Key: F0Tg Size: 2 Type: fpe2 Vaule: 1200.000000 \n",
      "[006] Key: FNum Size: 1 Type: ui8  Vaule: 2 \n",
      "[007] Key: TC0D Size: 2 Type: sp78 SMC get index key [7] value fail: " + io + "\n",
      "[008] Key: TC0P Size: 2 Type: sp78 Value: 42.500000 \n",
  };
  auto first = [&](std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += lines[i];
    return text;
  };
  // The exchange that fails (TC0D's value always does), or is answered with result 0x86; the listing.
  const std::tuple<int, const char*, bool, std::string> rows[] = {
      {0, "", false, first(lines.size())},
      {kSmcKeyAtIndex, "#3", true, first(4) + "SMC get index key [3] fail: 0\n"},
      {kSmcKeyAtIndex, "#2", false, first(3) + "SMC get index key [2] fail: " + io + "\n"},
      {kSmcKeyInformation, "BIG!", false, first(3) + "[002] Key: BIG! SMC get index key [2] info fail: " + io + "\n"},
      {kSmcReadValue, "#KEY", false, ""},
  };
  for (const auto& [command, key, result, expected] : rows) {
    SmcResetProcessStateForTesting();
    smc_.install(keys({testing::simKey("B0CT", "ui16", "0138"), testing::simKey("TC0D", "sp78", "3000")}));
    smc_.failWhen = [&](int c, const std::string& k) {
      return (c == kSmcReadValue && k == "TC0D") || (!result && c == command && k == key);
    };
    smc_.resultWhen = [&](int c, const std::string& k) { return result && c == command && k == key ? 0x86 : 0; };
    EXPECT_EQ(testing::printedBy([](std::FILE* out) { TlxListKeys(out); }), expected) << command << " " << key;
  }
}

}  // namespace
}  // namespace trellis
