// What only the applesmc transport does: the shared key_at_index selection moved by other
// processes, SMC time-outs, key_count, what it learns, why it cannot open, a real device folder.
#include "platform/linux/sensors/applesmc_smc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "support/applesmc_fake.h"
#include "support/smc_support.h"
#include "support/temp_tree.h"

namespace trellis::lnx {
namespace {

using ::testing::HasSubstr;
using Attribute = AppleSmcAttribute;
using testing::FakeAppleSmcDriver;

class AppleSmcTransportTest : public ::testing::Test {
 protected:
  void SetUp() override { start(testing::fakeMacKeys()); }
  void start(std::vector<testing::FakeAppleSmcKey> keys, const std::string& keyCount = "") {
    auto files = std::make_unique<FakeAppleSmcDriver>(std::move(keys));
    driver_ = files.get();
    if (!keyCount.empty()) driver_->keyCountText = keyCount;
    std::string why;
    smc_ = AppleSmc::open(std::move(files), &why);
    ASSERT_NE(smc_, nullptr) << why;
  }
  testing::SmcExchange exchange(const testing::SmcFields& request) {
    return testing::smcExchange(*smc_, 1, testing::smcMessage(request));
  }
  // The value bytes read from `key`, "failed" when the exchange fails.
  std::string read(const std::string& key) {
    const testing::SmcExchange out = exchange({.command = kSmcReadValue, .key = key});
    return out.status != 0 ? "failed" : testing::hexText(out.bytes(std::min(out.reply.dataSize, 32u)));
  }
  std::string info(const std::string& key) {
    const testing::SmcExchange out = exchange({.command = kSmcKeyInformation, .key = key});
    return out.status != 0 ? "failed"
                           : testing::smcKeyText(out.reply.dataType) + " " + std::to_string(out.reply.dataSize);
  }
  // Another process selects the key `to` before the next `times` reads of `attribute` (every
  // read when negative).
  void move(Attribute attribute, const std::string& to, int times) {
    driver_->faults[attribute].moveTo = driver_->indexOf(to);
    driver_->faults[attribute].moves = times;
  }

  FakeAppleSmcDriver* driver_ = nullptr;
  std::unique_ptr<AppleSmc> smc_;
};

TEST_F(AppleSmcTransportTest, KeyCountIsReadLiveButIndexesStopAtTheDriversOwnCount) {
  EXPECT_EQ(smc_->keyCount(), 12u);
  driver_->keyCountText = "16909060\n";
  EXPECT_EQ(read("#KEY"), "01020304");
  // The SMC's "#KEY" grew past the count the driver read when it loaded: the driver refuses
  // indexes past its own count.
  start(testing::fakeMacKeys(), "14\n");
  EXPECT_EQ(smc_->keyCount(), 14u);
  EXPECT_EQ(exchange({.command = kSmcKeyAtIndex, .index = 12}).reply.result, kSmcKeyNotFound);
  EXPECT_EQ(testing::smcKeyText(exchange({.command = kSmcKeyAtIndex, .index = 11}).reply.key), "Th0H");
}

TEST_F(AppleSmcTransportTest, ReadsAreRepeatedWhenTheSelectionMovesAndFailRatherThanAnswerAnotherKey) {
  move(Attribute::kKeyAtIndexData, "TG0P", 1);
  EXPECT_EQ(read("TC0P"), "2a80");
  move(Attribute::kKeyAtIndexData, "F0ID", 2);  // a key of another size is caught as well, none of its bytes kept
  EXPECT_EQ(testing::smcText(exchange({.command = kSmcReadValue, .key = "F0Ac"}).reply),
            testing::smcText(testing::smcMessage({.command = kSmcReadValue, .key = "F0Ac", .size = 2, .hex = "0fa0"})));
  move(Attribute::kKeyAtIndexData, "TG0P", -1);
  const testing::SmcExchange out = exchange({.command = kSmcReadValue, .key = "TC0P"});
  EXPECT_EQ(out.status, kSmcIOError);
  EXPECT_EQ(out.reply.result, 0xEE) << "the reply is left as it was";
  move(Attribute::kKeyAtIndexData, "TG0P", 0);
  EXPECT_EQ(read("TC0P"), "2a80");
}

TEST_F(AppleSmcTransportTest, SearchIsNotMisledByAnotherProcessMovingTheSelection) {
  // The first probe for TG0P lands in the middle of the list; moved to the last key, it would send
  // the search below the middle and report the key missing.
  move(Attribute::kKeyAtIndexName, "Th0H", 1);
  EXPECT_EQ(info("TG0P"), "sp78 2");
  move(Attribute::kKeyAtIndexType, "F0ID", 1);  // between the name and the type
  EXPECT_EQ(info("FNum"), "ui8  1");
  // Moved on every read of the type, or of a name: no answer rather than a wrong one.
  move(Attribute::kKeyAtIndexType, "F0ID", -1);
  EXPECT_EQ(info("MSLD"), "failed");
  move(Attribute::kKeyAtIndexType, "F0ID", 0);
  move(Attribute::kKeyAtIndexName, "ALV0", -1);
  EXPECT_EQ(info("MSLD"), "failed");
  EXPECT_EQ(exchange({.command = kSmcKeyAtIndex, .index = 3}).status, kSmcIOError);
  move(Attribute::kKeyAtIndexName, "ALV0", 0);
  EXPECT_EQ(info("MSLD"), "ui8  1") << "nothing wrong was learnt";
}

TEST_F(AppleSmcTransportTest, AnSmcTimeOutFailsTheExchangeThatMetIt) {
  const std::pair<Attribute, testing::SmcFields> rows[] = {
      {Attribute::kKeyAtIndexData, {.command = kSmcReadValue, .key = "F0Ac"}},
      {Attribute::kKeyAtIndexName, {.command = kSmcKeyInformation, .key = "TB0T"}},  // looking it up
      {Attribute::kKeyAtIndexName, {.command = kSmcKeyAtIndex, .index = 2}},
      {Attribute::kKeyAtIndexDataLength, {.command = kSmcReadValue, .key = "TG0P"}},  // sizing it
      {Attribute::kKeyCount, {.command = kSmcReadValue, .key = "#KEY"}},
  };
  for (const auto& [attribute, request] : rows) {
    driver_->faults[attribute] = {.error = EIO, .errors = 1};
    const testing::SmcExchange out = exchange(request);
    EXPECT_EQ(out.status, kSmcIOError) << request.key;
    EXPECT_EQ(out.reply.result, 0xEE) << request.key;
    EXPECT_EQ(exchange(request).status, 0) << "the next one goes through";
  }
}

TEST_F(AppleSmcTransportTest, WhatIsLearntIsNotSearchedAgainUpToTheKnownTable) {
  ASSERT_EQ(info("TC0P"), "sp78 2");
  int before = driver_->operations;
  EXPECT_EQ(info("TC0P"), "sp78 2");
  EXPECT_EQ(driver_->operations, before);
  // A read of a known key: select it, read the value, read the name back.
  EXPECT_EQ(read("TC0P"), "2a80");
  EXPECT_EQ(driver_->operations, before + 3);
  EXPECT_EQ(driver_->selected, driver_->indexOf("TC0P"));
  // A missing key is remembered as missing; a refused call costs nothing.
  ASSERT_EQ(exchange({.command = kSmcReadValue, .key = "TC1P"}).reply.result, kSmcKeyNotFound);
  before = driver_->operations;
  EXPECT_EQ(exchange({.command = kSmcReadValue, .key = "TC1P"}).reply.result, kSmcKeyNotFound);
  EXPECT_EQ(testing::smcExchange(*smc_, 2, testing::smcMessage({.command = kSmcReadValue, .key = "F0Mn"})).status,
            kSmcIOError);
  EXPECT_EQ(driver_->operations, before);

  // Past the known table keys are still answered, searched again each time. Asked in reverse, so
  // that the table fills from the end of the list.
  std::vector<testing::FakeAppleSmcKey> keys;
  for (std::size_t i = 0; i < AppleSmc::kKnownKeys + 40; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "K%03zu", i);
    keys.push_back({name, "ui16", {static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)}});
  }
  start(keys);
  for (std::size_t i = keys.size(); i-- > 0;) ASSERT_EQ(read(keys[i].name), testing::hexText(keys[i].value)) << i;
  before = driver_->operations;
  EXPECT_EQ(read(keys.back().name), testing::hexText(keys.back().value));
  EXPECT_EQ(driver_->operations, before + 3);
  before = driver_->operations;
  EXPECT_EQ(read(keys.front().name), testing::hexText(keys.front().value));
  EXPECT_GT(driver_->operations, before + 3);
}

TEST(AppleSmcOpeningTest, FailsWithTheReason) {
  using Access = AppleSmcAccess;
  using Driver = FakeAppleSmcDriver;
  const std::pair<void (*)(Driver&), std::vector<std::string>> rows[] = {
      {[](Driver& d) { d.refusals[{Attribute::kKeyAtIndex, Access::kWrite}] = EACCES; },
       {"/fake/applesmc.768/key_at_index", "for writing", "Permission denied", "root"}},
      {[](Driver& d) { d.refusals[{Attribute::kKeyCount, Access::kRead}] = ENOENT; },
       {"/fake/applesmc.768/key_count", "does not exist", "not loaded"}},
      {[](Driver& d) { d.refusals[{Attribute::kKeyAtIndexData, Access::kRead}] = EACCES; },
       {"/fake/applesmc.768/key_at_index_data", "Permission denied"}},
      {[](Driver& d) { d.faults[Attribute::kKeyCount] = {.error = EIO, .errors = 1}; },
       {"key count", "/fake/applesmc.768/key_count", "Input/output error"}},
      {[](Driver& d) { d.keyCountText = "twelve\n"; }, {"key count", "not a decimal number"}},
      {[](Driver& d) { d.keyCountText = "12"; }, {"not a decimal number"}},
  };
  for (const auto& [setUp, reason] : rows) {
    auto files = std::make_unique<FakeAppleSmcDriver>(testing::fakeMacKeys());
    setUp(*files);
    std::string why;
    EXPECT_EQ(AppleSmc::open(std::move(files), &why), nullptr) << reason[0];
    for (const std::string& part : reason) EXPECT_THAT(why, HasSubstr(part));
  }
  EXPECT_EQ(AppleSmc::open(std::unique_ptr<AppleSmcFiles>(), /*why=*/nullptr), nullptr);
}

// The fixture device folder is copied, as its key_at_index is written to. Its files do not follow
// key_at_index: every index shows TC0P.
TEST(AppleSmcFolderTest, ReadsARealDeviceFolderAfreshEachTime) {
  testing::TempTree tree;
  tree.copyFrom(TRELLIS_TEST_FIXTURES "/applesmc");
  const std::string device = std::string(kAppleSmcDevicePath).substr(1) + "/";
  std::string why;
  auto smc = AppleSmc::open(tree.root() + "/", &why);
  ASSERT_NE(smc, nullptr) << why;
  EXPECT_EQ(testing::smcKeyText(
                testing::smcExchange(*smc, 1, testing::smcMessage({.command = kSmcKeyAtIndex, .index = 2})).reply.key),
            "TC0P");
  EXPECT_EQ(tree.read(device + "key_at_index"), "2\n");
  EXPECT_EQ(testing::smcKey(*smc, "TC0P"), "sp78 2a80");
  tree.write(device + "key_at_index_data", "\x2b\x40");
  EXPECT_EQ(testing::smcKey(*smc, "TC0P"), "sp78 2b40");
  tree.write(device + "key_count", "7\n");
  EXPECT_EQ(testing::smcKey(*smc, "#KEY"), "ui32 00000007");
  tree.write(device + "key_at_index_data", "\x2b");
  EXPECT_EQ(testing::smcKey(*smc, "TC0P"), "sp78 failed") << "a value that is not the key's size is not taken";

  EXPECT_EQ(AppleSmc::open(tree.root() + "/elsewhere", &why), nullptr);
  EXPECT_THAT(why, HasSubstr(tree.root() + "/elsewhere/sys/devices/platform/applesmc.768/key_count"));
  EXPECT_THAT(why, HasSubstr("applesmc driver is not loaded"));
  if (::geteuid() == 0) return;  // root may write a 0444 file
  ASSERT_EQ(::chmod(tree.path(device + "key_at_index").c_str(), 0444), 0);
  EXPECT_EQ(AppleSmc::open(tree.root(), &why), nullptr);
  EXPECT_THAT(why, HasSubstr("key_at_index for writing: Permission denied (raw SMC key access needs root)"));
}

}  // namespace
}  // namespace trellis::lnx
