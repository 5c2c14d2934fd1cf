// The contract every SMC transport keeps, one typed suite over 80-byte exchanges: the key table,
// the simulation, hwmon on a committed tree and applesmc over a stand-in for the driver's files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/linux/sensors/applesmc_smc.h"
#include "platform/linux/sensors/hwmon_smc.h"
#include "platform/sim/sim_smc.h"
#include "smc/smc_key_table.h"
#include "support/applesmc_fake.h"
#include "support/smc_support.h"

namespace trellis {
namespace {

using testing::fanIdHex;
using Fields = testing::SmcFields;

// A message of these fields as smcText shows it.
std::string text(const Fields& fields) { return testing::smcText(testing::smcMessage(fields)); }

// A key a subject holds: its type, value bytes in hex (at most 32) and size (the hex's when 0).
struct Key {
  std::string name, type, hex;
  std::uint32_t size = 0;
  std::uint8_t attributes = 0;
  std::uint32_t valueSize() const { return size != 0 ? size : static_cast<std::uint32_t>(hex.size() / 2); }
};

// The table behind the transport interface as it is: it has no connections to check. Built in two
// rounds, keys out of order: finishing again recounts, and a key added again replaces the first.
class TableSubject final : public SmcTransport {
 public:
  static constexpr const char* kName = "KeyTable";
  static constexpr bool kIsTransport = false, kTakesWrites = false;
  static constexpr const char* kListing = "#KEY BIG! F0Tg FNum TA0P TC0P TH0x";
  static std::vector<Key> keys() {
    return {{"BIG!", "ch8*", std::string(64, '1'), 40},
            {"F0Tg", "fpe2", "12c0", 0, 0xD4},
            {"FNum", "ui8 ", "02"},
            {"TA0P", "sp78", "1c00"},
            {"TC0P", "sp78", "3000"},
            {"TH0x", "sp78", "545a"}};
  }
  TableSubject() {
    add("TC0P", "sp78", {0x2A, 0x80});
    add("FNum", "ui8 ", {0x02});
    add("F0Tg", "fpe2", {0x12, 0xC0}, 0xD4);
    table_.finish();
    add("TA0P", "sp78", {0x1C, 0x00});
    add("TC0P", "sp78", {0x30, 0x00});
    add("BIG!", "ch8*", std::vector<std::uint8_t>(32, 0x11), 0, 40);  // only 32 bytes move
    table_.add({.key = smcFourCC("TH0x"),
                .type = smcFourCC("sp78"),
                .size = 2,
                .reader = [](void*, std::uint32_t key, std::uint8_t* out, std::uint8_t size) {
                  out[0] = static_cast<std::uint8_t>(key >> 24);  // read live, at the key's own size
                  out[size - 1] = 0x5A;
                  return 0;
                }});
    table_.finish();
  }
  SmcTransport* transport() { return this; }
  int open(std::uint32_t* connection) override {
    *connection = 1;
    return 0;
  }
  int call(std::uint32_t, std::uint32_t, const SmcMessage& input, SmcMessage* output, std::size_t*) override {
    return table_.answer(input, output);
  }

 private:
  void add(const char* key, const char* type, const std::vector<std::uint8_t>& bytes, std::uint8_t attributes = 0,
           std::size_t size = 0) {
    SmcKeyTable::Entry entry{.key = smcFourCC(key),
                             .type = smcFourCC(type),
                             .size = static_cast<std::uint8_t>(size != 0 ? size : bytes.size()),
                             .attributes = attributes};
    std::copy(bytes.begin(), bytes.end(), entry.bytes);
    table_.add(entry);
  }
  SmcKeyTable table_;
};

struct SimSubject {
  static constexpr const char* kName = "Sim";
  static constexpr bool kIsTransport = true, kTakesWrites = true;  // a loaded key, at its own size
  static constexpr const char* kListing = "#KEY BIG! FNum TC0P TH0x";
  static std::vector<Key> keys() {
    return {{"BIG!", "ch8*", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"},
            {"FNum", "ui8 ", "02"},
            {"TC0P", "sp78", "2a80"},
            {"TH0x", "flt ", "0000f041"}};
  }
  SmcTransport* transport() { return smc.get(); }
  std::unique_ptr<sim::SimSmc> smc = sim::SimSmc::parse(R"({ "open": true, "keys": [
      { "key": "TH0x", "type": "flt ", "bytes": "0000F041" }, { "key": "TC0P", "type": "sp78", "bytes": "2a80" },
      { "key": "FNum", "type": "ui8 ", "bytes": "02", "note": "fields the loader does not know are left alone" },
      { "key": "BIG!", "type": "ch8*", "bytes": "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f" }
    ] })",
                                                        nullptr);
};

// intel-desktop: amdgpu's fan (850 rpm, 0..3300) first, drivers by name, then nct6798's three
// (1019 rpm from 300; stopped; 731 rpm); fans without a maximum or a minimum lack those keys.
// TC0P is coretemp's Package id 0 (47 C), TH0x nvme0's Composite (38.85 C -> 9945.6).
struct HwmonSubject {
  static constexpr const char* kName = "Hwmon";
  static constexpr bool kIsTransport = true, kTakesWrites = false;
  static constexpr const char* kListing =
      "#KEY F0Ac F0ID F0Mn F0Mx F1Ac F1ID F1Mn F2Ac F2ID F2Mn F3Ac F3ID FNum TC0P TH0x";
  static std::vector<Key> keys() {
    return {
        {"F0Ac", "fpe2", "0d48"},
        {"F0ID", "{fds", fanIdHex("amdgpu fan1"), 16},
        {"F0Mn", "fpe2", "0000"},
        {"F0Mx", "fpe2", "3390"},
        {"F1Ac", "fpe2", "0fec"},
        {"F1ID", "{fds", fanIdHex("nct6798 fan1"), 16},
        {"F1Mn", "fpe2", "04b0"},
        {"F2Ac", "fpe2", "0000"},
        {"F2ID", "{fds", fanIdHex("nct6798 fan2"), 16},
        {"F2Mn", "fpe2", "0000"},
        {"F3Ac", "fpe2", "0b6c"},
        {"F3ID", "{fds", fanIdHex("nct6798 fan3"), 16},
        {"FNum", "ui8 ", "04"},
        {"TC0P", "sp78", "2f00"},
        {"TH0x", "sp78", "26da"},
    };
  }
  SmcTransport* transport() { return smc.get(); }
  std::unique_ptr<lnx::HwmonSmc> smc =
      lnx::HwmonSmc::open(TRELLIS_TEST_FIXTURES "/hwmon/intel-desktop", {.mainDisk = "nvme0n1"});
};

// The driver's list does not carry "#KEY": it has no index, and is answered from key_count.
struct AppleSmcSubject {
  static constexpr const char* kName = "AppleSmc";
  static constexpr bool kIsTransport = true, kTakesWrites = false;
  static constexpr const char* kListing = "ALV0 F0Ac F0ID F0Mn F0Mx FNum LKSB MSLD TB0T TC0P TG0P Th0H";
  static std::vector<Key> keys() {
    std::vector<Key> keys;
    for (const auto& [name, type, value] : testing::fakeMacKeys()) {
      const std::vector<std::uint8_t> carried(value.begin(), value.begin() + std::min<std::size_t>(value.size(), 32));
      keys.push_back({name, type, testing::hexText(carried), static_cast<std::uint32_t>(value.size())});
    }
    return keys;
  }
  SmcTransport* transport() { return smc.get(); }
  std::unique_ptr<lnx::AppleSmc> smc =
      lnx::AppleSmc::open(std::make_unique<testing::FakeAppleSmcDriver>(testing::fakeMacKeys()), nullptr);
};

template <typename Subject>
class SmcTransportContract : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(subject_.transport(), nullptr);
    ASSERT_EQ(subject_.transport()->open(&connection_), 0);
    std::istringstream names(Subject::kListing);
    for (std::string name; names >> name;) listing_.push_back(name);
  }
  // The reply to a request of these fields as text; the exchange must take place.
  std::string answer(const Fields& request) {
    const testing::SmcExchange out =
        testing::smcExchange(*subject_.transport(), connection_, testing::smcMessage(request));
    EXPECT_EQ(out.status, 0) << request.key << " " << int(request.command);
    EXPECT_EQ(out.size, sizeof(SmcMessage));
    return testing::smcText(out.reply);
  }

  Subject subject_;
  std::uint32_t connection_ = 0;
  std::vector<std::string> listing_;
};

struct SubjectName {
  template <typename Subject>
  static std::string GetName(int) {
    return Subject::kName;
  }
};
using Subjects = ::testing::Types<TableSubject, SimSubject, HwmonSubject, AppleSmcSubject>;
TYPED_TEST_SUITE(SmcTransportContract, Subjects, SubjectName);

TYPED_TEST(SmcTransportContract, AnswersEveryKeyWithItsInformationAndValue) {
  for (const auto& [name, type, hex, size, attributes] : TypeParam::keys()) {
    const std::uint32_t bytes = Key{name, type, hex, size}.valueSize();
    const std::string value = text({.command = kSmcReadValue, .key = name, .size = bytes, .hex = hex});
    EXPECT_EQ(this->answer({.command = kSmcReadValue, .key = name}), value) << "before the key information";
    EXPECT_EQ(
        this->answer({.command = kSmcKeyInformation, .key = name}),
        text({.command = kSmcKeyInformation, .key = name, .size = bytes, .type = type, .attributes = attributes}));
    EXPECT_EQ(this->answer({.command = kSmcReadValue, .key = name, .size = bytes}), value);
  }
}

TYPED_TEST(SmcTransportContract, AnswersKeyNotFoundForEveryOtherKeyAndUnknownCommandsAsSuch) {
  // Before the first key, after the last and next to each (as a binary search probes).
  std::vector<std::string> others = {"!ZZZ", "zzzz"};
  for (std::string name : this->listing_) {
    ++name[3];
    if (std::find(this->listing_.begin(), this->listing_.end(), name) == this->listing_.end()) others.push_back(name);
  }
  for (const std::string& name : others) {
    for (std::uint8_t command : {kSmcKeyInformation, kSmcReadValue, kSmcWriteValue}) {
      EXPECT_EQ(this->answer({.command = command, .key = name}),
                text({.command = command, .key = name, .result = kSmcKeyNotFound}));
    }
  }
  const std::string known = this->listing_.back();
  EXPECT_EQ(this->answer({.command = 7, .key = known}), text({.command = 7, .key = known, .result = 0x81}));
}

TYPED_TEST(SmcTransportContract, KeyAtIndexListsTheKeysInCodeOrderAsManyAsKeyCountSays) {
  const auto& listing = this->listing_;
  EXPECT_TRUE(std::is_sorted(listing.begin(), listing.end()));  // compared as unsigned bytes: by key code
  EXPECT_EQ(this->answer({.command = kSmcKeyInformation, .key = "#KEY"}),
            text({.command = kSmcKeyInformation, .key = "#KEY", .size = 4, .type = "ui32"}));
  char count[9];
  std::snprintf(count, sizeof count, "%08zx", listing.size());
  EXPECT_EQ(this->answer({.command = kSmcReadValue, .key = "#KEY"}),
            text({.command = kSmcReadValue, .key = "#KEY", .size = 4, .hex = count}));
  for (std::uint32_t i = 0; i < listing.size(); ++i) {
    EXPECT_EQ(this->answer({.command = kSmcKeyAtIndex, .index = i}),
              text({.command = kSmcKeyAtIndex, .key = listing[i]}));
  }
  for (std::uint32_t past : {static_cast<std::uint32_t>(listing.size()), 0xFFFFFFFFu}) {
    EXPECT_EQ(this->answer({.command = kSmcKeyAtIndex, .index = past}),
              text({.command = kSmcKeyAtIndex, .result = kSmcKeyNotFound}));
  }
}

TYPED_TEST(SmcTransportContract, RefusesWritesOfTheCountAndOfAnotherSizeAndKeepsTheValue) {
  auto write = [this](const std::string& key, std::uint32_t size) {
    return this->answer({.command = kSmcWriteValue, .key = key, .size = size, .hex = std::string(2 * size, '7')});
  };
  auto refused = [](const std::string& key) { return text({.command = kSmcWriteValue, .key = key, .result = 0x85}); };
  EXPECT_EQ(write("#KEY", 4), refused("#KEY"));
  for (const Key& key : TypeParam::keys()) {
    const std::uint32_t size = key.valueSize();
    const bool takes = TypeParam::kTakesWrites;
    EXPECT_EQ(write(key.name, size + 1), refused(key.name));
    EXPECT_EQ(write(key.name, size), takes ? text({.command = kSmcWriteValue, .key = key.name}) : refused(key.name));
    const std::string now = takes ? std::string(2 * std::min(size, 32u), '7') : key.hex;
    EXPECT_EQ(this->answer({.command = kSmcReadValue, .key = key.name}),
              text({.command = kSmcReadValue, .key = key.name, .size = size, .hex = now}));
  }
}

TYPED_TEST(SmcTransportContract, OpensAConnectionAndRefusesCallsOnAnotherOrWithAShortReply) {
  if (!TypeParam::kIsTransport) GTEST_SKIP() << "the table has no connections or selectors";
  const std::uint32_t open = this->connection_;
  EXPECT_NE(open, 0u);
  const SmcMessage request = testing::smcMessage({.command = kSmcReadValue, .key = this->listing_.back(), .size = 2});
  const std::tuple<std::uint32_t, std::uint32_t, std::size_t> calls[] = {
      {open + 1, kSmcSelector, 80}, {0, kSmcSelector, 80}, {open, 3, 80}, {open, 0, 80}, {open, kSmcSelector, 79}};
  for (auto [connection, selector, size] : calls) {
    SmcMessage reply;
    std::memset(&reply, 0xEE, sizeof reply);
    const SmcMessage untouched = reply;
    const std::size_t given = size;
    EXPECT_EQ(this->subject_.transport()->call(connection, selector, request, &reply, &size), kSmcIOError)
        << connection << " " << selector << " " << given;
    EXPECT_EQ(size, given);
    EXPECT_EQ(std::memcmp(&reply, &untouched, sizeof reply), 0);
  }
}

}  // namespace
}  // namespace trellis
