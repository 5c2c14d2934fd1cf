// The SMC client: the process-wide connection, the key-information cache, the raw and typed
// reads, the decoders and the key listing. The handle and the raw paths are main-thread only; the
// cache is guarded by its lock. Messages and buffers live on the stack: nothing is allocated per
// read.
#include "smc/smc_client.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "base/services.h"

namespace trellis {
namespace {

// 0 while no connection is open.
std::uint32_t gConnection = 0;

struct KeyInfoCache {
  struct Entry {
    std::uint32_t code;
    SmcKeyInfo info;
  };
  std::mutex lock;
  Entry entries[kSmcKeyInfoCacheCapacity];
  std::int32_t count = 0;
};

KeyInfoCache& keyInfoCache() {
  static KeyInfoCache cache;
  return cache;
}

// One exchange: the reply's size is set to 80 before the call. Returns the kernel call's code;
// the reply's result byte is the caller's to judge.
int exchange(std::uint32_t connection, const SmcMessage& request, SmcMessage* reply) {
  std::memset(reply, 0, sizeof *reply);
  if (connection == 0) return kSmcNotOpen;
  std::size_t replySize = sizeof(SmcMessage);
  return SmcTransport::system().call(connection, kSmcSelector, request, reply, &replySize);
}

SmcMessage keyRequest(SmcCommand command, std::uint32_t code) {
  SmcMessage request;
  std::memset(&request, 0, sizeof request);
  request.key = code;
  request.command = command;
  return request;
}

// A four-character code written out most significant byte first, with a NUL.
void writeFourCC(std::uint32_t code, char out[5]) {
  out[0] = static_cast<char>(code >> 24);
  out[1] = static_cast<char>(code >> 16);
  out[2] = static_cast<char>(code >> 8);
  out[3] = static_cast<char>(code);
  out[4] = '\0';
}

std::uint16_t bigEndian16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

// `count` bytes as a big-endian number in 32-bit arithmetic, of which only the first `available`
// exist; the others read as zero. Bytes more than four from the end are shifted out entirely.
std::uint32_t bigEndianUInt(const std::uint8_t* bytes, std::int64_t available, std::int64_t count) {
  std::uint32_t value = 0;
  for (std::int64_t i = count > 4 ? count - 4 : 0; i < count && i < available; ++i) {
    value += static_cast<std::uint32_t>(bytes[i]) << (8 * (count - 1 - i));
  }
  return value;
}

bool typeIs(const SmcKeyValue& value, const char (&type)[5]) {
  return std::memcmp(value.dataType, type, sizeof type) == 0;
}

// The fixed-point and signed fixed-point types: the last character is the number of fraction bits.
struct FixedType {
  char name[5];
  int fractionBits;
};
constexpr FixedType kUnsignedFixedTypes[] = {
    {"fp1f", 15}, {"fp4c", 12}, {"fp5b", 11}, {"fp6a", 10}, {"fp79", 9},
    {"fp88", 8},  {"fpa6", 6},  {"fpc4", 4},  {"fpe2", 2},
};
constexpr FixedType kSignedFixedTypes[] = {
    {"sp1e", 14}, {"sp3c", 12}, {"sp4b", 11}, {"sp5a", 10}, {"sp69", 9},
    {"sp78", 8},  {"sp87", 7},  {"sp96", 6},  {"spb4", 4},
};

const FixedType* findFixedType(const SmcKeyValue& value, const FixedType* begin, const FixedType* end) {
  for (const FixedType* t = begin; t != end; ++t) {
    if (std::memcmp(value.dataType, t->name, sizeof t->name) == 0) return t;
  }
  return nullptr;
}

}  // namespace

SmcTransport& SmcTransport::system() { return required(installedServices().smc, "the SMC transport"); }

int NoSmc::open(std::uint32_t*) { return kSmcNotOpen; }

int NoSmc::call(std::uint32_t, std::uint32_t, const SmcMessage&, SmcMessage*, std::size_t*) { return kSmcNotOpen; }

int TlxOpen() {
  if (gConnection != 0) return 0;
  return SmcTransport::system().open(&gConnection) == 0 ? 0 : -1;
}

std::uint32_t TlxConnection() {
  // The result is the handle itself: 0 tells the caller that no connection could be opened.
  (void)TlxOpen();
  return gConnection;
}

int TlxReadKey(std::uint32_t code, std::uint8_t* buffer, std::uint8_t* size, bool askInfo) {
  if (code == 0 || buffer == nullptr || size == nullptr) return -1;
  SmcMessage reply;
  if (askInfo) {
    if (exchange(gConnection, keyRequest(kSmcKeyInformation, code), &reply) != 0 || reply.result != 0) return -1;
    const std::uint8_t capacity = *size;
    *size = static_cast<std::uint8_t>(reply.dataSize);
    if (reply.dataSize > capacity) return -1;
  }
  std::memset(buffer, 0, *size);
  SmcMessage request = keyRequest(kSmcReadValue, code);
  request.dataSize = *size;
  if (exchange(gConnection, request, &reply) != 0 || reply.result != 0) return -1;
  std::memcpy(buffer, reply.bytes, *size < sizeof reply.bytes ? *size : sizeof reply.bytes);
  return 0;
}

int TlxWriteKey(std::uint32_t code, const std::uint8_t* bytes, std::uint8_t size) {
  if (code == 0 || bytes == nullptr || size == 0) return -1;
  SmcMessage reply;
  if (exchange(gConnection, keyRequest(kSmcKeyInformation, code), &reply) != 0 || reply.result != 0 ||
      reply.dataSize != size) {
    return -1;
  }
  SmcMessage request = keyRequest(kSmcWriteValue, code);
  request.dataSize = size;
  std::memcpy(request.bytes, bytes, size < sizeof request.bytes ? size : sizeof request.bytes);
  if (exchange(gConnection, request, &reply) != 0 || reply.result != 0) return -1;
  return 0;
}

int SmcGetKeyInfo(std::uint32_t code, SmcKeyInfo* info, std::uint32_t connection) {
  if (info == nullptr) return kSmcBadArgument;
  KeyInfoCache& cache = keyInfoCache();
  // Held across the exchange too, so two readers of a new key never both append it.
  std::lock_guard<std::mutex> guard(cache.lock);
  for (std::int32_t i = 0; i < cache.count; ++i) {
    if (cache.entries[i].code == code) {
      *info = cache.entries[i].info;
      return 0;
    }
  }
  SmcMessage reply;
  if (int rc = exchange(connection, keyRequest(kSmcKeyInformation, code), &reply); rc != 0) return rc;
  // The result byte is not judged: whatever the reply carries is the key's information.
  info->dataSize = reply.dataSize;
  info->dataType = reply.dataType;
  info->dataAttributes = reply.dataAttributes;
  if (cache.count < kSmcKeyInfoCacheCapacity) {
    cache.entries[cache.count] = {code, *info};
    ++cache.count;
  }
  return 0;
}

int SmcReadKey(const char* name, SmcKeyValue* value, std::uint32_t connection) {
  if (name == nullptr || value == nullptr) return kSmcBadArgument;
  std::memset(value, 0, sizeof *value);
  std::size_t length = 0;
  while (length < 4 && name[length] != '\0') ++length;
  // Characters are taken as signed bytes, as the key tables were built; ASCII is unaffected.
  std::uint32_t code = 0;
  for (std::size_t i = 0; i < length; ++i) {
    code += static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(name[i])))
            << (8 * (3 - i));
  }
  std::memcpy(value->key, name, length);

  SmcKeyInfo info;
  if (int rc = SmcGetKeyInfo(code, &info, connection); rc != 0) return rc;
  value->dataSize = info.dataSize;
  writeFourCC(info.dataType, value->dataType);

  SmcMessage request = keyRequest(kSmcReadValue, code);
  request.dataSize = value->dataSize;
  SmcMessage reply;
  if (int rc = exchange(connection, request, &reply); rc != 0) return rc;
  std::memcpy(value->bytes, reply.bytes, sizeof value->bytes);
  return 0;
}

float SmcValueToFloat(SmcKeyValue value) {
  const std::uint32_t size = value.dataSize;
  if (size == 0) return 0.0f;
  if (typeIs(value, "ui8 ") || typeIs(value, "ui16") || typeIs(value, "ui32")) {
    return static_cast<float>(bigEndianUInt(value.bytes, sizeof value.bytes, size));
  }
  if (const FixedType* t = findFixedType(value, std::begin(kUnsignedFixedTypes), std::end(kUnsignedFixedTypes))) {
    if (size != 2) return 0.0f;
    return static_cast<float>(bigEndian16(value.bytes) / std::ldexp(1.0, t->fractionBits));
  }
  if (const FixedType* t = findFixedType(value, std::begin(kSignedFixedTypes), std::end(kSignedFixedTypes))) {
    if (size != 2) return 0.0f;
    return static_cast<float>(static_cast<std::int16_t>(bigEndian16(value.bytes)) / std::ldexp(1.0, t->fractionBits));
  }
  if (typeIs(value, "spf0")) return size == 2 ? static_cast<float>(bigEndian16(value.bytes)) : 0.0f;
  if (typeIs(value, "si8 ")) return size == 1 ? static_cast<float>(static_cast<std::int8_t>(value.bytes[0])) : 0.0f;
  // Read unsigned, unlike "si8 ": the SMC's si16 values the agent meets are never negative.
  if (typeIs(value, "si16")) return size == 2 ? static_cast<float>(bigEndian16(value.bytes)) : 0.0f;
  if (typeIs(value, "{pwm")) {
    return size == 2 ? static_cast<float>(bigEndian16(value.bytes)) * 100.0f * (1.0f / 65536.0f) : 0.0f;
  }
  if (typeIs(value, "flt ")) {
    if (size != 4) return 0.0f;
    float f;
    std::memcpy(&f, value.bytes, sizeof f);  // host byte order, as the SMC stores floats
    return f;
  }
  return 0.0f;
}

std::uint32_t SmcBytesToUInt(const std::uint8_t* bytes, int count) {
  if (count <= 0 || bytes == nullptr) return 0;
  return bigEndianUInt(bytes, count, count);
}

double TlxDecodeSp78Shifted(const std::uint8_t* bytes) { return (bigEndian16(bytes) >> 2) * 0.015625; }

float TlxDecodeFpInt(const std::uint8_t* bytes, int count, int fractionBits) {
  if (count <= 0 || bytes == nullptr) return 0.0f;
  const std::int64_t e = fractionBits;
  // Shifts are done as powers of two so that no fraction-bit count can make them undefined.
  auto clampExponent = [](std::int64_t x) { return static_cast<int>(x < -1000 ? -1000 : x > 1000 ? 1000 : x); };
  float sum = 0.0f;
  for (int i = 0; i < count - 1; ++i) {
    sum += std::ldexp(static_cast<float>(bytes[i]), clampExponent((8 - e) * (count - 1 - i)));
  }
  const std::uint8_t last = bytes[count - 1];
  if (e <= 0) {
    sum += std::ldexp(static_cast<float>(last), clampExponent(-e));
  } else if (e < 8) {
    sum += static_cast<float>(last >> e);
  }
  return sum;
}

void TlxListKeys() { TlxListKeys(stdout); }

void TlxListKeys(std::FILE* out) {
  if (TlxOpen() != 0) return;
  std::uint8_t countBytes[4];
  std::uint8_t countSize = sizeof countBytes;
  if (TlxReadKey(smcKeyCode("#KEY"), countBytes, &countSize, /*askInfo=*/false) != 0) return;
  const std::uint32_t total = SmcBytesToUInt(countBytes, sizeof countBytes);
  std::fprintf(out, "Total key: %d\n", static_cast<int>(total));

  for (std::uint32_t i = 0; i < total; ++i) {
    const int index = static_cast<int>(i);
    SmcMessage request;
    std::memset(&request, 0, sizeof request);
    request.command = kSmcKeyAtIndex;
    request.index = i;
    SmcMessage reply;
    int rc = exchange(gConnection, request, &reply);
    if (rc != 0 || reply.result != 0) {
      std::fprintf(out, "SMC get index key [%d] fail: %d\n", index, rc);
      return;
    }
    const std::uint32_t key = reply.key;
    char text[5];
    writeFourCC(key, text);
    std::fprintf(out, "[%03d] Key: %s ", index, text);

    rc = exchange(gConnection, keyRequest(kSmcKeyInformation, key), &reply);
    if (rc != 0 || reply.result != 0) {
      std::fprintf(out, "SMC get index key [%d] info fail: %d\n", index, rc);
      return;
    }
    const std::uint32_t size = reply.dataSize;
    const std::uint32_t type = reply.dataType;
    writeFourCC(type, text);
    std::fprintf(out, "Size: %d Type: %s ", static_cast<int>(size), text);

    request = keyRequest(kSmcReadValue, key);
    request.dataSize = size;
    rc = exchange(gConnection, request, &reply);
    if (rc != 0 || reply.result != 0) {
      std::fprintf(out, "SMC get index key [%d] value fail: %d\n", index, rc);
      continue;
    }
    const std::uint8_t* bytes = reply.bytes;
    if (type == smcKeyCode("sp78")) {
      std::fprintf(out, "Value: %f ", TlxDecodeSp78Shifted(bytes));
    } else if (type == smcKeyCode("fpe2")) {
      std::fprintf(out, "Vaule: %f ", static_cast<double>(bytes[0] * 64 + (bytes[1] >> 2)));
    } else if (type == smcKeyCode("ui8 ")) {
      std::fprintf(out, "Vaule: %d ", bytes[0]);
    } else if (type == smcKeyCode("ui16")) {
      std::fprintf(out, "Vaule: %d ", bigEndian16(bytes));
    } else if (type == smcKeyCode("ui32")) {
      std::fprintf(out, "Vaule: %d ", static_cast<int>(SmcBytesToUInt(bytes, 4)));
    } else {
      std::fprintf(out, "Data: ");
      // A message carries at most 32 value bytes, whatever size the key claims.
      for (std::uint32_t b = 0; b < size && b < sizeof reply.bytes; ++b) std::fprintf(out, "%02x ", bytes[b]);
    }
    std::fprintf(out, "\n");
  }
}

void SmcResetProcessStateForTesting() {
  gConnection = 0;
  KeyInfoCache& cache = keyInfoCache();
  std::lock_guard<std::mutex> guard(cache.lock);
  cache.count = 0;
}

}  // namespace trellis
