// Helpers shared by the SMC suites. Test thread only.
#include "support/service_setters.h"
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

InstalledSimSmc::~InstalledSimSmc() { setService(&Services::smc, noSmc()); }

void InstalledSimSmc::install(const std::vector<std::string>& keys, bool openable) {
  std::string text = std::string(R"({ "open": )") + (openable ? "true" : "false") + R"(, "keys": [ )";
  for (std::size_t i = 0; i < keys.size(); ++i) text += (i == 0 ? "" : ", ") + keys[i];
  std::string error;
  sim_ = sim::SimSmc::parse(text + " ] }", &error);
  if (sim_ == nullptr) ADD_FAILURE() << error;
  failWhen = nullptr;
  resultWhen = nullptr;
  exchanges.clear();
  setService(&Services::smc, this);
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
