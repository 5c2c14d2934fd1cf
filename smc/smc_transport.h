// The SMC's message and the transport that carries it. Every exchange with the SMC is one
// 80-byte message in and one 80-byte message out, through a connection that a transport opens.
// A transport is used from one thread at a time (the main thread in the agent).
#pragma once

#include <cstddef>
#include <cstdint>

namespace trellis {

// Both the request and the reply of every exchange. Multi-byte integers are in host byte order;
// value bytes are as the SMC stores them (integers and fixed-point values big-endian).
struct SmcMessage {
  std::uint32_t key;             // key code, first character in the most significant byte
  std::uint8_t reserved0[24];    // zero in requests; never read from replies
  std::uint32_t dataSize;        // key information: the value's size; read/write: bytes to move
  std::uint32_t dataType;        // four-character type code, first character most significant
  std::uint8_t dataAttributes;   // carried, never interpreted
  std::uint8_t padding0[3];
  std::uint8_t result;           // SMC result byte of a reply; 0 is success
  std::uint8_t reserved1;
  std::uint8_t command;          // one of SmcCommand
  std::uint8_t padding1;
  std::uint32_t index;           // key index, for kSmcKeyAtIndex only
  std::uint8_t bytes[32];        // value bytes
};
static_assert(sizeof(SmcMessage) == 80);
static_assert(offsetof(SmcMessage, key) == 0);
static_assert(offsetof(SmcMessage, reserved0) == 4);
static_assert(offsetof(SmcMessage, dataSize) == 28);
static_assert(offsetof(SmcMessage, dataType) == 32);
static_assert(offsetof(SmcMessage, dataAttributes) == 36);
static_assert(offsetof(SmcMessage, padding0) == 37);
static_assert(offsetof(SmcMessage, result) == 40);
static_assert(offsetof(SmcMessage, reserved1) == 41);
static_assert(offsetof(SmcMessage, command) == 42);
static_assert(offsetof(SmcMessage, padding1) == 43);
static_assert(offsetof(SmcMessage, index) == 44);
static_assert(offsetof(SmcMessage, bytes) == 48);

// Command codes, placed in SmcMessage::command.
enum SmcCommand : std::uint8_t {
  kSmcReadValue = 5,
  kSmcWriteValue = 6,
  kSmcKeyAtIndex = 8,
  kSmcKeyInformation = 9,
};

// The selector of the one method every exchange calls.
inline constexpr std::uint32_t kSmcSelector = 2;

// SMC result bytes a transport answers with.
inline constexpr std::uint8_t kSmcSuccess = 0;
inline constexpr std::uint8_t kSmcKeyNotFound = 132;  // 0x84

// A kernel-call failure code for transports to return when the underlying read fails
// (the value of kIOReturnError).
inline constexpr int kSmcIOError = static_cast<int>(0xE00002BC);

constexpr std::uint32_t smcKeyCode(const char (&name)[5]) {
  return (static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[0])) << 24) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[2])) << 8) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(name[3]));
}

class SmcTransport {
 public:
  virtual ~SmcTransport() = default;

  // Opens a connection. Returns 0 and a non-zero handle in `*connection`, or a non-zero code
  // (and leaves `*connection` as it was).
  virtual int open(std::uint32_t* connection) = 0;

  // One exchange on `connection` with `selector`: `input` is the request; `*outputSize` is 80 on
  // entry and the reply's size on return. Returns the kernel call's code: 0 when the exchange
  // took place (the reply's `result` byte then tells the SMC's answer), non-zero when it did not.
  // Must not allocate.
  virtual int call(std::uint32_t connection, std::uint32_t selector, const SmcMessage& input, SmcMessage* output,
                   std::size_t* outputSize) = 0;

  // The transport of the process, chosen at start-up (base/services.h).
  static SmcTransport& system();
};

// The transport of a machine without an SMC: nothing opens, no exchange takes place.
class NoSmc final : public SmcTransport {
 public:
  int open(std::uint32_t* connection) override;
  int call(std::uint32_t connection, std::uint32_t selector, const SmcMessage& input, SmcMessage* output,
           std::size_t* outputSize) override;
};

}  // namespace trellis
