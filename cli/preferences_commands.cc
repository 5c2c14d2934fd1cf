// `trellis defaults write|read|delete` over the typed preferences store, and `trellis purge`.
// Main thread only.
#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cli/command_set.h"
#include "platform/linux/system/preferences_storage.h"
#include "tools/kw_hardware_tool.h"
#include "tools/kw_tools.h"
#include "tools/kw_user_defaults.h"

namespace trellis::cli {

namespace {

struct DefaultsOptions {
  std::string key;
  std::string value;
  std::string type = "string";
  std::string group;
  CLI::Option* groupOption = nullptr;
};

const std::vector<std::string> kTypes = {"int", "float", "double", "bool", "string", "url", "data"};

int usage(const std::string& message) {
  std::fprintf(stderr, "trellis: %s\n", message.c_str());
  return 2;
}

int storeFailed(const DefaultsOptions& options) {
  const std::string reason = lnx::lastPreferencesFailure();
  std::fprintf(stderr, "trellis: could not store the change to %s in %s%s%s\n", options.key.c_str(),
               lnx::defaultPreferencesFolder().c_str(), reason.empty() ? "" : ": ", reason.c_str());
  return 1;
}

// The standard store, or the named group's (registered on the way); nullptr and a message for a
// group name that cannot be used.
std::shared_ptr<PreferencesStore> storeFor(const DefaultsOptions& options) {
  KwUserDefaults& defaults = KwUserDefaults::share();
  if (options.groupOption == nullptr || options.groupOption->count() == 0) return defaults.userDefaults();
  std::shared_ptr<PreferencesStore> store = defaults.addGroupWithName(options.group);
  if (!store) std::fprintf(stderr, "trellis: %s cannot be used as a group name\n", options.group.c_str());
  return store;
}

template <class T>
std::optional<T> wholeNumber(std::string_view text) {
  T number{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return number;
}

template <class T>
std::string shortest(T number) {
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, number);
  return error == std::errc() ? std::string(buffer, end) : std::string();
}

std::optional<bool> truth(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (text == "true" || text == "yes" || text == "1") return true;
  if (text == "false" || text == "no" || text == "0") return false;
  return std::nullopt;
}

std::optional<Bytes> fromHex(std::string_view text) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]);
    const int low = digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return bytes;
}

std::string toHex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0f]);
  }
  return text;
}

int defaultsWrite(const DefaultsOptions& options) {
  std::shared_ptr<PreferencesStore> store = storeFor(options);
  if (!store) return 2;
  if (!isValidUtf8(options.key)) return usage("the key is not UTF-8");
  const std::string& text = options.value;
  bool stored = false;
  if (options.type == "int") {
    std::optional<std::int64_t> number = wholeNumber<std::int64_t>(text);
    if (!number) return usage("not a 64-bit integer: " + text);
    stored = store->setInteger(*number, options.key);
  } else if (options.type == "float") {
    std::optional<float> number = wholeNumber<float>(text);
    if (!number) return usage("not a number: " + text);
    stored = store->setFloat(*number, options.key);
  } else if (options.type == "double") {
    std::optional<double> number = wholeNumber<double>(text);
    if (!number) return usage("not a number: " + text);
    stored = store->setDouble(*number, options.key);
  } else if (options.type == "bool") {
    std::optional<bool> value = truth(text);
    if (!value) return usage("not a boolean (true, false, yes, no, 1, 0): " + text);
    stored = store->setBool(*value, options.key);
  } else if (options.type == "url") {
    if (text.empty()) return usage("an empty URL (use `trellis defaults delete` to remove a key)");
    stored = store->setURL(text, options.key);
  } else if (options.type == "data") {
    std::optional<Bytes> bytes = fromHex(text);
    if (!bytes) return usage("data must be given as hex digits, two a byte: " + text);
    stored = store->setObject(Value(std::move(*bytes)), options.key);
  } else {
    if (!isValidUtf8(text)) return usage("the text is not UTF-8");
    stored = store->setObject(Value(text), options.key);
  }
  return stored ? 0 : storeFailed(options);
}

int printLine(const std::string& text) {
  std::printf("%s\n", text.c_str());
  return 0;
}

// Kinds whose missing result is nothing print nothing and end with status 1.
int printOptional(const std::optional<std::string>& text) { return text ? printLine(*text) : 1; }

int defaultsRead(const DefaultsOptions& options) {
  std::shared_ptr<PreferencesStore> store = storeFor(options);
  if (!store) return 2;
  const std::string& key = options.key;
  if (options.type == "int") return printLine(std::to_string(store->integerForKey(key)));
  if (options.type == "float") return printLine(shortest(store->floatForKey(key)));
  if (options.type == "double") return printLine(shortest(store->doubleForKey(key)));
  if (options.type == "bool") return printLine(store->boolForKey(key) ? "true" : "false");
  if (options.type == "url") return printOptional(store->URLForKey(key));
  if (options.type == "data") {
    std::optional<Bytes> bytes = store->dataForKey(key);
    return printOptional(bytes ? std::optional<std::string>(toHex(*bytes)) : std::nullopt);
  }
  return printOptional(store->stringForKey(key));
}

int defaultsDelete(const DefaultsOptions& options) {
  std::shared_ptr<PreferencesStore> store = storeFor(options);
  if (!store) return 2;
  return store->removeObjectForKey(options.key) ? 0 : storeFailed(options);
}

}  // namespace

void addPreferencesCommands(CLI::App& app, CommandSet& commands) {
  auto* defaults = app.add_subcommand(
      "defaults", "read and write the typed preferences store ($XDG_CONFIG_HOME/trellis, else ~/.config/trellis)");
  defaults->require_subcommand(1);

  auto add = [&](const char* name, const char* description, bool withValue, bool withType,
                 int (*run)(const DefaultsOptions&)) {
    auto options = std::make_shared<DefaultsOptions>();
    CLI::App* command = defaults->add_subcommand(name, description);
    command->add_option("key", options->key, "the preference key")->required();
    if (withValue) {
      command->add_option("value", options->value, "the value (data: hex digits, two a byte)")->required();
    }
    if (withType) {
      command->add_option("--type", options->type, "the value's kind")->check(CLI::IsMember(kTypes))->capture_default_str();
    }
    options->groupOption = command->add_option("--group", options->group, "use this group (suite) instead of the standard domain");
    commands.add(command, {.run = [options, run](Platform&) { return run(*options); }});
  };
  add("write", "store VALUE under KEY", /*withValue=*/true, /*withType=*/true, defaultsWrite);
  add("read",
      "print the value of KEY read as the given kind; a missing number prints 0, a missing boolean false, a "
      "missing text, URL or data prints nothing and ends with status 1",
      /*withValue=*/false, /*withType=*/true, defaultsRead);
  add("delete", "remove KEY", /*withValue=*/false, /*withType=*/false, defaultsDelete);

  auto* purge = app.add_subcommand("purge", "free memory now and print how much free memory grew (takes a few seconds)");
  commands.add(purge, {.run = [](Platform&) {
                         return printLine(KwTools::bytesToString(KwHardwareTool::purgeRAM()));
                       }});
}

}  // namespace trellis::cli
