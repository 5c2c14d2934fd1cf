#include "cli/smc_commands.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <memory>

#include "cli/command_set.h"

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

std::string smcReadJson(const SmcKeyValue& value) {
  // A float key may hold NaN or an infinity, which JSON has no number for.
  const float number = SmcValueToFloat(value);
  return "{\"key\": " + jsonText(value.key) + ", \"type\": " + jsonText(value.dataType) +
         ", \"size\": " + std::to_string(value.dataSize) + ", \"bytes\": \"" + hex(value.bytes, value.dataSize) +
         "\", \"value\": " + (std::isfinite(number) ? shortest(number) : std::string("null")) + "}";
}

std::string smcReadText(const SmcKeyValue& value) {
  return std::string(value.key) + "  " + (value.dataType[0] != '\0' ? value.dataType : "----") + "  " +
         std::to_string(value.dataSize) + (value.dataSize == 1 ? " byte  " : " bytes  ") +
         hex(value.bytes, value.dataSize) + "  " + shortest(SmcValueToFloat(value));
}

int smcInfo(const lnx::LinuxServices& platform) {
  std::printf("%s\n", platform.smcDescription().c_str());
  return 0;
}

int smcKeys(const lnx::LinuxServices& platform) {
  if (TlxOpen() != 0) {
    std::fprintf(stderr, "trellis: no SMC connection (%s)\n", platform.smcDescription().c_str());
    return 1;
  }
  TlxListKeys();
  std::fflush(stdout);
  return 0;
}

int smcRead(const lnx::LinuxServices& platform, const std::string& key, bool json) {
  if (TlxOpen() != 0) {
    std::fprintf(stderr, "trellis: no SMC connection (%s)\n", platform.smcDescription().c_str());
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

void addSmcCommands(CLI::App& app, CommandSet& commands) {
  struct SmcOptions {
    std::string smc = "auto";
    std::string root = "/";
    std::string key;
    bool json = false;
  };
  auto options = std::make_shared<SmcOptions>();
  auto* smc = app.add_subcommand("smc", "read the SMC (or what stands in for it on this machine)");
  smc->require_subcommand(1);
  auto* info = smc->add_subcommand("info", "say which SMC transport --smc gives here, and why");
  auto* keys = smc->add_subcommand("keys", "list every key with its size, type and value");
  auto* read = smc->add_subcommand("read", "read one key");
  read->add_option("key", options->key, "the four-character key, e.g. TC0P")->required();
  read->add_flag("--json", options->json, "print the reading as a JSON object");
  for (auto* sub : {smc, info, keys, read}) {
    sub->add_option("--smc", options->smc, "auto, hwmon, applesmc, sim:PATH or none")->capture_default_str();
    sub->add_option("--root", options->root, "read sysfs under this folder")->capture_default_str();
  }

  const auto needs = [options] {
    Needs needs;
    needs.services.root = options->root;
    needs.services.smc = options->smc;
    return needs;
  };
  commands.add(info, {.needs = needs, .run = [](Platform& platform) { return smcInfo(platform.built); }});
  commands.add(keys, {.needs = needs, .run = [](Platform& platform) { return smcKeys(platform.built); }});
  commands.add(read, {.check = [options]() -> std::optional<int> {
                        if (options->key.size() == 4) return std::nullopt;
                        std::fprintf(stderr, "trellis: an SMC key is four characters, not '%s'\n",
                                     options->key.c_str());
                        return 2;
                      },
                      .needs = needs,
                      .run = [options](Platform& platform) {
                        return smcRead(platform.built, options->key, options->json);
                      }});
}

}  // namespace trellis::cli
