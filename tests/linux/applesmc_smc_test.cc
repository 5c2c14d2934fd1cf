// The applesmc transport through whole SMC exchanges: against an in-memory stand-in for the
// driver's raw key attributes (a sorted key table behind one shared key_at_index selection, with
// other processes moving the selection and SMC time-outs injected), and against a copy of a real
// device folder through the POSIX files. Test thread only.
#include "platform/linux/sensors/applesmc_smc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/smc_support.h"
#include "support/temp_tree.h"

namespace trellis::lnx {
namespace {

using ::testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;
using Attribute = AppleSmcAttribute;
using trellis::testing::smcIndexRequest;
using trellis::testing::smcRequest;

struct FakeKey {
  std::string name;
  std::string type;
  Bytes value;
};

std::uint32_t code(const std::string& text) { return smcFourCC(text.c_str()); }

// The bytes a reply carries for `value`: at most 32, the rest zero.
Bytes carried(const Bytes& value) {
  Bytes bytes(32, 0);
  std::copy_n(value.begin(), std::min<std::size_t>(value.size(), 32), bytes.begin());
  return bytes;
}

// A key table shaped like an Intel Mac's, with a value longer than a message carries. Sorted by
// name, "ALV0" comes first and "Th0H" last.
std::vector<FakeKey> macKeys() {
  Bytes light(40);
  for (std::size_t i = 0; i < light.size(); ++i) light[i] = static_cast<std::uint8_t>(0x40 + i);
  return {
      {"F0Ac", "fpe2", {0x0F, 0xA0}}, {"F0ID", "{fds", {0, 0, 0, 0, 'M', 'a', 'i', 'n', 0, 0, 0, 0, 0, 0, 0, 0}},
      {"F0Mn", "fpe2", {0x05, 0xDC}}, {"F0Mx", "fpe2", {0x17, 0x70}},
      {"FNum", "ui8 ", {0x01}},       {"LKSB", "{lkb", {0x00, 0x01}},
      {"MSLD", "ui8 ", {0x00}},       {"TB0T", "sp78", {0x1E, 0x40}},
      {"TC0P", "sp78", {0x2A, 0x80}}, {"TG0P", "sp78", {0x30, 0x00}},
      {"Th0H", "sp78", {0x28, 0x00}}, {"ALV0", "{alv", light},
  };
}

// The driver's raw key attributes over a key table sorted by name, as the driver shows them: text
// attributes end in a newline, key_at_index takes a decimal index below the driver's key count
// (EINVAL otherwise), and the other key_at_index attributes describe the selected key.
class FakeDriver final : public AppleSmcFiles {
 public:
  // Faults of one attribute: before each of its next `moves` reads (every read when negative)
  // another process selects `moveTo`; its next `errors` reads fail with `error`.
  struct Faults {
    std::uint32_t moveTo = 0;
    int moves = 0;
    int error = 0;
    int errors = 0;
  };

  explicit FakeDriver(std::vector<FakeKey> keys) : keys(std::move(keys)) {
    std::sort(this->keys.begin(), this->keys.end(), [](const FakeKey& a, const FakeKey& b) { return a.name < b.name; });
    keyCountText = std::to_string(this->keys.size()) + "\n";
  }
  std::uint32_t indexOf(const std::string& name) const {
    return static_cast<std::uint32_t>(
        std::find_if(keys.begin(), keys.end(), [&](const FakeKey& k) { return k.name == name; }) - keys.begin());
  }

  int open(Attribute attribute, AppleSmcAccess access) override {
    if (auto it = refusals.find({attribute, access}); it != refusals.end()) return it->second;
    // Only key_at_index has a store function (0644); the others are 0444.
    if (access == AppleSmcAccess::kWrite && attribute != Attribute::kKeyAtIndex) return EACCES;
    opened[{attribute, access}] = true;
    return 0;
  }
  ssize_t read(Attribute attribute, void* buffer, std::size_t size) override {
    ++operations;
    if (!opened[{attribute, AppleSmcAccess::kRead}]) return -EBADF;
    Faults& fault = faults[attribute];
    if (fault.moves != 0) {
      selected = fault.moveTo;
      fault.moves -= fault.moves > 0 ? 1 : 0;
    }
    if (fault.errors != 0) {
      fault.errors -= fault.errors > 0 ? 1 : 0;
      return -fault.error;
    }
    std::string content = keyCountText;
    if (attribute == Attribute::kKeyAtIndex) {
      content = std::to_string(selected) + "\n";
    } else if (attribute != Attribute::kKeyCount) {
      if (selected >= keys.size()) return -EINVAL;
      const FakeKey& key = keys[selected];
      content = attribute == Attribute::kKeyAtIndexName         ? key.name + "\n"
                : attribute == Attribute::kKeyAtIndexType       ? key.type + "\n"
                : attribute == Attribute::kKeyAtIndexDataLength ? std::to_string(key.value.size()) + "\n"
                                                                : std::string(key.value.begin(), key.value.end());
    }
    const std::size_t count = std::min(size, content.size());
    std::memcpy(buffer, content.data(), count);
    return static_cast<ssize_t>(count);
  }
  ssize_t write(Attribute attribute, const void* bytes, std::size_t size) override {
    ++operations;
    if (attribute != Attribute::kKeyAtIndex || !opened[{attribute, AppleSmcAccess::kWrite}]) return -EBADF;
    // As kstrtoul: decimal digits, optionally one newline.
    std::string text(static_cast<const char*>(bytes), size);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return -EINVAL;
    if (std::stoul(text) >= keys.size()) return -EINVAL;
    selected = static_cast<std::uint32_t>(std::stoul(text));
    return static_cast<ssize_t>(size);
  }
  std::string describe(Attribute attribute) const override {
    static const char* const kFiles[] = {
        "key_count",        "key_at_index", "key_at_index_name", "key_at_index_type", "key_at_index_data_length",
        "key_at_index_data"};
    return std::string("/fake/applesmc.768/") + kFiles[static_cast<int>(attribute)];
  }

  std::vector<FakeKey> keys;
  std::string keyCountText;  // what key_count shows (the SMC's "#KEY")
  std::uint32_t selected = 0;
  int operations = 0;
  std::map<Attribute, Faults> faults;
  std::map<std::pair<Attribute, AppleSmcAccess>, int> refusals;
  std::map<std::pair<Attribute, AppleSmcAccess>, bool> opened;
};

class AppleSmcTest : public ::testing::Test {
 protected:
  void SetUp() override { start(macKeys()); }
  void start(std::vector<FakeKey> keys, const std::string& keyCount = "") {
    auto files = std::make_unique<FakeDriver>(std::move(keys));
    driver_ = files.get();
    if (!keyCount.empty()) driver_->keyCountText = keyCount;
    std::string why;
    smc_ = AppleSmc::open(std::move(files), &why);
    ASSERT_NE(smc_, nullptr) << why;
    ASSERT_EQ(smc_->open(&connection_), 0);
    ASSERT_EQ(connection_, 1u);
  }
  testing::SmcExchange exchange(const SmcMessage& message) { return testing::smcExchange(*smc_, connection_, message); }
  testing::SmcExchange info(const std::string& key) { return exchange(smcRequest(kSmcKeyInformation, key)); }
  testing::SmcExchange read(const std::string& key) { return exchange(smcRequest(kSmcReadValue, key)); }
  // Another process selects the key `to` before the next `times` reads of `attribute`.
  void move(Attribute attribute, const std::string& to, int times) {
    driver_->faults[attribute].moveTo = driver_->indexOf(to);
    driver_->faults[attribute].moves = times;
  }
  void timeOut(Attribute attribute) { driver_->faults[attribute] = {.error = EIO, .errors = 1}; }

  FakeDriver* driver_ = nullptr;
  std::unique_ptr<AppleSmc> smc_;
  std::uint32_t connection_ = 0;
};

TEST_F(AppleSmcTest, AnswersEveryKeyOfTheSortedListAndNotFoundForOthers) {
  EXPECT_EQ(smc_->keyCount(), 12u);
  // Every position of the binary search: read cold (no key information asked first, and the
  // caller's count does not limit what is read), then again after the key information.
  for (const FakeKey& key : macKeys()) {
    SmcMessage request = smcRequest(kSmcReadValue, key.name);
    request.dataSize = 2;
    EXPECT_EQ(exchange(request).bytes(), carried(key.value)) << key.name;
    const Bytes shown(key.value.begin(), key.value.begin() + std::min<std::size_t>(key.value.size(), 32));
    EXPECT_EQ(testing::smcKey(*smc_, key.name), key.type + " " + testing::hexText(shown));
    EXPECT_EQ(info(key.name).reply.dataSize, key.value.size()) << key.name;
  }
  // Before the first key, between two keys, next to a key, after the last.
  for (const std::string name : {"!ZZZ", "ALV1", "FAAA", "TC0Q", "zzzz"}) {
    for (SmcCommand command : {kSmcKeyInformation, kSmcReadValue, kSmcWriteValue}) {
      const testing::SmcExchange out = exchange(smcRequest(command, name));
      ASSERT_EQ(out.status, 0) << name;
      EXPECT_EQ(out.reply.result, kSmcKeyNotFound) << name;
      EXPECT_EQ(out.reply.key, code(name));
      EXPECT_EQ(out.reply.dataSize + out.reply.dataType, 0u) << name;
      EXPECT_EQ(out.bytes(), Bytes(32)) << name;
    }
  }
}

TEST_F(AppleSmcTest, KeyAtIndexListsTheKeysInOrder) {
  for (std::uint32_t i = 0; i < driver_->keys.size(); ++i) {
    const testing::SmcExchange out = exchange(smcIndexRequest(i));
    ASSERT_EQ(out.status, 0);
    EXPECT_EQ(out.reply.result, kSmcSuccess);
    EXPECT_EQ(out.reply.key, code(driver_->keys[i].name)) << i;
  }
  for (std::uint32_t past : {12u, 0xFFFFFFFFu}) {
    const testing::SmcExchange out = exchange(smcIndexRequest(past));
    ASSERT_EQ(out.status, 0);
    EXPECT_EQ(out.reply.result, kSmcKeyNotFound);
    EXPECT_EQ(out.reply.key, 0u);
  }
  // The SMC's "#KEY" grew past the count the driver read when it loaded: the driver refuses
  // indexes past its own count.
  start(macKeys(), "14\n");
  EXPECT_EQ(smc_->keyCount(), 14u);
  EXPECT_EQ(exchange(smcIndexRequest(12)).reply.result, kSmcKeyNotFound);
  EXPECT_EQ(exchange(smcIndexRequest(11)).reply.key, code("Th0H"));
}

TEST_F(AppleSmcTest, KeyCountKeyComesFromKeyCountWhenTheListLacksIt) {
  const testing::SmcExchange about = info("#KEY");
  EXPECT_EQ(about.reply.result, kSmcSuccess);
  EXPECT_EQ(about.reply.dataSize, 4u);
  EXPECT_EQ(about.reply.dataType, code("ui32"));
  EXPECT_EQ(read("#KEY").reply.result, kSmcSuccess);
  EXPECT_EQ(read("#KEY").bytes(), carried({0, 0, 0, 12}));
  driver_->keyCountText = "16909060\n";  // read live
  EXPECT_EQ(read("#KEY").bytes(), carried({1, 2, 3, 4}));
  // It has no index of its own, and it cannot be written.
  EXPECT_EQ(exchange(smcIndexRequest(0)).reply.key, code("ALV0"));
  EXPECT_EQ(exchange(smcRequest(kSmcWriteValue, "#KEY")).reply.result, kAppleSmcNotWritable);
}

TEST_F(AppleSmcTest, WritesAreRefusedAndUnknownCommandsAnsweredAndForeignCallsFail) {
  SmcMessage write = smcRequest(kSmcWriteValue, "F0Mn");
  write.dataSize = 2;
  write.bytes[0] = 0x09;
  write.bytes[1] = 0xC4;
  const testing::SmcExchange refused = exchange(write);
  ASSERT_EQ(refused.status, 0);
  EXPECT_EQ(refused.reply.result, kAppleSmcNotWritable);
  EXPECT_EQ(read("F0Mn").bytes(), carried({0x05, 0xDC}));
  const testing::SmcExchange unknown = exchange(smcRequest(7, "TC0P"));
  ASSERT_EQ(unknown.status, 0);
  EXPECT_EQ(unknown.reply.result, kAppleSmcUnknownCommand);
  EXPECT_EQ(unknown.reply.command, 7);

  const int before = driver_->operations;
  testing::expectForeignCallsRefused(*smc_, connection_);
  EXPECT_EQ(driver_->operations, before);
}

TEST_F(AppleSmcTest, ReadsAreRepeatedWhenTheSelectionMovesAndFailRatherThanAnswerAnotherKey) {
  move(Attribute::kKeyAtIndexData, "TG0P", 1);
  EXPECT_EQ(read("TC0P").bytes(), carried({0x2A, 0x80}));
  move(Attribute::kKeyAtIndexData, "F0ID", 2);  // a key of another size is caught as well
  EXPECT_EQ(read("F0Ac").bytes(), carried({0x0F, 0xA0}));

  // Moved on every read of the value: no answer, the output left as it was.
  move(Attribute::kKeyAtIndexData, "TG0P", -1);
  const testing::SmcExchange out = read("TC0P");
  EXPECT_EQ(out.status, kSmcIOError);
  EXPECT_EQ(out.reply.bytes[0], 0xEE);
  EXPECT_EQ(out.reply.result, 0xEE);
  move(Attribute::kKeyAtIndexData, "TG0P", 0);
  EXPECT_EQ(read("TC0P").bytes(), carried({0x2A, 0x80}));
}

TEST_F(AppleSmcTest, SearchIsNotMisledByAnotherProcessMovingTheSelection) {
  // The first probe for TG0P lands in the middle of the list; moved to the last key, it would send
  // the search below the middle and report the key missing.
  move(Attribute::kKeyAtIndexName, "Th0H", 1);
  EXPECT_EQ(info("TG0P").reply.dataSize, 2u);
  // Moved between the name and the type: the type is the key's own.
  move(Attribute::kKeyAtIndexType, "F0ID", 1);
  const testing::SmcExchange typed = info("FNum");
  EXPECT_EQ(typed.reply.dataType, code("ui8 "));
  EXPECT_EQ(typed.reply.dataSize, 1u);
  // Moved on every read of the type, or of a name: no answer rather than a wrong one.
  move(Attribute::kKeyAtIndexType, "F0ID", -1);
  EXPECT_EQ(info("MSLD").status, kSmcIOError);
  move(Attribute::kKeyAtIndexType, "F0ID", 0);
  move(Attribute::kKeyAtIndexName, "ALV0", -1);
  EXPECT_EQ(info("MSLD").status, kSmcIOError);
  EXPECT_EQ(exchange(smcIndexRequest(3)).status, kSmcIOError);
  move(Attribute::kKeyAtIndexName, "ALV0", 0);
  const testing::SmcExchange calm = info("MSLD");
  EXPECT_EQ(calm.reply.result, kSmcSuccess);
  EXPECT_EQ(calm.reply.dataType, code("ui8 ")) << "nothing wrong was learnt";
}

TEST_F(AppleSmcTest, SmcTimeOutsFailTheExchange) {
  timeOut(Attribute::kKeyAtIndexData);
  const testing::SmcExchange timedOut = read("F0Ac");
  EXPECT_EQ(timedOut.status, kSmcIOError);
  EXPECT_EQ(timedOut.reply.result, 0xEE);
  EXPECT_EQ(read("F0Ac").bytes(), carried({0x0F, 0xA0}));
  // While looking a key up, listing, sizing a value and counting keys.
  timeOut(Attribute::kKeyAtIndexName);
  EXPECT_EQ(info("TB0T").status, kSmcIOError);
  EXPECT_EQ(info("TB0T").reply.dataType, code("sp78"));
  timeOut(Attribute::kKeyAtIndexName);
  EXPECT_EQ(exchange(smcIndexRequest(2)).status, kSmcIOError);
  timeOut(Attribute::kKeyAtIndexDataLength);
  EXPECT_EQ(read("TG0P").status, kSmcIOError);
  timeOut(Attribute::kKeyCount);
  EXPECT_EQ(read("#KEY").status, kSmcIOError);
}

TEST_F(AppleSmcTest, WhatIsLearntIsNotSearchedAgainUpToTheKnownTable) {
  ASSERT_EQ(info("TC0P").status, 0);
  int before = driver_->operations;
  EXPECT_EQ(info("TC0P").reply.dataSize, 2u);
  EXPECT_EQ(driver_->operations, before);
  // A read of a known key: select it, read the value, read the name back.
  EXPECT_EQ(read("TC0P").bytes(), carried({0x2A, 0x80}));
  EXPECT_EQ(driver_->operations, before + 3);
  EXPECT_EQ(driver_->selected, driver_->indexOf("TC0P"));
  // A missing key is remembered as missing.
  ASSERT_EQ(read("TC1P").reply.result, kSmcKeyNotFound);
  before = driver_->operations;
  EXPECT_EQ(read("TC1P").reply.result, kSmcKeyNotFound);
  EXPECT_EQ(driver_->operations, before);

  // Past the known table keys are still answered, searched again each time. Asked in reverse, so
  // that the table fills from the end of the list.
  std::vector<FakeKey> keys;
  for (std::size_t i = 0; i < AppleSmc::kKnownKeys + 40; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "K%03zu", i);
    keys.push_back({name, "ui16", {static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)}});
  }
  start(keys);
  for (std::size_t i = keys.size(); i-- > 0;) ASSERT_EQ(read(keys[i].name).bytes(), carried(keys[i].value)) << i;
  before = driver_->operations;
  EXPECT_EQ(read(keys.back().name).bytes(), carried(keys.back().value));
  EXPECT_EQ(driver_->operations, before + 3);
  before = driver_->operations;
  EXPECT_EQ(read(keys.front().name).bytes(), carried(keys.front().value));
  EXPECT_GT(driver_->operations, before + 3);
}

TEST(AppleSmcOpenTest, FailsWithTheReason) {
  const std::pair<void (*)(FakeDriver&), std::vector<std::string>> rows[] = {
      {[](FakeDriver& d) {
         d.refusals[{Attribute::kKeyAtIndex, AppleSmcAccess::kWrite}] = EACCES;
       },
       {"/fake/applesmc.768/key_at_index", "for writing", "Permission denied", "root"}},
      {[](FakeDriver& d) {
         d.refusals[{Attribute::kKeyCount, AppleSmcAccess::kRead}] = ENOENT;
       },
       {"/fake/applesmc.768/key_count", "does not exist", "not loaded"}},
      {[](FakeDriver& d) {
         d.refusals[{Attribute::kKeyAtIndexData, AppleSmcAccess::kRead}] = EACCES;
       },
       {"/fake/applesmc.768/key_at_index_data", "Permission denied"}},
      {[](FakeDriver& d) { d.faults[Attribute::kKeyCount] = {.error = EIO, .errors = 1}; },
       {"key count", "/fake/applesmc.768/key_count", "Input/output error"}},
      {[](FakeDriver& d) { d.keyCountText = "twelve\n"; }, {"key count", "not a decimal number"}},
      {[](FakeDriver& d) { d.keyCountText = "12"; }, {"not a decimal number"}},
  };
  for (const auto& [setUp, reason] : rows) {
    auto files = std::make_unique<FakeDriver>(macKeys());
    setUp(*files);
    std::string why;
    EXPECT_EQ(AppleSmc::open(std::move(files), &why), nullptr) << reason[0];
    for (const std::string& part : reason) EXPECT_THAT(why, HasSubstr(part));
  }
  EXPECT_EQ(AppleSmc::open(std::unique_ptr<AppleSmcFiles>(), /*why=*/nullptr), nullptr);
}

// The fixture device folder is copied, as its key_at_index is written to.
TEST(AppleSmcPosixTest, ReadsARealDeviceFolder) {
  testing::TempTree tree;
  tree.copyFrom(TRELLIS_TEST_FIXTURES "/applesmc");
  const std::string device = std::string(kAppleSmcDevicePath).substr(1) + "/";
  std::string why;
  auto smc = AppleSmc::open(tree.root() + "/", &why);
  ASSERT_NE(smc, nullptr) << why;
  EXPECT_EQ(smc->keyCount(), 3u);
  std::uint32_t connection = 0;
  ASSERT_EQ(smc->open(&connection), 0);
  auto exchange = [&](const SmcMessage& message) { return testing::smcExchange(*smc, connection, message); };
  auto read = [&](const char* key) { return exchange(smcRequest(kSmcReadValue, key)); };

  // The folder's files do not follow key_at_index: every index shows TC0P.
  EXPECT_EQ(exchange(smcIndexRequest(2)).reply.key, code("TC0P"));
  EXPECT_EQ(tree.read(device + "key_at_index"), "2\n");
  const testing::SmcExchange info = exchange(smcRequest(kSmcKeyInformation, "TC0P"));
  EXPECT_EQ(info.reply.result, kSmcSuccess);
  EXPECT_EQ(info.reply.dataSize, 2u);
  EXPECT_EQ(info.reply.dataType, code("sp78"));
  EXPECT_EQ(read("TC0P").bytes(), carried({0x2A, 0x80}));
  // Every read starts again at the first byte: changed files give the new contents.
  tree.write(device + "key_at_index_data", "\x2b\x40");
  EXPECT_EQ(read("TC0P").bytes(), carried({0x2B, 0x40}));
  EXPECT_EQ(read("#KEY").bytes(), carried({0, 0, 0, 3}));
  tree.write(device + "key_count", "7\n");
  EXPECT_EQ(read("#KEY").bytes(), carried({0, 0, 0, 7}));
  tree.write(device + "key_at_index_data", "\x2b");
  EXPECT_EQ(read("TC0P").status, kSmcIOError) << "a value that is not the key's size is not taken";

  EXPECT_EQ(AppleSmc::open(tree.root() + "/elsewhere", &why), nullptr);
  EXPECT_THAT(why, HasSubstr(tree.root() + "/elsewhere/sys/devices/platform/applesmc.768/key_count"));
  EXPECT_THAT(why, HasSubstr("applesmc driver is not loaded"));
}

TEST(AppleSmcPosixTest, ReadOnlySelectorIsRefused) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write a 0444 file; the refusal is covered by AppleSmcOpenTest";
  testing::TempTree tree;
  tree.copyFrom(TRELLIS_TEST_FIXTURES "/applesmc");
  ASSERT_EQ(::chmod((tree.root() + kAppleSmcDevicePath + "/key_at_index").c_str(), 0444), 0);
  std::string why;
  EXPECT_EQ(AppleSmc::open(tree.root(), &why), nullptr);
  EXPECT_THAT(why, HasSubstr("key_at_index for writing: Permission denied"));
  EXPECT_THAT(why, HasSubstr("needs root"));
}

}  // namespace
}  // namespace trellis::lnx
