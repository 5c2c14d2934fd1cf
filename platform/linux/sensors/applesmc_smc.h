// The SMC of an Intel Mac, reached through the applesmc driver's raw key files (key_count and the
// key_at_index family in the platform device's folder), offered as an SmcTransport. An AppleSmc is
// used from one thread at a time. The key_at_index selector it drives is one value shared, without
// a lock, by every process on the machine, so every answer read through it is checked afterwards.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "smc/smc_transport.h"

namespace trellis::lnx {

// The platform device's folder, below the file-system root.
inline constexpr char kAppleSmcDevicePath[] = "/sys/devices/platform/applesmc.768";

// The driver's raw key attributes. All of them read as text ending in a newline, except
// kKeyAtIndexData.
enum class AppleSmcAttribute : std::uint8_t {
  kKeyCount,              // "key_count": the number of keys, decimal
  kKeyAtIndex,            // "key_at_index": the selected index, decimal; only root may write it,
                          // and an index at or past key_count is refused with EINVAL
  kKeyAtIndexName,        // "key_at_index_name": the selected key's four characters
  kKeyAtIndexType,        // "key_at_index_type": its four-character type, e.g. "ui8 "
  kKeyAtIndexDataLength,  // "key_at_index_data_length": its value's size in bytes, decimal
  kKeyAtIndexData,        // "key_at_index_data": its value, exactly that many raw bytes, read
                          // from the SMC on every read (EIO when the SMC does not answer in time)
};
inline constexpr std::size_t kAppleSmcAttributeCount = 6;

enum class AppleSmcAccess : std::uint8_t { kRead, kWrite };

// The attribute files. Every read and write covers an attribute from its first byte: a sysfs
// attribute produces a fresh value on each read at offset 0. Production uses
// makePosixAppleSmcFiles; tests give a stand-in for the driver.
class AppleSmcFiles {
 public:
  virtual ~AppleSmcFiles() = default;
  // Makes `attribute` ready for `access`. Returns 0 or the errno value of the failure. Called
  // once per attribute and access, before any read or write of it.
  virtual int open(AppleSmcAttribute attribute, AppleSmcAccess access) = 0;
  // Reads up to `size` bytes from the start of `attribute` into `buffer`. Returns the count read
  // or a negative errno value.
  virtual ssize_t read(AppleSmcAttribute attribute, void* buffer, std::size_t size) = 0;
  // Writes `size` bytes to the start of `attribute`. Returns the count written or a negative
  // errno value.
  virtual ssize_t write(AppleSmcAttribute attribute, const void* bytes, std::size_t size) = 0;
  // Where `attribute` is, for messages (its path).
  virtual std::string describe(AppleSmcAttribute attribute) const = 0;
};

// The files of the device folder `directory`, held open (close-on-exec) from `open` until the
// object is destroyed, read with pread and written with pwrite at offset 0. Nothing is opened
// before `open`.
std::unique_ptr<AppleSmcFiles> makePosixAppleSmcFiles(const std::string& directory);

// Result bytes this transport answers with besides kSmcSuccess and kSmcKeyNotFound (the values
// the in-memory key table answers with too).
inline constexpr std::uint8_t kAppleSmcNotWritable = 0x85;    // every write of a key that exists
inline constexpr std::uint8_t kAppleSmcUnknownCommand = 0x81;  // a command other than 5, 6, 8, 9

// The SMC through the raw key files.
//
// Answers, each a reply of zeros except the fields named (the request's command is echoed; the
// request's key too, except for key at index):
// - key information (9): dataSize and dataType of the key; dataAttributes is 0, as the driver does
//   not expose the key's flags.
// - read value (5): the key's value bytes (at most 32) in `bytes`, dataSize the key's size. The
//   whole value is read whatever the request's dataSize. If the selected key changed under the
//   read (another process wrote key_at_index), the read is repeated up to 3 times in all, and then
//   the exchange fails with kSmcIOError: it never answers with another key's bytes.
// - key at index (8): the key at `index` in `key`; an index at or past the key count answers
//   kSmcKeyNotFound.
// - write value (6): kAppleSmcNotWritable for every existing key. The driver's key_at_index_data
//   is read-only (0444) and it has no other raw write path; keys it writes itself (fan minimum and
//   target speeds, manual fan mode) are written through its hwmon files, not through this
//   transport.
// - any other command: kAppleSmcUnknownCommand.
// A key the SMC does not have answers kSmcKeyNotFound with size and type 0; "#KEY" (the number of
// keys, "ui32"), when the driver's key list does not carry it, is answered from key_count.
// Exchanges fail (non-zero return, output left as it was) with kSmcIOError when a file cannot be
// read or written (EIO after an SMC time-out, for one), when the connection is not the one `open`
// gives, when the selector is not kSmcSelector, or when `*outputSize` is less than 80.
//
// Keys are found by binary search over the key list, which the driver keeps sorted by name; each
// probe reads key_at_index back to make sure the name read was the probed index's. What is learnt
// about a key (its index, type and size, or that it is missing) is kept for the object's life in
// a fixed table of kKnownKeys entries (keys past that are searched for every time), so a later
// read of a known key costs one index write and two reads, and exchanges allocate nothing. The
// key list is assumed not to change while the object lives (the driver assumes the same).
// The checks cannot see another process moving the selection away and back again between our
// write and our check; nothing in the driver's files can.
class AppleSmc final : public SmcTransport {
 public:
  static constexpr std::size_t kKnownKeys = 512;

  // Opens the device folder under the file-system root `root` ("/" on a real machine). Needs the
  // right to write key_at_index (root). Returns nothing on failure, with the reason in `*why`
  // (when `why` is not null): no such folder (the driver is not loaded), no right to write, or
  // a key count that cannot be read.
  static std::unique_ptr<AppleSmc> open(const std::string& root, std::string* why);
  // The same on any files: opens every attribute (key_at_index for writing and for reading, the
  // others for reading) and reads the key count.
  static std::unique_ptr<AppleSmc> open(std::unique_ptr<AppleSmcFiles> files, std::string* why);

  ~AppleSmc() override;

  // Always succeeds, with connection 1.
  int open(std::uint32_t* connection) override;
  int call(std::uint32_t connection, std::uint32_t selector, const SmcMessage& input, SmcMessage* output,
           std::size_t* outputSize) override;

  // The key count read when the object was opened.
  std::uint32_t keyCount() const { return keyCount_; }

 private:
  // What is known about one key.
  struct Key {
    std::uint32_t code = 0;
    bool present = false;
    bool counted = false;  // "#KEY" answered from key_count
    std::uint32_t index = 0;
    std::uint32_t type = 0;
    std::uint32_t size = 0;
  };

  AppleSmc(std::unique_ptr<AppleSmcFiles> files, std::uint32_t keyCount);

  int lookUp(std::uint32_t code, Key* key);
  int search(std::uint32_t code, Key* key);
  int select(std::uint32_t index);
  int readName(std::uint32_t* code);
  int readFour(AppleSmcAttribute attribute, std::uint32_t* code);
  int readNumber(AppleSmcAttribute attribute, std::uint32_t* value);
  int nameAt(std::uint32_t index, std::uint32_t* code);
  int learn(std::uint32_t index, Key* key);
  void remember(const Key& key);

  int keyInformation(const SmcMessage& input, SmcMessage* reply);
  int readValue(const SmcMessage& input, SmcMessage* reply);
  int writeValue(const SmcMessage& input, SmcMessage* reply);
  int keyAtIndex(const SmcMessage& input, SmcMessage* reply);

  std::unique_ptr<AppleSmcFiles> files_;
  std::uint32_t keyCount_;
  std::array<Key, kKnownKeys> known_;  // sorted by code, the first knownCount_ in use
  std::size_t knownCount_ = 0;
};

}  // namespace trellis::lnx
