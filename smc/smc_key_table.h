// An SMC key space held in memory: what a transport that synthesises or simulates an SMC answers
// with. Keys are kept sorted by key code, "#KEY" (the number of keys, "ui32") included, and every
// command is answered as an SMC would: read value (5), write value (6), key at index (8) and key
// information (9); a key it does not have gets the result "key not found" with size and type 0.
//
// Built once, then used from one thread at a time; answering allocates nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "smc/smc_transport.h"

namespace trellis {

class SmcKeyTable {
 public:
  // Reads a key's current value into `out` (`size` bytes). Returns 0, or a non-zero kernel-call
  // code when the value cannot be read (the exchange then fails as a whole).
  using Reader = int (*)(void* context, std::uint32_t key, std::uint8_t* out, std::uint8_t size);

  struct Entry {
    std::uint32_t key = 0;
    std::uint32_t type = 0;
    std::uint8_t size = 0;  // 1..32; a larger size is reported as it is, but only 32 bytes move
    std::uint8_t attributes = 0;
    std::uint8_t bytes[32] = {};  // the value, when `reader` is null
    Reader reader = nullptr;
    void* context = nullptr;
    // Writes change `bytes` when set; otherwise a write is answered with a non-zero result.
    bool writable = false;
    // Fault injection: a result byte to answer every command about this key with, and a
    // kernel-call code to fail every exchange about it with (0: none).
    std::uint8_t result = 0;
    int fail = 0;
  };

  // Adds a key; a key already present is replaced. Call `finish` once all keys are in.
  void add(const Entry& entry);
  // Sorts the keys and adds "#KEY". Lookups by key are binary searches from then on.
  void finish();

  // Answers one request. Returns the kernel-call code (0 unless the key's `fail` is set or its
  // reader failed).
  int answer(const SmcMessage& request, SmcMessage* reply);

  const std::vector<Entry>& entries() const { return entries_; }
  Entry* find(std::uint32_t key);

 private:
  std::vector<Entry> entries_;
  bool finished_ = false;
};

// The four characters of a type or key code, first character from the most significant byte.
constexpr std::uint32_t smcFourCC(const char* text) {
  return (static_cast<std::uint32_t>(static_cast<std::uint8_t>(text[0])) << 24) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(text[1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(text[2])) << 8) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(text[3]));
}

}  // namespace trellis
