// The SMC client over a simulated SMC that records every request and checks its layout: opening,
// raw and typed reads, the key-information cache, writes, the decoders and the key listing. Test
// thread only.
#include "smc/smc_client.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/smc_support.h"

namespace trellis {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;
using testing::hexText;
using testing::simKey;

Bytes bytesOf(std::string_view hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return bytes;
}

// The keys every case starts with, and `more`.
std::vector<std::string> keys(std::vector<std::string> more = {}) {
  for (std::string key : {simKey("TC0P", "sp78", "2a80"), simKey("FNum", "ui8 ", "02"), simKey("F0Ac", "fpe2", "0fa3"),
                          simKey("F0ID", "{fds", testing::fanIdHex("Left")),
                          simKey("BIG!", "ch8*", "0102030405060708090a0b0c0d0e0f101112131415161718"),
                          simKey("F0Tg", "fpe2", "12c0")}) {
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
  // The exchanges since the last call, after `rc` and `more`: "<rc> <more> | <exchange>, ...".
  std::string outcome(int rc, const std::string& more) {
    std::string text = std::to_string(rc) + " " + more + " |";
    for (const std::string& exchange : smc_.takeExchanges()) text += " " + exchange + ",";
    return text;
  }
  // A raw read into a 40-byte buffer of 0xEE: the result, the size after and the buffer's first `shown` bytes.
  std::string raw(const char* key, bool askInfo, int size, int shown = 2) {
    std::uint8_t buffer[40];
    std::memset(buffer, 0xEE, sizeof buffer);
    std::uint8_t inOut = static_cast<std::uint8_t>(size);
    const int rc = TlxReadKey(smcFourCC(key), buffer, &inOut, askInfo);
    return outcome(rc, std::to_string(inOut) + " " + hexText(Bytes(buffer, buffer + shown)));
  }
  // A typed read into a record of 0xAB: the result, the name, type, size and first four bytes.
  std::string typed(const char* name, std::uint32_t connection = sim::SimSmc::kConnection) {
    SmcKeyValue value;
    std::memset(&value, 0xAB, sizeof value);
    const int rc = SmcReadKey(name, &value, connection);
    return outcome(rc, std::string(value.key) + " '" + value.dataType + "' " + std::to_string(value.dataSize) + " " +
                           hexText(Bytes(value.bytes, value.bytes + 4)));
  }

  testing::InstalledSimSmc smc_;
};

TEST_F(SmcClientTest, OpensOnceAndTriesARefusedOpenAgain) {
  smc_.install(keys(), /*openable=*/false);
  EXPECT_EQ(TlxOpen(), -1);
  EXPECT_EQ(raw("TC0P", false, 2), "-1 2 0000 |") << "no exchange goes out on handle 0";
  EXPECT_EQ(typed("TC0P", 0), std::to_string(kSmcNotOpen) + " TC0P '' 0 00000000 |");
  smc_.install(keys());
  EXPECT_EQ(TlxConnection(), sim::SimSmc::kConnection);
  testing::InstalledSimSmc other;  // with the handle set, no transport is asked again
  other.install(keys(), /*openable=*/false);
  EXPECT_EQ(TlxOpen(), 0);
}

TEST_F(SmcClientTest, RawReadsFillTheBufferToTheSizeAskedOrTheKeysOwn) {
  ASSERT_EQ(TlxOpen(), 0);
  EXPECT_EQ(raw("TC0P", false, 2), "0 2 2a80 | 5 TC0P 2,");
  EXPECT_EQ(raw("TC0P", false, 40, 40), "0 40 2a80" + std::string(76, '0') + " | 5 TC0P 40,") << "zeros past 32";
  EXPECT_EQ(raw("F0ID", true, 20, 10), "0 8 000000004c656674eeee | 9 F0ID 0, 5 F0ID 8,");
  EXPECT_EQ(raw("BIG!", true, 20), "-1 24 eeee | 9 BIG! 0,") << "larger than the buffer: untouched";
  EXPECT_EQ(raw("NONE", false, 2), "-1 2 0000 | 5 NONE 2,");
  EXPECT_EQ(raw("NONE", true, 4), "-1 4 eeee | 9 NONE 0,");
  EXPECT_EQ(raw("\0\0\0\0", false, 2), "-1 2 eeee |");
  std::uint8_t buffer[2];
  std::uint8_t size = 2;
  EXPECT_EQ(TlxReadKey(smcKeyCode("TC0P"), nullptr, &size, false) + TlxReadKey(smcKeyCode("TC0P"), buffer, nullptr, false), -2);
  smc_.failWhen = [](int command, const std::string&) { return command == kSmcReadValue; };
  EXPECT_EQ(raw("TC0P", false, 2), "-1 2 0000 | 5 TC0P 2,");
}

TEST_F(SmcClientTest, TypedReadsZeroTheRecordAndCacheTheFirstHundredKeysInformation) {
  ASSERT_EQ(TlxOpen(), 0);
  EXPECT_EQ(typed("TC0P"), "0 TC0P 'sp78' 2 2a800000 | 9 TC0P 0, 5 TC0P 2,");
  EXPECT_EQ(typed("TC0PXYZ"), "0 TC0P 'sp78' 2 2a800000 | 5 TC0P 2,") << "four characters of the name, cached";
  // An unknown key's reply (result 132, size 0) is cached as it is.
  const std::string ab = testing::smcKeyText(0x41420000u);
  EXPECT_EQ(typed("AB"), "0 AB '' 0 00000000 | 9 " + ab + " 0, 5 " + ab + " 0,");
  EXPECT_EQ(typed("AB"), "0 AB '' 0 00000000 | 5 " + ab + " 0,");
  EXPECT_EQ(typed("F0Ac", sim::SimSmc::kConnection + 1), std::to_string(kSmcIOError) + " F0Ac '' 0 00000000 | 9 F0Ac 0,")
      << "the connection given is used";
  // A failed information read caches nothing and leaves only the name; a failed value read leaves
  // the name, type and size.
  smc_.failWhen = [](int command, const std::string& key) { return key == "FNum" || (key == "F0Ac" && command == kSmcReadValue); };
  const std::string io = std::to_string(kSmcIOError);
  EXPECT_EQ(typed("FNum"), io + " FNum '' 0 00000000 | 9 FNum 0,");
  EXPECT_EQ(typed("F0Ac"), io + " F0Ac 'fpe2' 2 00000000 | 9 F0Ac 0, 5 F0Ac 2,");
  SmcKeyInfo info = {77, 88, 99};
  EXPECT_EQ(SmcGetKeyInfo(smcKeyCode("FNum"), &info, TlxConnection()), kSmcIOError);
  EXPECT_EQ(std::tie(info.dataSize, info.dataType, info.dataAttributes), std::tuple(77u, 88u, 99)) << "unchanged";
  smc_.failWhen = nullptr;
  EXPECT_EQ(typed("FNum"), "0 FNum 'ui8 ' 1 02000000 | 9 FNum 0, 9 FNum 0, 5 FNum 1,");
  SmcKeyValue value;
  EXPECT_EQ((std::vector{SmcReadKey(nullptr, &value, 1), SmcReadKey("TC0P", nullptr, 1), SmcGetKeyInfo(1, nullptr, 1)}),
            std::vector(3, kSmcBadArgument));

  std::vector<std::string> names, more;
  for (int i = 0; i <= kSmcKeyInfoCacheCapacity; ++i) {
    names.push_back("K" + std::to_string(1000 + i).substr(1));
    more.push_back(simKey(names.back(), "ui8 ", "05"));
  }
  SmcResetProcessStateForTesting();
  smc_.install(keys(more));
  ASSERT_EQ(TlxOpen(), 0);
  for (const std::string& name : names) typed(name.c_str());
  EXPECT_EQ(typed("K100") + typed("K000") + typed("K099"), "0 K100 'ui8 ' 1 05000000 | 9 K100 0, 5 K100 1,"
                                                           "0 K000 'ui8 ' 1 05000000 | 5 K000 1,"
                                                           "0 K099 'ui8 ' 1 05000000 | 5 K099 1,");
}

TEST_F(SmcClientTest, WritesCheckTheKeysSizeThenSendTheBytes) {
  ASSERT_EQ(TlxOpen(), 0);
  const std::uint8_t bytes[4] = {0x17, 0x70, 3, 4};
  EXPECT_EQ(outcome(TlxWriteKey(smcKeyCode("F0Tg"), bytes, 2), "F0Tg"), "0 F0Tg | 9 F0Tg 0, 6 F0Tg 2,");
  EXPECT_EQ(raw("F0Tg", false, 2), "0 2 1770 | 5 F0Tg 2,");
  smc_.resultWhen = [](int command, const std::string& key) { return command == kSmcWriteValue && key == "TC0P"; };
  // Each write fails: no key, no bytes, no size, not the key's size, no such key, a refusal.
  const std::tuple<const char*, const std::uint8_t*, int, std::string> rows[] = {
      {"\0\0\0\0", bytes, 2, ""}, {"F0Tg", nullptr, 2, ""}, {"F0Tg", bytes, 0, ""}, {"F0Tg", bytes, 4, " 9 F0Tg 0,"},
      {"NONE", bytes, 2, " 9 NONE 0,"}, {"TC0P", bytes, 2, " 9 TC0P 0, 6 TC0P 2,"}};
  for (const auto& [key, data, count, requests] : rows) {
    EXPECT_EQ(outcome(TlxWriteKey(smcFourCC(key), data, static_cast<std::uint8_t>(count)), key), "-1 " + std::string(key) + " |" + requests);
  }
}

TEST(SmcDecodersTest, ValuesDecodeByTypeAndSize) {
  struct Row {
    const char* type;
    const char* hex;
    float expected;
    int size = -1;  // -1: the bytes' count
  };
  float host = 1234.9f;
  const std::string hostHex = hexText(Bytes(reinterpret_cast<std::uint8_t*>(&host), reinterpret_cast<std::uint8_t*>(&host) + 4));
  const std::string tail = std::string(58, '0') + "010203";
  // clang-format off
  const Row rows[] = {
      {"fpe2", "0fa0", 1000}, {"sp78", "2a80", 42.5}, {"sp78", "ff00", -1}, {"si16", "ffff", 65535}, {"spf0", "ffff", 65535},
      {"si8 ", "ff", -1}, {"si8 ", "7f", 127}, {"{pwm", "8000", 50}, {"{pwm", "ffff", 99.99847412f}, {"flt ", hostHex.c_str(), 1234.9f},
      // Unsigned integers: the width is the size; only the last four bytes count; past 32 is zero.
      {"ui8 ", "ff", 255}, {"ui8 ", "0100", 256}, {"ui16", "0100", 1, 1}, {"ui32", "01020304", 16909060},
      {"ui32", "0901020304", 16909060}, {"ui32", tail.c_str(), 16909056, 33},
      // Fixed point: 0x8000 unsigned, 0xC000 signed, over 2^fraction bits.
      {"fp1f", "8000", 1}, {"fp4c", "8000", 8}, {"fp5b", "8000", 16}, {"fp6a", "8000", 32}, {"fp79", "8000", 64},
      {"fp88", "8000", 128}, {"fpa6", "8000", 512}, {"fpc4", "8000", 2048}, {"fpe2", "8000", 8192}, {"fpe2", "0fa3", 1000.75},
      {"sp1e", "c000", -1}, {"sp3c", "c000", -4}, {"sp4b", "c000", -8}, {"sp5a", "c000", -16}, {"sp69", "c000", -32},
      {"sp78", "c000", -64}, {"sp87", "c000", -128}, {"sp96", "c000", -256}, {"spb4", "c000", -1024},
      // Sizes a type does not take, size 0 with every type; types not known, or not exactly.
      {"fpe2", "0fa00000", 0}, {"fp88", "80", 0}, {"sp78", "2a800000", 0}, {"spf0", "ff", 0}, {"si8 ", "ffff", 0},
      {"si16", "ffff0000", 0}, {"{pwm", "80", 0}, {"flt ", "0000", 0}, {"ui8 ", "05", 0, 0},
      {"sp78", "2a80", 0, 0}, {"flt ", "0000803f", 0, 0}, {"ch8*", "2a80", 0}, {"SP78", "2a80", 0}, {"ui8", "05", 0}, {"", "05", 0}};
  // clang-format on
  for (const Row& row : rows) {
    SmcKeyValue value{};
    std::memcpy(value.dataType, row.type, std::strlen(row.type) + 1);
    const Bytes bytes = bytesOf(row.hex);
    std::copy(bytes.begin(), bytes.end(), value.bytes);
    value.dataSize = static_cast<std::uint32_t>(row.size >= 0 ? row.size : static_cast<int>(bytes.size()));
    EXPECT_FLOAT_EQ(SmcValueToFloat(value), row.expected) << "type \"" << row.type << "\" " << row.hex;
  }

  // Raw bytes: big-endian and unsigned, the last four counting; sp78 shifted: unsigned, the two
  // lowest bits dropped, over 256; fixed point with the fraction dropped.
  const std::uint8_t five[] = {0x09, 0x01, 0x02, 0x03, 0xFE};
  EXPECT_EQ(std::vector({SmcBytesToUInt(five, 0), SmcBytesToUInt(five, -3), SmcBytesToUInt(five + 1, 2), SmcBytesToUInt(five, 5)}),
            (std::vector<std::uint32_t>{0, 0, 0x0102, 0x010203FE}));
  for (const auto& [hex, expected] : {std::pair{"2a80", 42.5}, {"ff00", 255.0}, {"6e04", 110.015625}, {"0003", 0.0}, {"ffff", 255.984375}}) {
    EXPECT_EQ(TlxDecodeSp78Shifted(bytesOf(hex).data()), expected) << hex;
  }
  const std::uint8_t fan[] = {0x0F, 0xA3, 0x04};
  const std::uint8_t max[] = {0x17, 0x70};
  EXPECT_EQ(std::vector({TlxDecodeFpInt(fan, 2, 2), TlxDecodeFpInt(fan, 0, 2), TlxDecodeFpInt(five + 4, 1, 2),
                         TlxDecodeFpInt(fan, 3, 2), TlxDecodeFpInt(max, 2, 8), TlxDecodeFpInt(max, 2, 0)}),
            (std::vector<float>{1000, 0, 63, 15 * 4096 + 0xA3 * 64 + 1, 23, 6000}));
}

TEST_F(SmcClientTest, TheListingPrintsEveryKeyByItsTypeAndEndsAtTheFirstIndexOrInformationFailure) {
  const std::string io = std::to_string(kSmcIOError);
  const Strings lines = {
      "Total key: 9\n",
      "[000] Key: #KEY Size: 4 Type: ui32 Vaule: 9 \n",
      "[001] Key: B0CT Size: 2 Type: ui16 Vaule: 312 \n",
      "[002] Key: BIG! Size: 24 Type: ch8* Data: 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 15 16 17 18 \n",
      "[003] Key: F0Ac Size: 2 Type: fpe2 Vaule: 1000.000000 \n",
      "[004] Key: F0ID Size: 8 Type: {fds Data: 00 00 00 00 4c 65 66 74 \n",
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
  for (const auto& [rowCommand, rowKey, rowResult, expected] : rows) {
    // Copies for the lambdas below (a lambda may not capture a structured binding before C++20's
    // support for it in clang 16).
    const int command = rowCommand;
    const std::string key = rowKey;
    const bool result = rowResult;
    SmcResetProcessStateForTesting();
    smc_.install(keys({simKey("B0CT", "ui16", "0138"), simKey("TC0D", "sp78", "3000")}));
    smc_.failWhen = [&](int c, const std::string& k) {
      return (c == kSmcReadValue && k == "TC0D") || (!result && c == command && k == key);
    };
    smc_.resultWhen = [&](int c, const std::string& k) { return result && c == command && k == key ? 0x86 : 0; };
    EXPECT_EQ(testing::printedBy([](std::FILE* out) { TlxListKeys(out); }), expected) << command << " " << key;
  }
}

}  // namespace
}  // namespace trellis
