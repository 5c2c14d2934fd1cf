// Helpers shared by the SMC suites. Test thread only.
#include "support/smc_support.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace trellis::testing {

std::string smcKeyText(std::uint32_t code) {
  return {static_cast<char>(code >> 24), static_cast<char>(code >> 16), static_cast<char>(code >> 8),
          static_cast<char>(code)};
}

SmcMessage smcMessage(const SmcFields& fields) {
  SmcMessage message{};
  message.command = fields.command;
  message.key = fields.key.empty() ? 0 : smcFourCC(fields.key.c_str());
  message.result = fields.result;
  message.dataSize = fields.size;
  message.dataType = fields.type.empty() ? 0 : smcFourCC(fields.type.c_str());
  message.dataAttributes = fields.attributes;
  message.index = fields.index;
  for (std::size_t i = 0; i + 1 < fields.hex.size() && i / 2 < sizeof message.bytes; i += 2) {
    message.bytes[i / 2] = static_cast<std::uint8_t>(std::stoul(fields.hex.substr(i, 2), nullptr, 16));
  }
  return message;
}

std::string smcText(const SmcMessage& message) {
  auto code = [](std::uint32_t c) {
    const std::string text = smcKeyText(c);
    if (std::all_of(text.begin(), text.end(), [](char ch) { return ch >= 0x20 && ch <= 0x7E; })) return text;
    char digits[11];
    std::snprintf(digits, sizeof digits, "0x%08x", c);
    return std::string(digits);
  };
  std::size_t used = sizeof message.bytes;
  while (used > 0 && message.bytes[used - 1] == 0) --used;
  SmcMessage rest = message;
  std::memset(&rest, 0, offsetof(SmcMessage, reserved0));
  rest.dataSize = rest.dataType = rest.index = 0;
  rest.dataAttributes = rest.result = rest.command = 0;
  std::memset(rest.bytes, 0, sizeof rest.bytes);
  const SmcMessage zero{};
  return std::to_string(message.command) + " " + code(message.key) + " result " + std::to_string(message.result) +
         " size " + std::to_string(message.dataSize) + " type " + code(message.dataType) + " attr " +
         std::to_string(message.dataAttributes) + " index " + std::to_string(message.index) + " bytes " +
         hexText({message.bytes, message.bytes + used}) + (std::memcmp(&rest, &zero, sizeof rest) != 0 ? " junk" : "");
}

SmcExchange smcExchange(SmcTransport& transport, std::uint32_t connection, const SmcMessage& request) {
  SmcExchange out;
  std::memset(&out.reply, 0xEE, sizeof out.reply);
  out.status = transport.call(connection, kSmcSelector, request, &out.reply, &out.size);
  return out;
}

namespace {
std::string hex(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  char two[3];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    text += two;
  }
  return text;
}
}  // namespace

std::string smcKey(SmcTransport& transport, const std::string& key) {
  std::uint32_t connection = 0;
  EXPECT_EQ(transport.open(&connection), 0);
  const SmcExchange info = smcExchange(transport, connection, smcMessage({.command = kSmcKeyInformation, .key = key}));
  if (info.status != 0) return "failed";
  if (info.reply.result == kSmcKeyNotFound) return "missing";
  if (info.reply.result != 0) return "result " + std::to_string(info.reply.result);
  const std::uint32_t size = info.reply.dataSize;
  const SmcExchange value =
      smcExchange(transport, connection, smcMessage({.command = kSmcReadValue, .key = key, .size = size}));
  const std::string type = smcKeyText(info.reply.dataType);
  if (value.status != 0) return type + " failed";
  if (value.reply.result != 0) return type + " result " + std::to_string(value.reply.result);
  return type + " " + hex(value.reply.bytes, std::min<std::size_t>(size, sizeof value.reply.bytes));
}

std::string hexText(const std::vector<std::uint8_t>& bytes) { return hex(bytes.data(), bytes.size()); }

std::string floatHex(float value) {
  std::uint8_t bytes[4];
  std::memcpy(bytes, &value, sizeof bytes);
  return hex(bytes, sizeof bytes);
}

std::string fanIdHex(const std::string& name) {
  return "00000000" + hex(reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
}

std::string simKey(const std::string& key, const std::string& type, const std::string& hex, const std::string& more) {
  return R"({ "key": ")" + key + R"(", "type": ")" + type + R"(", "bytes": ")" + hex + "\"" + more + " }";
}

std::string printedBy(const std::function<void(std::FILE*)>& body) {
  char* text = nullptr;
  std::size_t length = 0;
  std::FILE* out = open_memstream(&text, &length);
  body(out);
  std::fclose(out);
  std::string result(text, length);
  std::free(text);
  return result;
}

std::vector<FakeAppleSmcKey> fakeMacKeys() {
  std::vector<std::uint8_t> light(40);
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

FakeAppleSmcDriver::FakeAppleSmcDriver(std::vector<FakeAppleSmcKey> list) : keys(std::move(list)) {
  std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  keyCountText = std::to_string(keys.size()) + "\n";
}

std::uint32_t FakeAppleSmcDriver::indexOf(const std::string& name) const {
  return static_cast<std::uint32_t>(
      std::find_if(keys.begin(), keys.end(), [&](const auto& k) { return k.name == name; }) - keys.begin());
}

int FakeAppleSmcDriver::open(Attribute attribute, Access access) {
  if (auto it = refusals.find({attribute, access}); it != refusals.end()) return it->second;
  // Only key_at_index has a store function (0644); the others are 0444.
  if (access == Access::kWrite && attribute != Attribute::kKeyAtIndex) return EACCES;
  opened_.insert({attribute, access});
  return 0;
}

ssize_t FakeAppleSmcDriver::read(Attribute attribute, void* buffer, std::size_t size) {
  ++operations;
  if (opened_.count({attribute, Access::kRead}) == 0) return -EBADF;
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
    const FakeAppleSmcKey& key = keys[selected];
    content = attribute == Attribute::kKeyAtIndexName         ? key.name + "\n"
              : attribute == Attribute::kKeyAtIndexType       ? key.type + "\n"
              : attribute == Attribute::kKeyAtIndexDataLength ? std::to_string(key.value.size()) + "\n"
                                                              : std::string(key.value.begin(), key.value.end());
  }
  const std::size_t count = std::min(size, content.size());
  std::memcpy(buffer, content.data(), count);
  return static_cast<ssize_t>(count);
}

ssize_t FakeAppleSmcDriver::write(Attribute attribute, const void* bytes, std::size_t size) {
  ++operations;
  if (attribute != Attribute::kKeyAtIndex || opened_.count({attribute, Access::kWrite}) == 0) return -EBADF;
  // As the driver's kstrtoul: decimal digits, optionally one newline.
  std::string_view text(static_cast<const char*>(bytes), size);
  if (text.ends_with('\n')) text.remove_suffix(1);
  std::uint32_t index = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), index);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || index >= keys.size()) return -EINVAL;
  selected = index;
  return static_cast<ssize_t>(size);
}

std::string FakeAppleSmcDriver::describe(Attribute attribute) const {
  static const char* const kFiles[] = {
      "key_count",        "key_at_index", "key_at_index_name", "key_at_index_type", "key_at_index_data_length",
      "key_at_index_data"};
  return std::string("/fake/applesmc.768/") + kFiles[static_cast<int>(attribute)];
}

InstalledSimSmc::~InstalledSimSmc() { SmcTransport::setSystem(nullptr); }

void InstalledSimSmc::install(const std::vector<std::string>& keys, bool openable) {
  std::string text = std::string(R"({ "open": )") + (openable ? "true" : "false") + R"(, "keys": [ )";
  for (std::size_t i = 0; i < keys.size(); ++i) text += (i == 0 ? "" : ", ") + keys[i];
  std::string error;
  sim_ = sim::SimSmc::parse(text + " ] }", &error);
  if (sim_ == nullptr) ADD_FAILURE() << error;
  failWhen = nullptr;
  resultWhen = nullptr;
  exchanges.clear();
  SmcTransport::setSystem(this);
}

std::vector<std::string> InstalledSimSmc::takeExchanges() {
  std::vector<std::string> out;
  out.swap(exchanges);
  return out;
}

int InstalledSimSmc::open(std::uint32_t* connection) { return sim_ ? sim_->open(connection) : kSmcIOError; }

namespace {
// Every field outside the command's own is zero, and so are a write's bytes past its size.
bool wellFormed(SmcMessage m) {
  const int command = m.command;
  if ((m.key == 0) != (command == kSmcKeyAtIndex)) return false;
  m.key = 0;
  m.command = 0;
  if (command == kSmcKeyAtIndex) m.index = 0;
  if (command == kSmcWriteValue) std::memset(m.bytes, 0, std::min<std::size_t>(m.dataSize, sizeof m.bytes));
  if (command == kSmcReadValue || command == kSmcWriteValue) m.dataSize = 0;
  const SmcMessage zero{};
  return (command == kSmcReadValue || command == kSmcWriteValue || command == kSmcKeyAtIndex ||
          command == kSmcKeyInformation) &&
         std::memcmp(&m, &zero, sizeof m) == 0;
}
}  // namespace

int InstalledSimSmc::call(std::uint32_t connection, std::uint32_t selector, const SmcMessage& input, SmcMessage* output,
                          std::size_t* outputSize) {
  const std::string key = input.key == 0 ? "#" + std::to_string(input.index) : smcKeyText(input.key);
  exchanges.push_back(std::to_string(input.command) + " " + key + " " + std::to_string(input.dataSize));
  if (selector != kSmcSelector || *outputSize != sizeof(SmcMessage) || !wellFormed(input)) {
    ADD_FAILURE() << "a request with fields outside its command's: " << exchanges.back();
  }
  if (failWhen && failWhen(input.command, key)) return kSmcIOError;
  if (const std::uint8_t result = resultWhen ? resultWhen(input.command, key) : 0; result != 0) {
    *output = SmcMessage{};
    output->result = result;
    output->command = input.command;
    output->key = input.key;
    return 0;
  }
  return sim_->call(connection, selector, input, output, outputSize);
}

}  // namespace trellis::testing
