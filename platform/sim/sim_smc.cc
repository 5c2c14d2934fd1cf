// The simulated SMC: loading and checking a key file, and answering messages from the table it
// builds. Loading runs wherever it is called; a loaded transport is used from one thread at a
// time. nlohmann-json's exceptions are caught here and turned into messages.
#include "platform/sim/sim_smc.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

#include <nlohmann/json.hpp>

namespace trellis::sim {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxValueBytes = 32;
// A key table is a few kilobytes; anything this large is not one.
constexpr std::size_t kMaxTableBytes = 4 * 1024 * 1024;

// A key as checked, before the transport that will hold it exists.
struct ParsedKey {
  SmcKeyTable::Entry entry;
  std::size_t valuesOffset = 0;  // into the concatenated "values" bytes
  std::uint32_t valuesCount = 0;
  bool loop = false;
};

int readSequence(void* context, std::uint32_t /*key*/, std::uint8_t* out, std::uint8_t size) {
  auto* sequence = static_cast<SimSmc::Sequence*>(context);
  std::memcpy(out, sequence->values + static_cast<std::size_t>(sequence->next) * sequence->size,
              size < sequence->size ? size : sequence->size);
  if (sequence->next + 1 < sequence->count) {
    ++sequence->next;
  } else if (sequence->loop) {
    sequence->next = 0;
  }
  return 0;
}

// "line L, column C" of the byte at `position` (0-based; the end of the text when past it).
std::string lineAndColumn(std::string_view text, std::size_t position) {
  if (position > text.size()) position = text.size();
  std::size_t line = 1;
  std::size_t lineStart = 0;
  for (std::size_t i = 0; i < position; ++i) {
    if (text[i] == '\n') {
      ++line;
      lineStart = i + 1;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(position - lineStart + 1);
}

// nlohmann's message without its own prefix and position ("[json.exception.parse_error.101]
// parse error at line 1, column 2: "), which count differently from ours.
std::string syntaxDetail(const char* what) {
  std::string_view message(what);
  const std::size_t start = message.find("parse error");
  if (start != std::string_view::npos) {
    const std::size_t colon = message.find(": ", start);
    if (colon != std::string_view::npos) return std::string(message.substr(colon + 2));
  }
  return std::string(message);
}

bool isPrintableFourCC(const std::string& text) {
  if (text.size() != 4) return false;
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes a hex value of 1..32 bytes into `out`; returns its size, or 0 with `*error` set.
std::size_t parseHex(const json& value, std::uint8_t* out, std::string* error) {
  if (!value.is_string()) {
    *error = "expected a string of hex digits";
    return 0;
  }
  const std::string& text = value.get_ref<const std::string&>();
  if (text.empty()) {
    *error = "empty value (a key has 1 to 32 bytes)";
    return 0;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (hexDigit(text[i]) < 0) {
      *error = "not a hex digit at position " + std::to_string(i + 1);
      return 0;
    }
  }
  if (text.size() % 2 != 0) {
    *error = "odd number of hex digits";
    return 0;
  }
  const std::size_t size = text.size() / 2;
  if (size > kMaxValueBytes) {
    *error = std::to_string(size) + " bytes (a key has at most 32)";
    return 0;
  }
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = static_cast<std::uint8_t>(hexDigit(text[2 * i]) << 4 | hexDigit(text[2 * i + 1]));
  }
  return size;
}

class Checker {
 public:
  // Checks the whole document; false with `*error` set at the first fault.
  bool check(const json& document, std::string* error) {
    error_ = error;
    if (!document.is_object()) return fail("top level", "expected an object");
    if (auto open = document.find("open"); open != document.end()) {
      if (!open->is_boolean()) return fail("open", "expected true or false");
      openable_ = open->get<bool>();
    }
    auto keys = document.find("keys");
    if (keys == document.end()) return fail("keys", "missing");
    if (!keys->is_array()) return fail("keys", "expected an array");
    std::map<std::uint32_t, std::size_t> seen;  // key code -> index of its first appearance
    for (std::size_t i = 0; i < keys->size(); ++i) {
      const std::string where = "keys[" + std::to_string(i) + "]";
      if (!checkKey((*keys)[i], where)) return false;
      const std::uint32_t code = parsed_.back().entry.key;
      if (auto [it, inserted] = seen.emplace(code, i); !inserted) {
        return fail(where + ".key", "duplicate key \"" + (*keys)[i]["key"].get<std::string>() + "\" (also keys[" +
                                        std::to_string(it->second) + "])");
      }
    }
    return true;
  }

  bool openable() const { return openable_; }
  std::vector<ParsedKey>& keys() { return parsed_; }
  std::vector<std::uint8_t>& valueBytes() { return valueBytes_; }

 private:
  bool fail(const std::string& where, const std::string& what) {
    if (error_ != nullptr) *error_ = where + ": " + what;
    return false;
  }

  bool checkKey(const json& object, const std::string& where) {
    if (!object.is_object()) return fail(where, "expected an object");
    ParsedKey parsed;
    SmcKeyTable::Entry& entry = parsed.entry;
    entry.writable = true;

    std::uint32_t codes[2] = {};
    const char* const names[2] = {"key", "type"};
    for (int f = 0; f < 2; ++f) {
      auto field = object.find(names[f]);
      if (field == object.end()) return fail(where + "." + names[f], "missing");
      if (!field->is_string() || !isPrintableFourCC(field->get_ref<const std::string&>())) {
        return fail(where + "." + names[f], "expected exactly four printable ASCII characters");
      }
      codes[f] = smcFourCC(field->get_ref<const std::string&>().c_str());
    }
    entry.key = codes[0];
    entry.type = codes[1];
    if (entry.key == smcFourCC("#KEY")) {
      return fail(where + ".key", "\"#KEY\" is the number of keys and is added by itself");
    }

    auto bytes = object.find("bytes");
    if (bytes == object.end()) return fail(where + ".bytes", "missing");
    std::string problem;
    const std::size_t size = parseHex(*bytes, entry.bytes, &problem);
    if (size == 0) return fail(where + ".bytes", problem);
    entry.size = static_cast<std::uint8_t>(size);

    if (auto values = object.find("values"); values != object.end()) {
      if (!values->is_array()) return fail(where + ".values", "expected an array of hex values");
      if (values->empty()) return fail(where + ".values", "empty (leave it out for a fixed value)");
      parsed.valuesOffset = valueBytes_.size();
      for (std::size_t v = 0; v < values->size(); ++v) {
        const std::string at = where + ".values[" + std::to_string(v) + "]";
        std::uint8_t value[kMaxValueBytes];
        const std::size_t valueSize = parseHex((*values)[v], value, &problem);
        if (valueSize == 0) return fail(at, problem);
        if (valueSize != size) {
          return fail(at, std::to_string(valueSize) + " bytes, but the key has " + std::to_string(size));
        }
        valueBytes_.insert(valueBytes_.end(), value, value + valueSize);
      }
      parsed.valuesCount = static_cast<std::uint32_t>(values->size());
    }
    if (auto loop = object.find("loop"); loop != object.end()) {
      if (!loop->is_boolean()) return fail(where + ".loop", "expected true or false");
      if (parsed.valuesCount == 0) return fail(where + ".loop", "needs \"values\" to loop over");
      parsed.loop = loop->get<bool>();
    }

    if (auto result = object.find("result"); result != object.end()) {
      if (!result->is_number_integer()) return fail(where + ".result", "expected an integer from 1 to 255");
      const bool inRange = result->is_number_unsigned() && result->get<std::uint64_t>() >= 1 &&
                           result->get<std::uint64_t>() <= 255;
      if (!inRange) return fail(where + ".result", "expected an integer from 1 to 255");
      entry.result = static_cast<std::uint8_t>(result->get<std::uint64_t>());
    }

    if (auto failCode = object.find("fail"); failCode != object.end()) {
      constexpr const char* kExpected = "expected a non-zero 32-bit integer";
      if (!failCode->is_number_integer()) return fail(where + ".fail", kExpected);
      std::int64_t code = 0;
      if (failCode->is_number_unsigned()) {
        const std::uint64_t u = failCode->get<std::uint64_t>();
        if (u > std::numeric_limits<std::uint32_t>::max()) return fail(where + ".fail", kExpected);
        code = static_cast<std::int64_t>(u);
      } else {
        code = failCode->get<std::int64_t>();
        if (code < std::numeric_limits<std::int32_t>::min()) return fail(where + ".fail", kExpected);
      }
      if (code == 0) return fail(where + ".fail", kExpected);
      entry.fail = static_cast<int>(static_cast<std::uint32_t>(code));
    }

    parsed_.push_back(parsed);
    return true;
  }

  std::string* error_ = nullptr;
  bool openable_ = true;
  std::vector<ParsedKey> parsed_;
  std::vector<std::uint8_t> valueBytes_;
};

}  // namespace

std::unique_ptr<SimSmc> SimSmc::parse(std::string_view text, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  Checker checker;
  try {
    const json document = json::parse(text.begin(), text.end());
    if (!checker.check(document, error)) return nullptr;
  } catch (const json::parse_error& e) {
    // `byte` counts from 1 and points at the character that could not be taken.
    *error = lineAndColumn(text, e.byte > 0 ? e.byte - 1 : 0) + ": " + syntaxDetail(e.what());
    return nullptr;
  } catch (const std::exception& e) {
    *error = std::string("cannot read the key table: ") + e.what();
    return nullptr;
  }

  std::unique_ptr<SimSmc> smc(new SimSmc());
  smc->openable_ = checker.openable();
  smc->valueBytes_ = std::move(checker.valueBytes());
  std::size_t sequenceCount = 0;
  for (const ParsedKey& key : checker.keys()) sequenceCount += key.valuesCount > 0 ? 1 : 0;
  smc->sequences_.reserve(sequenceCount);
  for (ParsedKey& key : checker.keys()) {
    if (key.valuesCount > 0) {
      Sequence sequence;
      sequence.values = smc->valueBytes_.data() + key.valuesOffset;
      sequence.count = key.valuesCount;
      sequence.size = key.entry.size;
      sequence.loop = key.loop;
      smc->sequences_.push_back(sequence);
      key.entry.reader = &readSequence;
      key.entry.context = &smc->sequences_.back();
    }
    smc->table_.add(key.entry);
  }
  smc->table_.finish();
  return smc;
}

std::unique_ptr<SimSmc> SimSmc::load(const std::string& path, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  // Without blocking, so that a FIFO is refused rather than waited on.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat status {};
  std::string text;
  int readErrno = ::fstat(fd, &status) != 0 ? errno : 0;
  if (readErrno == 0 && !S_ISREG(status.st_mode)) {
    ::close(fd);
    *error = path + ": not a regular file";
    return nullptr;
  }
  // Read to the end, never more than the cap: the size may change while the file is read.
  char chunk[16384];
  while (readErrno == 0 && text.size() <= kMaxTableBytes) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      text.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      readErrno = errno;
    }
  }
  ::close(fd);
  if (readErrno != 0) {
    *error = path + ": " + std::strerror(readErrno);
    return nullptr;
  }
  if (text.size() > kMaxTableBytes) {
    *error = path + ": larger than " + std::to_string(kMaxTableBytes / (1024 * 1024)) + " MiB: not a key table";
    return nullptr;
  }
  std::unique_ptr<SimSmc> smc = parse(text, error);
  if (smc == nullptr) *error = path + ": " + *error;
  return smc;
}

int SimSmc::open(std::uint32_t* connection) {
  if (!openable_ || connection == nullptr) return kSmcIOError;
  *connection = kConnection;
  return 0;
}

int SimSmc::call(std::uint32_t connection, std::uint32_t selector, const SmcMessage& input, SmcMessage* output,
                 std::size_t* outputSize) {
  if (selector != kSmcSelector || connection != kConnection || !openable_ || output == nullptr ||
      outputSize == nullptr || *outputSize < sizeof(SmcMessage)) {
    return kSmcIOError;
  }
  const int rc = table_.answer(input, output);
  *outputSize = sizeof(SmcMessage);
  // A written value stands from then on, in place of the rest of the key's sequence.
  if (rc == 0 && input.command == kSmcWriteValue && output->result == kSmcSuccess) {
    if (SmcKeyTable::Entry* entry = table_.find(input.key)) entry->reader = nullptr;
  }
  return rc;
}

}  // namespace trellis::sim
