// Fuzzes the simulated SMC's key-file loader and, through a table that loads, the SMC client.
// The input is a key file, a NUL byte, then bytes that make messages: whole 80-byte requests sent
// straight to the transport, and key names, counts and value bytes for the client's reads,
// writes, decoders and listing. Single-threaded.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "base/services.h"
#include "platform/sim/sim_smc.h"
#include "smc/smc_client.h"

namespace {

using namespace trellis;

// Reads the input's remaining bytes in order; past the end every read gives zeros.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return offset_ >= size_; }
  std::uint8_t byte() { return offset_ < size_ ? data_[offset_++] : 0; }
  void fill(void* out, std::size_t n) {
    auto* p = static_cast<std::uint8_t*>(out);
    for (std::size_t i = 0; i < n; ++i) p[i] = byte();
  }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | byte();
    return v;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

std::FILE* devNull() {
  static std::FILE* out = std::fopen("/dev/null", "w");
  return out;
}

void exercise(sim::SimSmc& smc, Bytes& in) {
  SmcResetProcessStateForTesting();
  ScopedServices scope([&](Services& services) { services.smc = &smc; });
  (void)TlxOpen();  // a closed simulated SMC is part of what is fuzzed
  const std::uint32_t connection = TlxConnection();

  // Bounded: every step reads at least one byte, and inputs are bounded in size.
  while (!in.empty()) {
    switch (in.byte() % 8) {
      case 0: {  // any message straight to the transport
        SmcMessage request;
        SmcMessage reply;
        in.fill(&request, sizeof request);
        std::size_t size = sizeof reply;
        (void)smc.call(connection, kSmcSelector, request, &reply, &size);
        break;
      }
      case 1: {  // typed read and decode
        char name[5] = {};
        in.fill(name, 4);
        SmcKeyValue value;
        if (SmcReadKey(name, &value, connection) == 0) (void)SmcValueToFloat(value);
        break;
      }
      case 2: {  // raw read of any count, with or without the key's information
        std::uint8_t buffer[256];
        const std::uint32_t code = in.u32();
        std::uint8_t size = in.byte();
        const bool askInfo = (in.byte() & 1) != 0;
        (void)TlxReadKey(code, buffer, &size, askInfo);
        break;
      }
      case 3: {  // write
        std::uint8_t bytes[32];
        const std::uint32_t code = in.u32();
        const std::uint8_t size = static_cast<std::uint8_t>(in.byte() % (sizeof bytes + 1));
        in.fill(bytes, size);
        (void)TlxWriteKey(code, bytes, size);
        break;
      }
      case 4: {  // key information through the cache
        SmcKeyInfo info;
        (void)SmcGetKeyInfo(in.u32(), &info, connection);
        break;
      }
      case 5: {  // decoders over arbitrary records and byte strings
        SmcKeyValue value;
        in.fill(&value, sizeof value);
        (void)SmcValueToFloat(value);
        std::uint8_t bytes[32];
        in.fill(bytes, sizeof bytes);
        const int count = in.byte() % (sizeof bytes + 1);
        (void)SmcBytesToUInt(bytes, count);
        (void)TlxDecodeFpInt(bytes, count, static_cast<std::int8_t>(in.byte()));
        (void)TlxDecodeSp78Shifted(bytes);
        break;
      }
      case 6:
        TlxListKeys(devNull());
        break;
      default: {  // a message on a connection or selector of the input's choosing
        SmcMessage request;
        SmcMessage reply;
        const std::uint32_t otherConnection = in.u32();
        const std::uint32_t selector = in.byte();
        in.fill(&request, sizeof request);
        std::size_t size = in.byte() < 128 ? sizeof reply : in.byte();
        (void)smc.call(otherConnection, selector, request, &reply, &size);
        break;
      }
    }
  }
  TlxListKeys(devNull());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string_view text = input.substr(0, split);
  std::string error;
  std::unique_ptr<sim::SimSmc> smc = sim::SimSmc::parse(text, &error);
  if (smc == nullptr) {
    if (error.empty()) __builtin_trap();  // every rejection says why
    return 0;
  }
  const std::size_t restStart = split == std::string_view::npos ? size : split + 1;
  Bytes rest(data + restStart, size - restStart);
  exercise(*smc, rest);
  return 0;
}
