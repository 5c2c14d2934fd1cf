#include "cli/smc_commands.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "base/services.h"
#include "platform/linux/sensors/smc_choice.h"

namespace trellis::cli {

namespace {

std::string hex(const std::uint8_t* bytes, std::uint32_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::uint32_t i = 0; i < size && i < 32; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0xF];
  }
  return text;
}

// The shortest text that reads back as the same float.
std::string shortest(float value) {
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec != std::errc()) return "0";
  return std::string(buffer, end);
}

std::string jsonText(const char* text) {
  std::string quoted = "\"";
  for (const char* p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      quoted += escaped;
    } else {
      quoted += static_cast<char>(c);
    }
  }
  return quoted + "\"";
}

}  // namespace

bool installSmcTransport(const std::string& spec, const std::string& root, std::string* description,
                         const SmcTransport** transport) {
  std::string error;
  auto choice = lnx::chooseSmcTransport(spec, root, &error);
  if (!choice) {
    std::fprintf(stderr, "trellis: %s\n", error.c_str());
    return false;
  }
  if (description != nullptr) *description = choice->description;
  // The connection is process-wide and lives until the process ends, and so does its transport;
  // one chosen again (tests choose several in one process) replaces the last.
  static std::unique_ptr<SmcTransport> installed;
  static std::unique_ptr<ScopedServices> scope;
  scope.reset();
  const bool none = choice->transport == nullptr;
  installed = none ? std::make_unique<NoSmc>() : std::move(choice->transport);
  scope = std::make_unique<ScopedServices>([](Services& services) { services.smc = installed.get(); });
  if (transport != nullptr) *transport = none ? nullptr : installed.get();
  return true;
}

std::string smcReadJson(const SmcKeyValue& value) {
  return "{\"key\": " + jsonText(value.key) + ", \"type\": " + jsonText(value.dataType) +
         ", \"size\": " + std::to_string(value.dataSize) + ", \"bytes\": \"" + hex(value.bytes, value.dataSize) +
         "\", \"value\": " + shortest(SmcValueToFloat(value)) + "}";
}

std::string smcReadText(const SmcKeyValue& value) {
  return std::string(value.key) + "  " + (value.dataType[0] != '\0' ? value.dataType : "----") + "  " +
         std::to_string(value.dataSize) + (value.dataSize == 1 ? " byte  " : " bytes  ") +
         hex(value.bytes, value.dataSize) + "  " + shortest(SmcValueToFloat(value));
}

int smcInfo(const std::string& spec, const std::string& root) {
  std::string description;
  if (!installSmcTransport(spec, root, &description)) return 1;
  std::printf("%s\n", description.c_str());
  return 0;
}

int smcKeys(const std::string& spec, const std::string& root) {
  std::string description;
  if (!installSmcTransport(spec, root, &description)) return 1;
  if (TlxOpen() != 0) {
    std::fprintf(stderr, "trellis: no SMC connection (%s)\n", description.c_str());
    return 1;
  }
  TlxListKeys();
  std::fflush(stdout);
  return 0;
}

int smcRead(const std::string& spec, const std::string& root, const std::string& key, bool json) {
  if (key.size() != 4) {
    std::fprintf(stderr, "trellis: an SMC key is four characters, not '%s'\n", key.c_str());
    return 2;
  }
  std::string description;
  if (!installSmcTransport(spec, root, &description)) return 1;
  if (TlxOpen() != 0) {
    std::fprintf(stderr, "trellis: no SMC connection (%s)\n", description.c_str());
    return 1;
  }
  SmcKeyValue value;
  int status = SmcReadKey(key.c_str(), &value, TlxConnection());
  if (status != 0) {
    std::fprintf(stderr, "trellis: reading %s failed: the exchange returned 0x%08" PRIx32 "\n", key.c_str(),
                 static_cast<std::uint32_t>(status));
    return 1;
  }
  if (value.dataSize == 0) {
    // The SMC answered, but with no value: it has no such key.
    std::fprintf(stderr, "trellis: the SMC has no key %s\n", key.c_str());
    return 1;
  }
  std::printf("%s\n", json ? smcReadJson(value).c_str() : smcReadText(value).c_str());
  return 0;
}

}  // namespace trellis::cli
