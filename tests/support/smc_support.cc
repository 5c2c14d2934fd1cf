// Helpers shared by the SMC suites. Test thread only.
#include "support/service_setters.h"
#include "support/smc_support.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace trellis::testing {

SmcKeyTable::Entry smcEntry(const char* key, const char* type, const std::vector<std::uint8_t>& bytes) {
  SmcKeyTable::Entry entry;
  entry.key = smcFourCC(key);
  entry.type = smcFourCC(type);
  entry.size = static_cast<std::uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), entry.bytes);
  return entry;
}

SmcMessage smcRequest(std::uint8_t command, const std::string& key) {
  SmcMessage message{};
  message.command = command;
  for (std::size_t i = 0; i < 4 && i < key.size(); ++i) {
    message.key |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(key[i])) << (8 * (3 - i));
  }
  return message;
}

SmcMessage smcIndexRequest(std::uint32_t index) {
  SmcMessage message{};
  message.command = kSmcKeyAtIndex;
  message.index = index;
  return message;
}

std::string smcKeyText(std::uint32_t code) {
  return {static_cast<char>(code >> 24), static_cast<char>(code >> 16), static_cast<char>(code >> 8),
          static_cast<char>(code)};
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
  const SmcExchange info = smcExchange(transport, connection, smcRequest(kSmcKeyInformation, key));
  if (info.status != 0) return "failed";
  EXPECT_EQ(info.size, sizeof(SmcMessage)) << key;
  EXPECT_EQ(smcKeyText(info.reply.key) + " " + std::to_string(info.reply.command), key + " 9");
  EXPECT_EQ(info.reply.dataAttributes, 0) << key;
  if (info.reply.result == kSmcKeyNotFound) return "missing";
  if (info.reply.result != 0) return "result " + std::to_string(info.reply.result);
  SmcMessage request = smcRequest(kSmcReadValue, key);
  request.dataSize = info.reply.dataSize;
  const SmcExchange value = smcExchange(transport, connection, request);
  const std::string type = smcKeyText(info.reply.dataType);
  if (value.status != 0) return type + " failed";
  EXPECT_EQ(smcKeyText(value.reply.key) + " " + std::to_string(value.reply.command), key + " 5");
  EXPECT_EQ(value.reply.dataSize, info.reply.dataSize) << key;
  if (value.reply.result != 0) return type + " result " + std::to_string(value.reply.result);
  return type + " " + hex(value.reply.bytes, std::min<std::size_t>(info.reply.dataSize, sizeof value.reply.bytes));
}

void expectForeignCallsRefused(SmcTransport& transport, std::uint32_t connection) {
  SmcMessage request = smcRequest(kSmcReadValue, "TC0P");
  request.dataSize = 2;
  SmcMessage reply;
  std::memset(&reply, 0xEE, sizeof reply);
  const SmcMessage untouched = reply;
  std::size_t size = sizeof reply;
  EXPECT_EQ(transport.call(connection + 1, kSmcSelector, request, &reply, &size), kSmcIOError) << "another connection";
  EXPECT_EQ(transport.call(connection, kSmcSelector + 1, request, &reply, &size), kSmcIOError) << "another selector";
  size = sizeof reply - 1;
  EXPECT_EQ(transport.call(connection, kSmcSelector, request, &reply, &size), kSmcIOError) << "a short reply buffer";
  EXPECT_EQ(size, sizeof reply - 1);
  EXPECT_EQ(std::memcmp(&reply, &untouched, sizeof reply), 0);
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

InstalledSimSmc::~InstalledSimSmc() { testing::setService(&Services::smc, testing::noSmc()); }

void InstalledSimSmc::install(const std::vector<std::string>& keys, bool openable) {
  std::string text = std::string(R"({ "open": )") + (openable ? "true" : "false") + R"(, "keys": [ )";
  for (std::size_t i = 0; i < keys.size(); ++i) text += (i == 0 ? "" : ", ") + keys[i];
  std::string error;
  sim_ = sim::SimSmc::parse(text + " ] }", &error);
  if (sim_ == nullptr) ADD_FAILURE() << error;
  failWhen = nullptr;
  resultWhen = nullptr;
  exchanges.clear();
  testing::setService(&Services::smc, this);
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
