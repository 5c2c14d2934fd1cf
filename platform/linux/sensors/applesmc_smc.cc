// The SMC through the applesmc driver's raw key files. One thread at a time; the key_at_index
// selector is shared with every other process, so each answer is checked after it is read (see
// the header). EINTR is retried in `retryOnEintr` only.
#include "platform/linux/sensors/applesmc_smc.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/linux/io/eintr.h"
#include "platform/linux/io/file_contents.h"
#include "platform/linux/io/paths.h"
#include "platform/linux/io/text_parsing.h"

namespace trellis::lnx {

namespace {

constexpr std::uint32_t kConnection = 1;
// How many times an answer spoilt by another process moving key_at_index is asked for.
constexpr int kAttempts = 3;
// Internal outcome of an index the driver refuses (its key count differs from the one read).
constexpr int kIndexRefused = 1;
constexpr std::uint32_t kKeyCountKey = smcKeyCode("#KEY");
constexpr std::uint32_t kUi32Type = smcKeyCode("ui32");
constexpr std::size_t kValueCapacity = sizeof(SmcMessage::bytes);

const char* attributeFile(AppleSmcAttribute attribute) {
  switch (attribute) {
    case AppleSmcAttribute::kKeyCount:
      return "key_count";
    case AppleSmcAttribute::kKeyAtIndex:
      return "key_at_index";
    case AppleSmcAttribute::kKeyAtIndexName:
      return "key_at_index_name";
    case AppleSmcAttribute::kKeyAtIndexType:
      return "key_at_index_type";
    case AppleSmcAttribute::kKeyAtIndexDataLength:
      return "key_at_index_data_length";
    case AppleSmcAttribute::kKeyAtIndexData:
      return "key_at_index_data";
  }
  return "?";
}

class PosixAppleSmcFiles final : public AppleSmcFiles {
 public:
  explicit PosixAppleSmcFiles(std::string directory) : directory_(std::move(directory)) { fds_.fill(-1); }
  ~PosixAppleSmcFiles() override {
    // Not retried on EINTR: Linux releases the descriptor even when close reports it.
    for (int fd : fds_) {
      if (fd >= 0) (void)::close(fd);
    }
  }
  PosixAppleSmcFiles(const PosixAppleSmcFiles&) = delete;
  PosixAppleSmcFiles& operator=(const PosixAppleSmcFiles&) = delete;

  int open(AppleSmcAttribute attribute, AppleSmcAccess access) override {
    int& slot = fds_[slotOf(attribute, access)];
    if (slot >= 0) return 0;
    const std::string path = describe(attribute);
    const int flags = (access == AppleSmcAccess::kWrite ? O_WRONLY : O_RDONLY) | O_CLOEXEC;
    const int fd = retryOnEintr([&] { return ::open(path.c_str(), flags); });
    if (fd < 0) return errno;
    slot = fd;
    return 0;
  }

  ssize_t read(AppleSmcAttribute attribute, void* buffer, std::size_t size) override {
    const int fd = fds_[slotOf(attribute, AppleSmcAccess::kRead)];
    if (fd < 0) return -EBADF;
    const ssize_t count = readFromStart(fd, buffer, size);
    return count < 0 ? -errno : count;
  }

  ssize_t write(AppleSmcAttribute attribute, const void* bytes, std::size_t size) override {
    const int fd = fds_[slotOf(attribute, AppleSmcAccess::kWrite)];
    if (fd < 0) return -EBADF;
    const ssize_t count = retryOnEintr([&] { return ::pwrite(fd, bytes, size, 0); });
    return count < 0 ? -errno : count;
  }

  std::string describe(AppleSmcAttribute attribute) const override {
    return directory_ + "/" + attributeFile(attribute);
  }

 private:
  static std::size_t slotOf(AppleSmcAttribute attribute, AppleSmcAccess access) {
    return static_cast<std::size_t>(attribute) * 2 + (access == AppleSmcAccess::kWrite ? 1 : 0);
  }

  std::string directory_;
  std::array<int, kAppleSmcAttributeCount * 2> fds_;
};

// The text of an attribute without its final newline; false unless it ends in exactly one.
bool stripNewline(const char* text, ssize_t count, std::string_view* line) {
  if (count < 1 || text[count - 1] != '\n') return false;
  *line = std::string_view(text, static_cast<std::size_t>(count - 1));
  return true;
}

// Reads a decimal attribute. Returns 0, the errno value of a failed read, or EBADMSG when the
// text is not one decimal number and a newline.
int readDecimal(AppleSmcFiles& files, AppleSmcAttribute attribute, std::uint32_t* value) {
  char text[24];
  const ssize_t count = files.read(attribute, text, sizeof text);
  if (count < 0) return static_cast<int>(-count);
  std::string_view line;
  if (!stripNewline(text, count, &line) || line.empty()) return EBADMSG;
  const std::optional<std::uint32_t> parsed = parseInteger<std::uint32_t>(line);
  if (!parsed) return EBADMSG;
  *value = *parsed;
  return 0;
}

}  // namespace

std::unique_ptr<AppleSmcFiles> makePosixAppleSmcFiles(const std::string& directory) {
  return std::make_unique<PosixAppleSmcFiles>(directory);
}

std::unique_ptr<AppleSmc> AppleSmc::open(const std::string& root, std::string* why) {
  return open(makePosixAppleSmcFiles(underRoot(root, kAppleSmcDevicePath)), why);
}

std::unique_ptr<AppleSmc> AppleSmc::open(std::unique_ptr<AppleSmcFiles> files, std::string* why) {
  auto fail = [why](std::string reason) -> std::unique_ptr<AppleSmc> {
    if (why != nullptr) *why = std::move(reason);
    return nullptr;
  };
  if (files == nullptr) return fail("no applesmc files");

  struct Need {
    AppleSmcAttribute attribute;
    AppleSmcAccess access;
  };
  // key_count first, so that a missing device is told as such; then the right to select keys.
  static constexpr Need kNeeds[] = {
      {AppleSmcAttribute::kKeyCount, AppleSmcAccess::kRead},
      {AppleSmcAttribute::kKeyAtIndex, AppleSmcAccess::kWrite},
      {AppleSmcAttribute::kKeyAtIndex, AppleSmcAccess::kRead},
      {AppleSmcAttribute::kKeyAtIndexName, AppleSmcAccess::kRead},
      {AppleSmcAttribute::kKeyAtIndexType, AppleSmcAccess::kRead},
      {AppleSmcAttribute::kKeyAtIndexDataLength, AppleSmcAccess::kRead},
      {AppleSmcAttribute::kKeyAtIndexData, AppleSmcAccess::kRead},
  };
  for (const Need& need : kNeeds) {
    const int error = files->open(need.attribute, need.access);
    if (error == 0) continue;
    const std::string path = files->describe(need.attribute);
    const std::string message = std::generic_category().message(error);
    if (need.attribute == AppleSmcAttribute::kKeyCount && error == ENOENT) {
      return fail("no applesmc device: " + path + " does not exist (the applesmc driver is not loaded; it " +
                  "runs on Intel Macs only)");
    }
    if (need.access == AppleSmcAccess::kWrite) {
      const bool refused = error == EACCES || error == EPERM || error == EROFS;
      return fail("cannot open " + path + " for writing: " + message +
                  (refused ? " (raw SMC key access needs root)" : ""));
    }
    return fail("cannot open " + path + ": " + message);
  }

  std::uint32_t keyCount = 0;
  if (const int error = readDecimal(*files, AppleSmcAttribute::kKeyCount, &keyCount); error != 0) {
    const std::string path = files->describe(AppleSmcAttribute::kKeyCount);
    return fail("cannot read the key count from " + path + ": " +
                (error == EBADMSG ? std::string("not a decimal number") : std::generic_category().message(error)));
  }
  return std::unique_ptr<AppleSmc>(new AppleSmc(std::move(files), keyCount));
}

AppleSmc::AppleSmc(std::unique_ptr<AppleSmcFiles> files, std::uint32_t keyCount)
    : files_(std::move(files)), keyCount_(keyCount) {}

AppleSmc::~AppleSmc() = default;

int AppleSmc::open(std::uint32_t* connection) {
  if (connection == nullptr) return kSmcIOError;
  *connection = kConnection;
  return 0;
}

int AppleSmc::call(std::uint32_t connection, std::uint32_t selector, const SmcMessage& input, SmcMessage* output,
                   std::size_t* outputSize) {
  if (connection != kConnection || selector != kSmcSelector || output == nullptr || outputSize == nullptr ||
      *outputSize < sizeof(SmcMessage)) {
    return kSmcIOError;
  }
  SmcMessage reply{};
  reply.command = input.command;
  int status = 0;
  switch (input.command) {
    case kSmcKeyInformation:
      status = keyInformation(input, &reply);
      break;
    case kSmcReadValue:
      status = readValue(input, &reply);
      break;
    case kSmcWriteValue:
      status = writeValue(input, &reply);
      break;
    case kSmcKeyAtIndex:
      status = keyAtIndex(input, &reply);
      break;
    default:
      reply.key = input.key;
      reply.result = kAppleSmcUnknownCommand;
      break;
  }
  if (status != 0) return status;
  *output = reply;
  *outputSize = sizeof reply;
  return 0;
}

int AppleSmc::keyInformation(const SmcMessage& input, SmcMessage* reply) {
  reply->key = input.key;
  Key key;
  if (const int status = lookUp(input.key, &key); status != 0) return status;
  if (!key.present) {
    reply->result = kSmcKeyNotFound;
    return 0;
  }
  reply->dataSize = key.size;
  reply->dataType = key.type;
  return 0;
}

int AppleSmc::readValue(const SmcMessage& input, SmcMessage* reply) {
  reply->key = input.key;
  Key key;
  if (const int status = lookUp(input.key, &key); status != 0) return status;
  if (!key.present) {
    reply->result = kSmcKeyNotFound;
    return 0;
  }
  if (key.counted) {
    std::uint32_t count = 0;
    if (readDecimal(*files_, AppleSmcAttribute::kKeyCount, &count) != 0) return kSmcIOError;
    reply->bytes[0] = static_cast<std::uint8_t>(count >> 24);
    reply->bytes[1] = static_cast<std::uint8_t>(count >> 16);
    reply->bytes[2] = static_cast<std::uint8_t>(count >> 8);
    reply->bytes[3] = static_cast<std::uint8_t>(count);
    reply->dataSize = key.size;
    return 0;
  }

  // The selection can move between our write and the data read: the name read afterwards and
  // the byte count tell whether the bytes were the key's.
  const auto expected = static_cast<ssize_t>(std::min<std::size_t>(key.size, kValueCapacity));
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::memset(reply->bytes, 0, sizeof reply->bytes);
    if (select(key.index) != 0) return kSmcIOError;
    const ssize_t count = files_->read(AppleSmcAttribute::kKeyAtIndexData, reply->bytes, sizeof reply->bytes);
    if (count < 0) return kSmcIOError;
    std::uint32_t name = 0;
    if (readName(&name) != 0) return kSmcIOError;
    if (name == key.code && count == expected) {
      reply->dataSize = key.size;
      return 0;
    }
  }
  return kSmcIOError;
}

int AppleSmc::writeValue(const SmcMessage& input, SmcMessage* reply) {
  reply->key = input.key;
  Key key;
  if (const int status = lookUp(input.key, &key); status != 0) return status;
  reply->result = key.present ? kAppleSmcNotWritable : kSmcKeyNotFound;
  return 0;
}

int AppleSmc::keyAtIndex(const SmcMessage& input, SmcMessage* reply) {
  if (input.index >= keyCount_) {
    reply->result = kSmcKeyNotFound;
    return 0;
  }
  std::uint32_t name = 0;
  const int status = nameAt(input.index, &name);
  if (status == kIndexRefused) {
    reply->result = kSmcKeyNotFound;
    return 0;
  }
  if (status != 0) return status;
  reply->key = name;
  return 0;
}

int AppleSmc::lookUp(std::uint32_t code, Key* key) {
  const auto end = known_.begin() + static_cast<std::ptrdiff_t>(knownCount_);
  const auto it = std::lower_bound(known_.begin(), end, code, [](const Key& k, std::uint32_t c) { return k.code < c; });
  if (it != end && it->code == code) {
    *key = *it;
    return 0;
  }
  if (const int status = search(code, key); status != 0) return status;
  remember(*key);
  return 0;
}

int AppleSmc::search(std::uint32_t code, Key* key) {
  *key = Key{};
  key->code = code;
  std::uint32_t low = 0;
  std::uint32_t high = keyCount_;
  bool seen = false;
  while (low < high) {
    const std::uint32_t middle = low + (high - low) / 2;
    std::uint32_t name = 0;
    if (nameAt(middle, &name) != 0) return kSmcIOError;
    if (name < code) {
      low = middle + 1;
    } else {
      seen = seen || name == code;
      high = middle;
    }
  }
  // Names are unique, so the key, when seen, is at the lower bound.
  if (seen) return learn(low, key);
  if (code == kKeyCountKey) {
    key->present = true;
    key->counted = true;
    key->type = kUi32Type;
    key->size = 4;
  }
  return 0;
}

int AppleSmc::learn(std::uint32_t index, Key* key) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (select(index) != 0) return kSmcIOError;
    std::uint32_t before = 0;
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    std::uint32_t after = 0;
    if (readName(&before) != 0 || readFour(AppleSmcAttribute::kKeyAtIndexType, &type) != 0 ||
        readNumber(AppleSmcAttribute::kKeyAtIndexDataLength, &size) != 0 || readName(&after) != 0) {
      return kSmcIOError;
    }
    if (before == key->code && after == key->code) {
      key->present = true;
      key->index = index;
      key->type = type;
      key->size = size;
      return 0;
    }
  }
  return kSmcIOError;
}

int AppleSmc::nameAt(std::uint32_t index, std::uint32_t* code) {
  // The name alone cannot tell whether the selection moved before it was read; reading the
  // selection back can.
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const int error = select(index);
    if (error == EINVAL) return kIndexRefused;
    if (error != 0) return kSmcIOError;
    std::uint32_t name = 0;
    std::uint32_t selected = 0;
    if (readName(&name) != 0 || readNumber(AppleSmcAttribute::kKeyAtIndex, &selected) != 0) return kSmcIOError;
    if (selected == index) {
      *code = name;
      return 0;
    }
  }
  return kSmcIOError;
}

int AppleSmc::select(std::uint32_t index) {
  char text[16];
  const auto [end, error] = std::to_chars(text, text + sizeof text, index);
  if (error != std::errc()) return EINVAL;
  const auto length = static_cast<std::size_t>(end - text);
  const ssize_t count = files_->write(AppleSmcAttribute::kKeyAtIndex, text, length);
  if (count < 0) return static_cast<int>(-count);
  return static_cast<std::size_t>(count) == length ? 0 : EIO;
}

int AppleSmc::readName(std::uint32_t* code) { return readFour(AppleSmcAttribute::kKeyAtIndexName, code); }

int AppleSmc::readFour(AppleSmcAttribute attribute, std::uint32_t* code) {
  char text[16];
  const ssize_t count = files_->read(attribute, text, sizeof text);
  std::string_view line;
  if (!stripNewline(text, count, &line) || line.size() > 4) return kSmcIOError;
  // A code holding a NUL byte is printed short by the driver; the missing bytes are those zeros.
  std::uint32_t packed = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const std::uint8_t byte = i < line.size() ? static_cast<std::uint8_t>(line[i]) : 0;
    packed = (packed << 8) | byte;
  }
  *code = packed;
  return 0;
}

int AppleSmc::readNumber(AppleSmcAttribute attribute, std::uint32_t* value) {
  return readDecimal(*files_, attribute, value) == 0 ? 0 : kSmcIOError;
}

void AppleSmc::remember(const Key& key) {
  if (knownCount_ == known_.size()) return;
  const auto end = known_.begin() + static_cast<std::ptrdiff_t>(knownCount_);
  const auto it =
      std::lower_bound(known_.begin(), end, key.code, [](const Key& k, std::uint32_t c) { return k.code < c; });
  std::move_backward(it, end, end + 1);
  *it = key;
  ++knownCount_;
}

}  // namespace trellis::lnx
