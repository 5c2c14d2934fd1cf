// The applesmc transport through whole SMC exchanges: against an in-memory stand-in for the
// driver's raw key attributes (a sorted key table behind one shared key_at_index selection, with
// other processes moving the selection and SMC time-outs injected), and against a copy of a real
// device folder through the POSIX files. Test thread only.
#include "platform/linux/applesmc_smc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace trellis::linux {
namespace {

using ::testing::HasSubstr;

struct FakeKey {
  std::string name;  // four characters
  std::string type;  // four characters
  std::vector<std::uint8_t> value;
};

std::uint32_t code(const std::string& text) {
  std::uint32_t packed = 0;
  for (std::size_t i = 0; i < 4; ++i) packed = (packed << 8) | static_cast<std::uint8_t>(text.at(i));
  return packed;
}

// The driver's raw key attributes over a key table sorted by name, as the driver shows them: text
// attributes end in a newline, key_at_index takes a decimal index below the driver's key count
// (EINVAL otherwise), and the other key_at_index attributes describe the selected key.
// Other processes and SMC time-outs are played through the fault set-ups.
class FakeDriver final : public AppleSmcFiles {
 public:
  explicit FakeDriver(std::vector<FakeKey> keys) : keys_(std::move(keys)) {
    std::sort(keys_.begin(), keys_.end(), [](const FakeKey& a, const FakeKey& b) { return a.name < b.name; });
    reportedCount_ = static_cast<std::uint32_t>(keys_.size());
  }

  // Another process writes `index` to key_at_index just before each of the next `times` reads of
  // `attribute` (every read when `times` is negative; none once it is 0).
  void moveSelectionBefore(AppleSmcAttribute attribute, std::uint32_t index, int times) {
    moves_[attribute] = {static_cast<int>(index), times};
  }
  // The next `times` reads of `attribute` fail with `error` (every read when negative).
  void failReads(AppleSmcAttribute attribute, int error, int times) { failures_[attribute] = {error, times}; }
  void refuseOpen(AppleSmcAttribute attribute, AppleSmcAccess access, int error) {
    refusals_[{attribute, access}] = error;
  }
  // What key_count shows (the SMC's "#KEY"), when it differs from the driver's own list.
  void showKeyCount(std::uint32_t count) { reportedCount_ = count; }
  void showKeyCountText(std::string text) { keyCountText_ = std::move(text); }

  int operations() const { return operations_; }
  std::uint32_t selected() const { return selected_; }

  int open(AppleSmcAttribute attribute, AppleSmcAccess access) override {
    if (auto it = refusals_.find({attribute, access}); it != refusals_.end()) return it->second;
    // Only key_at_index has a store function (0644); the others are 0444.
    if (access == AppleSmcAccess::kWrite && attribute != AppleSmcAttribute::kKeyAtIndex) return EACCES;
    opened_[{attribute, access}] = true;
    return 0;
  }

  ssize_t read(AppleSmcAttribute attribute, void* buffer, std::size_t size) override {
    ++operations_;
    if (!opened_[{attribute, AppleSmcAccess::kRead}]) return -EBADF;
    if (Fault& move = moves_[attribute]; move.times != 0) {
      selected_ = static_cast<std::uint32_t>(move.value);
      if (move.times > 0) --move.times;
    }
    if (Fault& failure = failures_[attribute]; failure.times != 0) {
      if (failure.times > 0) --failure.times;
      return -failure.value;
    }
    std::string content;
    if (attribute == AppleSmcAttribute::kKeyCount) {
      content = keyCountText_.empty() ? std::to_string(reportedCount_) + "\n" : keyCountText_;
    } else if (attribute == AppleSmcAttribute::kKeyAtIndex) {
      content = std::to_string(selected_) + "\n";
    } else {
      if (selected_ >= keys_.size()) return -EINVAL;
      const FakeKey& key = keys_[selected_];
      switch (attribute) {
        case AppleSmcAttribute::kKeyAtIndexName:
          content = key.name + "\n";
          break;
        case AppleSmcAttribute::kKeyAtIndexType:
          content = key.type + "\n";
          break;
        case AppleSmcAttribute::kKeyAtIndexDataLength:
          content = std::to_string(key.value.size()) + "\n";
          break;
        default:
          content.assign(key.value.begin(), key.value.end());
          break;
      }
    }
    const std::size_t count = std::min(size, content.size());
    std::memcpy(buffer, content.data(), count);
    return static_cast<ssize_t>(count);
  }

  ssize_t write(AppleSmcAttribute attribute, const void* bytes, std::size_t size) override {
    ++operations_;
    if (attribute != AppleSmcAttribute::kKeyAtIndex || !opened_[{attribute, AppleSmcAccess::kWrite}]) return -EBADF;
    // As kstrtoul: decimal digits, optionally one newline.
    std::string text(static_cast<const char*>(bytes), size);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return -EINVAL;
    const auto index = static_cast<std::uint32_t>(std::stoul(text));
    if (index >= keys_.size()) return -EINVAL;
    selected_ = index;
    return static_cast<ssize_t>(size);
  }

  std::string describe(AppleSmcAttribute attribute) const override {
    static const std::map<AppleSmcAttribute, std::string> kFiles = {
        {AppleSmcAttribute::kKeyCount, "key_count"},
        {AppleSmcAttribute::kKeyAtIndex, "key_at_index"},
        {AppleSmcAttribute::kKeyAtIndexName, "key_at_index_name"},
        {AppleSmcAttribute::kKeyAtIndexType, "key_at_index_type"},
        {AppleSmcAttribute::kKeyAtIndexDataLength, "key_at_index_data_length"},
        {AppleSmcAttribute::kKeyAtIndexData, "key_at_index_data"},
    };
    return "/fake/applesmc.768/" + kFiles.at(attribute);
  }

 private:
  struct Fault {
    int value = 0;
    int times = 0;
  };

  std::vector<FakeKey> keys_;
  std::uint32_t reportedCount_ = 0;
  std::string keyCountText_;
  std::uint32_t selected_ = 0;
  int operations_ = 0;
  std::map<AppleSmcAttribute, Fault> moves_;
  std::map<AppleSmcAttribute, Fault> failures_;
  std::map<std::pair<AppleSmcAttribute, AppleSmcAccess>, int> refusals_;
  std::map<std::pair<AppleSmcAttribute, AppleSmcAccess>, bool> opened_;
};

// A key table shaped like an Intel Mac's (sorted here: "ALV0" first, "Th0H" last), with a value
// longer than a message carries.
std::vector<FakeKey> macKeys() {
  std::vector<std::uint8_t> light(40);
  for (std::size_t i = 0; i < light.size(); ++i) light[i] = static_cast<std::uint8_t>(0x40 + i);
  std::vector<std::uint8_t> fanId = {0x00, 0x00, 0x00, 0x00, 'M', 'a', 'i', 'n', 0, 0, 0, 0, 0, 0, 0, 0};
  return {
      {"F0Ac", "fpe2", {0x0F, 0xA0}}, {"F0ID", "{fds", fanId},       {"F0Mn", "fpe2", {0x05, 0xDC}},
      {"F0Mx", "fpe2", {0x17, 0x70}}, {"FNum", "ui8 ", {0x01}},      {"LKSB", "{lkb", {0x00, 0x01}},
      {"MSLD", "ui8 ", {0x00}},       {"TB0T", "sp78", {0x1E, 0x40}}, {"TC0P", "sp78", {0x2A, 0x80}},
      {"TG0P", "sp78", {0x30, 0x00}}, {"Th0H", "sp78", {0x28, 0x00}}, {"ALV0", "{alv", light},
  };
}

std::vector<FakeKey> sortedMacKeys() {
  std::vector<FakeKey> keys = macKeys();
  std::sort(keys.begin(), keys.end(), [](const FakeKey& a, const FakeKey& b) { return a.name < b.name; });
  return keys;
}

std::uint32_t indexOf(const std::string& name) {
  const std::vector<FakeKey> keys = sortedMacKeys();
  const auto it = std::find_if(keys.begin(), keys.end(), [&](const FakeKey& k) { return k.name == name; });
  return static_cast<std::uint32_t>(it - keys.begin());
}

SmcMessage request(SmcCommand command, const std::string& key) {
  SmcMessage message{};
  message.key = code(key);
  message.command = command;
  return message;
}

SmcMessage indexRequest(std::uint32_t index) {
  SmcMessage message{};
  message.command = kSmcKeyAtIndex;
  message.index = index;
  return message;
}

std::vector<std::uint8_t> valueBytes(const SmcMessage& reply) {
  return std::vector<std::uint8_t>(std::begin(reply.bytes), std::end(reply.bytes));
}

// The bytes a reply carries for `value`: at most 32, the rest zero.
std::vector<std::uint8_t> carried(const std::vector<std::uint8_t>& value) {
  std::vector<std::uint8_t> bytes(32, 0);
  std::copy_n(value.begin(), std::min<std::size_t>(value.size(), 32), bytes.begin());
  return bytes;
}

struct Exchange {
  int status = 0;
  SmcMessage reply{};
  std::size_t size = 0;
};

class AppleSmcTest : public ::testing::Test {
 protected:
  void SetUp() override { start(macKeys()); }

  void start(std::vector<FakeKey> keys) {
    auto files = std::make_unique<FakeDriver>(std::move(keys));
    driver_ = files.get();
    std::string why;
    smc_ = AppleSmc::open(std::move(files), &why);
    ASSERT_NE(smc_, nullptr) << why;
    ASSERT_EQ(smc_->open(&connection_), 0);
  }

  // One exchange; the reply starts filled with 0xEE so that what a failed exchange leaves shows.
  Exchange exchange(const SmcMessage& message) {
    Exchange result;
    std::memset(&result.reply, 0xEE, sizeof result.reply);
    result.size = sizeof(SmcMessage);
    result.status = smc_->call(connection_, kSmcSelector, message, &result.reply, &result.size);
    return result;
  }

  FakeDriver* driver_ = nullptr;
  std::unique_ptr<AppleSmc> smc_;
  std::uint32_t connection_ = 0;
};

TEST_F(AppleSmcTest, KeyInformationFindsEveryKeyOfTheSortedList) {
  EXPECT_EQ(connection_, 1u);
  EXPECT_EQ(smc_->keyCount(), 12u);
  // Every position of the binary search: the first key, the last, and all between.
  for (const FakeKey& key : macKeys()) {
    SCOPED_TRACE(key.name);
    const Exchange out = exchange(request(kSmcKeyInformation, key.name));
    ASSERT_EQ(out.status, 0);
    EXPECT_EQ(out.size, 80u);
    EXPECT_EQ(out.reply.result, kSmcSuccess);
    EXPECT_EQ(out.reply.key, code(key.name));
    EXPECT_EQ(out.reply.command, kSmcKeyInformation);
    EXPECT_EQ(out.reply.dataSize, key.value.size());
    EXPECT_EQ(out.reply.dataType, code(key.type));
    EXPECT_EQ(out.reply.dataAttributes, 0);
  }
}

TEST_F(AppleSmcTest, KeysNotInTheListAreNotFound) {
  // Before the first key, between two keys, next to a key, after the last.
  for (const std::string name : {"!ZZZ", "ALV1", "FAAA", "TC0Q", "zzzz"}) {
    SCOPED_TRACE(name);
    for (SmcCommand command : {kSmcKeyInformation, kSmcReadValue, kSmcWriteValue}) {
      const Exchange out = exchange(request(command, name));
      ASSERT_EQ(out.status, 0);
      EXPECT_EQ(out.reply.result, kSmcKeyNotFound);
      EXPECT_EQ(out.reply.key, code(name));
      EXPECT_EQ(out.reply.dataSize, 0u);
      EXPECT_EQ(out.reply.dataType, 0u);
      EXPECT_EQ(valueBytes(out.reply), std::vector<std::uint8_t>(32, 0));
    }
  }
}

TEST_F(AppleSmcTest, ReadValueAnswersTheKeysBytes) {
  // Read cold (no key information asked first), in the table's own order, then again.
  for (int pass = 0; pass < 2; ++pass) {
    for (const FakeKey& key : macKeys()) {
      SCOPED_TRACE(key.name);
      SmcMessage message = request(kSmcReadValue, key.name);
      message.dataSize = 2;  // the caller's count does not limit what is read
      const Exchange out = exchange(message);
      ASSERT_EQ(out.status, 0);
      EXPECT_EQ(out.reply.result, kSmcSuccess);
      EXPECT_EQ(out.reply.key, code(key.name));
      EXPECT_EQ(out.reply.dataSize, key.value.size());
      EXPECT_EQ(valueBytes(out.reply), carried(key.value));
    }
  }
}

TEST_F(AppleSmcTest, KeyAtIndexListsTheKeysInOrder) {
  const std::vector<FakeKey> keys = sortedMacKeys();
  for (std::uint32_t i = 0; i < keys.size(); ++i) {
    const Exchange out = exchange(indexRequest(i));
    ASSERT_EQ(out.status, 0);
    EXPECT_EQ(out.reply.result, kSmcSuccess);
    EXPECT_EQ(out.reply.key, code(keys[i].name)) << i;
  }
  for (std::uint32_t past : {static_cast<std::uint32_t>(keys.size()), 0xFFFFFFFFu}) {
    const Exchange out = exchange(indexRequest(past));
    ASSERT_EQ(out.status, 0);
    EXPECT_EQ(out.reply.result, kSmcKeyNotFound);
    EXPECT_EQ(out.reply.key, 0u);
  }
}

TEST_F(AppleSmcTest, IndexTheDriverRefusesIsNotFound) {
  // The SMC's "#KEY" grew past the count the driver read when it loaded: the driver refuses
  // indexes past its own count.
  auto files = std::make_unique<FakeDriver>(macKeys());
  files->showKeyCount(14);
  driver_ = files.get();
  std::string why;
  smc_ = AppleSmc::open(std::move(files), &why);
  ASSERT_NE(smc_, nullptr) << why;
  EXPECT_EQ(smc_->keyCount(), 14u);
  const Exchange out = exchange(indexRequest(12));
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.reply.result, kSmcKeyNotFound);
  EXPECT_EQ(exchange(indexRequest(11)).reply.key, code("Th0H"));
}

TEST_F(AppleSmcTest, KeyCountKeyComesFromKeyCountWhenTheListLacksIt) {
  const Exchange info = exchange(request(kSmcKeyInformation, "#KEY"));
  ASSERT_EQ(info.status, 0);
  EXPECT_EQ(info.reply.result, kSmcSuccess);
  EXPECT_EQ(info.reply.dataSize, 4u);
  EXPECT_EQ(info.reply.dataType, code("ui32"));

  const Exchange value = exchange(request(kSmcReadValue, "#KEY"));
  ASSERT_EQ(value.status, 0);
  EXPECT_EQ(value.reply.result, kSmcSuccess);
  EXPECT_EQ(valueBytes(value.reply), carried({0, 0, 0, 12}));

  // Read live: a count key_count shows later is the answer.
  driver_->showKeyCount(0x01020304);
  EXPECT_EQ(valueBytes(exchange(request(kSmcReadValue, "#KEY")).reply), carried({1, 2, 3, 4}));

  // It has no index of its own, and it cannot be written.
  EXPECT_EQ(exchange(indexRequest(0)).reply.key, code("ALV0"));
  EXPECT_EQ(exchange(request(kSmcWriteValue, "#KEY")).reply.result, kAppleSmcNotWritable);
}

TEST_F(AppleSmcTest, WritesAreRefusedAndChangeNothing) {
  SmcMessage write = request(kSmcWriteValue, "F0Mn");
  write.dataSize = 2;
  write.bytes[0] = 0x09;
  write.bytes[1] = 0xC4;
  const Exchange out = exchange(write);
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.reply.result, kAppleSmcNotWritable);
  EXPECT_NE(out.reply.result, kSmcSuccess);
  EXPECT_EQ(valueBytes(exchange(request(kSmcReadValue, "F0Mn")).reply), carried({0x05, 0xDC}));
}

TEST_F(AppleSmcTest, UnknownCommandIsAnsweredNotFailed) {
  SmcMessage message = request(kSmcReadValue, "TC0P");
  message.command = 7;
  const Exchange out = exchange(message);
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.reply.result, kAppleSmcUnknownCommand);
  EXPECT_EQ(out.reply.command, 7);
}

TEST_F(AppleSmcTest, ExchangesOutsideTheConnectionFail) {
  const SmcMessage message = request(kSmcReadValue, "TC0P");
  SmcMessage reply;
  std::memset(&reply, 0xEE, sizeof reply);
  const SmcMessage untouched = reply;

  std::size_t size = 80;
  EXPECT_EQ(smc_->call(connection_ + 1, kSmcSelector, message, &reply, &size), kSmcIOError);
  EXPECT_EQ(smc_->call(connection_, kSmcSelector + 1, message, &reply, &size), kSmcIOError);
  size = 79;
  EXPECT_EQ(smc_->call(connection_, kSmcSelector, message, &reply, &size), kSmcIOError);
  EXPECT_EQ(size, 79u);
  EXPECT_EQ(std::memcmp(&reply, &untouched, sizeof reply), 0);
  EXPECT_EQ(driver_->operations(), 1);  // only the key count read at open
}

TEST_F(AppleSmcTest, ReadIsRepeatedWhenAnotherProcessMovesTheSelectionOnce) {
  driver_->moveSelectionBefore(AppleSmcAttribute::kKeyAtIndexData, indexOf("TG0P"), 1);
  const Exchange out = exchange(request(kSmcReadValue, "TC0P"));
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.reply.result, kSmcSuccess);
  EXPECT_EQ(valueBytes(out.reply), carried({0x2A, 0x80}));

  // A move to a key with a value of another size is caught as well.
  driver_->moveSelectionBefore(AppleSmcAttribute::kKeyAtIndexData, indexOf("F0ID"), 2);
  const Exchange fan = exchange(request(kSmcReadValue, "F0Ac"));
  ASSERT_EQ(fan.status, 0);
  EXPECT_EQ(valueBytes(fan.reply), carried({0x0F, 0xA0}));
}

TEST_F(AppleSmcTest, ReadFailsRatherThanAnswerAnotherKeysBytes) {
  // Learn the key first, so that only the value reads are disturbed.
  ASSERT_EQ(exchange(request(kSmcKeyInformation, "TC0P")).status, 0);
  driver_->moveSelectionBefore(AppleSmcAttribute::kKeyAtIndexData, indexOf("TG0P"), -1);
  const Exchange out = exchange(request(kSmcReadValue, "TC0P"));
  EXPECT_EQ(out.status, kSmcIOError);
  EXPECT_EQ(out.reply.bytes[0], 0xEE);  // the output is left as it was
  EXPECT_EQ(out.reply.result, 0xEE);

  driver_->moveSelectionBefore(AppleSmcAttribute::kKeyAtIndexData, 0, 0);
  const Exchange later = exchange(request(kSmcReadValue, "TC0P"));
  ASSERT_EQ(later.status, 0);
  EXPECT_EQ(valueBytes(later.reply), carried({0x2A, 0x80}));
}

TEST_F(AppleSmcTest, SearchIsNotMisledByAnotherProcessMovingTheSelection) {
  // The first probe of a search for TG0P lands in the middle of the list; moved to the last key,
  // it would send the search below the middle and report the key missing.
  driver_->moveSelectionBefore(AppleSmcAttribute::kKeyAtIndexName, indexOf("Th0H"), 1);
  const Exchange found = exchange(request(kSmcKeyInformation, "TG0P"));
  ASSERT_EQ(found.status, 0);
  EXPECT_EQ(found.reply.result, kSmcSuccess);
  EXPECT_EQ(found.reply.dataSize, 2u);

  // Moved between the name and the type: the type is the key's own.
  driver_->moveSelectionBefore(AppleSmcAttribute::kKeyAtIndexType, indexOf("F0ID"), 1);
  const Exchange typed = exchange(request(kSmcKeyInformation, "FNum"));
  ASSERT_EQ(typed.status, 0);
  EXPECT_EQ(typed.reply.dataType, code("ui8 "));
  EXPECT_EQ(typed.reply.dataSize, 1u);

  // Moved on every read of the type: no answer rather than a wrong one, and nothing learnt.
  driver_->moveSelectionBefore(AppleSmcAttribute::kKeyAtIndexType, indexOf("F0ID"), -1);
  EXPECT_EQ(exchange(request(kSmcKeyInformation, "MSLD")).status, kSmcIOError);
  // Moved on every read of a name: the search gives up.
  driver_->moveSelectionBefore(AppleSmcAttribute::kKeyAtIndexType, 0, 0);
  driver_->moveSelectionBefore(AppleSmcAttribute::kKeyAtIndexName, indexOf("ALV0"), -1);
  EXPECT_EQ(exchange(request(kSmcKeyInformation, "MSLD")).status, kSmcIOError);
  EXPECT_EQ(exchange(indexRequest(3)).status, kSmcIOError);

  driver_->moveSelectionBefore(AppleSmcAttribute::kKeyAtIndexName, 0, 0);
  const Exchange calm = exchange(request(kSmcKeyInformation, "MSLD"));
  ASSERT_EQ(calm.status, 0);
  EXPECT_EQ(calm.reply.result, kSmcSuccess);
  EXPECT_EQ(calm.reply.dataType, code("ui8 "));
}

TEST_F(AppleSmcTest, SmcTimeOutsFailTheExchange) {
  driver_->failReads(AppleSmcAttribute::kKeyAtIndexData, EIO, 1);
  const Exchange timedOut = exchange(request(kSmcReadValue, "F0Ac"));
  EXPECT_EQ(timedOut.status, kSmcIOError);
  EXPECT_EQ(timedOut.reply.result, 0xEE);
  const Exchange next = exchange(request(kSmcReadValue, "F0Ac"));
  ASSERT_EQ(next.status, 0);
  EXPECT_EQ(valueBytes(next.reply), carried({0x0F, 0xA0}));

  // While looking a key up, and while listing.
  driver_->failReads(AppleSmcAttribute::kKeyAtIndexName, EIO, 1);
  EXPECT_EQ(exchange(request(kSmcKeyInformation, "TB0T")).status, kSmcIOError);
  EXPECT_EQ(exchange(request(kSmcKeyInformation, "TB0T")).reply.dataType, code("sp78"));
  driver_->failReads(AppleSmcAttribute::kKeyAtIndexName, EIO, 1);
  EXPECT_EQ(exchange(indexRequest(2)).status, kSmcIOError);
  driver_->failReads(AppleSmcAttribute::kKeyAtIndexDataLength, EIO, 1);
  EXPECT_EQ(exchange(request(kSmcReadValue, "TG0P")).status, kSmcIOError);
  driver_->failReads(AppleSmcAttribute::kKeyCount, EIO, 1);
  EXPECT_EQ(exchange(request(kSmcReadValue, "#KEY")).status, kSmcIOError);
}

TEST_F(AppleSmcTest, LearntKeysAreNotSearchedAgain) {
  ASSERT_EQ(exchange(request(kSmcKeyInformation, "TC0P")).status, 0);
  int before = driver_->operations();
  EXPECT_EQ(exchange(request(kSmcKeyInformation, "TC0P")).reply.dataSize, 2u);
  EXPECT_EQ(driver_->operations(), before);

  // A read of a known key: select it, read the value, read the name back.
  EXPECT_EQ(valueBytes(exchange(request(kSmcReadValue, "TC0P")).reply), carried({0x2A, 0x80}));
  EXPECT_EQ(driver_->operations(), before + 3);
  EXPECT_EQ(driver_->selected(), indexOf("TC0P"));

  // A missing key is remembered as missing.
  ASSERT_EQ(exchange(request(kSmcReadValue, "TC1P")).reply.result, kSmcKeyNotFound);
  before = driver_->operations();
  EXPECT_EQ(exchange(request(kSmcReadValue, "TC1P")).reply.result, kSmcKeyNotFound);
  EXPECT_EQ(driver_->operations(), before);
}

TEST_F(AppleSmcTest, KeysPastTheKnownTableAreStillAnswered) {
  std::vector<FakeKey> keys;
  const std::size_t count = AppleSmc::kKnownKeys + 40;
  for (std::size_t i = 0; i < count; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "K%03zu", i);
    keys.push_back({name, "ui16", {static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)}});
  }
  start(keys);
  // Asked in reverse, so that the table fills from the end of the list.
  for (std::size_t i = count; i-- > 0;) {
    const Exchange out = exchange(request(kSmcReadValue, keys[i].name));
    ASSERT_EQ(out.status, 0) << keys[i].name;
    ASSERT_EQ(valueBytes(out.reply), carried(keys[i].value)) << keys[i].name;
  }
  // The first ones asked were kept; the last ones are searched again, and still found.
  int before = driver_->operations();
  EXPECT_EQ(valueBytes(exchange(request(kSmcReadValue, keys[count - 1].name)).reply), carried(keys[count - 1].value));
  EXPECT_EQ(driver_->operations(), before + 3);
  before = driver_->operations();
  EXPECT_EQ(valueBytes(exchange(request(kSmcReadValue, keys[0].name)).reply), carried(keys[0].value));
  EXPECT_GT(driver_->operations(), before + 3);
}

TEST(AppleSmcOpenTest, FailsWithTheReason) {
  struct Case {
    const char* label;
    void (*setUp)(FakeDriver&);
    std::vector<std::string> reason;
  };
  const Case cases[] = {
      {"no right to select keys",
       [](FakeDriver& d) { d.refuseOpen(AppleSmcAttribute::kKeyAtIndex, AppleSmcAccess::kWrite, EACCES); },
       {"/fake/applesmc.768/key_at_index", "for writing", "Permission denied", "root"}},
      {"no device",
       [](FakeDriver& d) { d.refuseOpen(AppleSmcAttribute::kKeyCount, AppleSmcAccess::kRead, ENOENT); },
       {"/fake/applesmc.768/key_count", "does not exist", "not loaded"}},
      {"unreadable data",
       [](FakeDriver& d) { d.refuseOpen(AppleSmcAttribute::kKeyAtIndexData, AppleSmcAccess::kRead, EACCES); },
       {"/fake/applesmc.768/key_at_index_data", "Permission denied"}},
      {"key count times out", [](FakeDriver& d) { d.failReads(AppleSmcAttribute::kKeyCount, EIO, 1); },
       {"key count", "/fake/applesmc.768/key_count", "Input/output error"}},
      {"key count not a number", [](FakeDriver& d) { d.showKeyCountText("twelve\n"); },
       {"key count", "not a decimal number"}},
      {"key count without newline", [](FakeDriver& d) { d.showKeyCountText("12"); }, {"not a decimal number"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto files = std::make_unique<FakeDriver>(macKeys());
    c.setUp(*files);
    std::string why;
    EXPECT_EQ(AppleSmc::open(std::move(files), &why), nullptr);
    for (const std::string& part : c.reason) EXPECT_THAT(why, HasSubstr(part));
  }
  EXPECT_EQ(AppleSmc::open(std::unique_ptr<AppleSmcFiles>(), /*why=*/nullptr), nullptr);
}

// A copy of the fixture device folder in a scratch root, removed with its contents. The copy is
// written to (key_at_index), so the fixture itself is never opened.
class ScratchRoot {
 public:
  ScratchRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "trellis-applesmc-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    root_ = pattern;
    std::error_code error;
    std::filesystem::copy(TRELLIS_TEST_FIXTURES "/applesmc", root_, std::filesystem::copy_options::recursive, error);
    if (error) root_.clear();
  }
  ~ScratchRoot() {
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  const std::string& root() const { return root_; }
  std::string device(const std::string& file) const { return root_ + kAppleSmcDevicePath + "/" + file; }
  std::string contents(const std::string& file) const {
    std::ifstream in(device(file), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void replace(const std::string& file, const std::string& text) const {
    std::ofstream(device(file), std::ios::binary | std::ios::trunc) << text;
  }

 private:
  std::string root_;
};

TEST(AppleSmcPosixTest, ReadsARealDeviceFolder) {
  ScratchRoot fs;
  ASSERT_FALSE(fs.root().empty());
  std::string why;
  auto smc = AppleSmc::open(fs.root() + "/", &why);
  ASSERT_NE(smc, nullptr) << why;
  EXPECT_EQ(smc->keyCount(), 3u);
  std::uint32_t connection = 0;
  ASSERT_EQ(smc->open(&connection), 0);

  auto exchange = [&](const SmcMessage& message) {
    Exchange result;
    result.size = sizeof(SmcMessage);
    result.status = smc->call(connection, kSmcSelector, message, &result.reply, &result.size);
    return result;
  };

  // The folder's files do not follow key_at_index: every index shows TC0P.
  const Exchange listed = exchange(indexRequest(2));
  ASSERT_EQ(listed.status, 0);
  EXPECT_EQ(listed.reply.key, code("TC0P"));
  EXPECT_EQ(fs.contents("key_at_index"), "2\n");

  const Exchange info = exchange(request(kSmcKeyInformation, "TC0P"));
  ASSERT_EQ(info.status, 0);
  EXPECT_EQ(info.reply.result, kSmcSuccess);
  EXPECT_EQ(info.reply.dataSize, 2u);
  EXPECT_EQ(info.reply.dataType, code("sp78"));

  const Exchange value = exchange(request(kSmcReadValue, "TC0P"));
  ASSERT_EQ(value.status, 0);
  EXPECT_EQ(valueBytes(value.reply), carried({0x2A, 0x80}));

  // Every read starts again at the first byte: changed files give the new contents.
  fs.replace("key_at_index_data", std::string("\x2b\x40", 2));
  EXPECT_EQ(valueBytes(exchange(request(kSmcReadValue, "TC0P")).reply), carried({0x2B, 0x40}));
  EXPECT_EQ(valueBytes(exchange(request(kSmcReadValue, "#KEY")).reply), carried({0, 0, 0, 3}));
  fs.replace("key_count", "7\n");
  EXPECT_EQ(valueBytes(exchange(request(kSmcReadValue, "#KEY")).reply), carried({0, 0, 0, 7}));

  // A value that is not the key's size is not taken.
  fs.replace("key_at_index_data", std::string("\x2b", 1));
  EXPECT_EQ(exchange(request(kSmcReadValue, "TC0P")).status, kSmcIOError);
}

TEST(AppleSmcPosixTest, MissingDeviceFolderIsExplained) {
  ScratchRoot fs;
  ASSERT_FALSE(fs.root().empty());
  std::string why;
  EXPECT_EQ(AppleSmc::open(fs.root() + "/elsewhere", &why), nullptr);
  EXPECT_THAT(why, HasSubstr(fs.root() + "/elsewhere/sys/devices/platform/applesmc.768/key_count"));
  EXPECT_THAT(why, HasSubstr("applesmc driver is not loaded"));
}

TEST(AppleSmcPosixTest, ReadOnlySelectorIsRefused) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write a 0444 file; the refusal is covered by AppleSmcOpenTest";
  ScratchRoot fs;
  ASSERT_FALSE(fs.root().empty());
  ASSERT_EQ(::chmod(fs.device("key_at_index").c_str(), 0444), 0);
  std::string why;
  EXPECT_EQ(AppleSmc::open(fs.root(), &why), nullptr);
  EXPECT_THAT(why, HasSubstr("key_at_index for writing: Permission denied"));
  EXPECT_THAT(why, HasSubstr("needs root"));
}

}  // namespace
}  // namespace trellis::linux
