// The in-memory SMC key space: building the sorted table and answering each command from it.
// Built once, then used from one thread at a time; answering allocates nothing.
#include "smc/smc_key_table.h"

#include <algorithm>
#include <cstring>

namespace trellis {
namespace {

// How many value bytes a message carries for `entry`: its size, but never more than the 32 that
// fit, whatever size an entry was given.
std::uint8_t valueBytes(const SmcKeyTable::Entry& entry) {
  return entry.size < sizeof entry.bytes ? entry.size : static_cast<std::uint8_t>(sizeof entry.bytes);
}

}  // namespace

void SmcKeyTable::add(const Entry& entry) {
  if (Entry* existing = find(entry.key)) {
    *existing = entry;
    return;
  }
  entries_.push_back(entry);
  finished_ = false;
}

void SmcKeyTable::finish() {
  constexpr std::uint32_t kCountKey = smcFourCC("#KEY");
  std::erase_if(entries_, [](const Entry& e) { return e.key == kCountKey; });
  Entry count;
  count.key = kCountKey;
  count.type = smcFourCC("ui32");
  count.size = 4;
  const auto n = static_cast<std::uint32_t>(entries_.size() + 1);
  count.bytes[0] = static_cast<std::uint8_t>(n >> 24);
  count.bytes[1] = static_cast<std::uint8_t>(n >> 16);
  count.bytes[2] = static_cast<std::uint8_t>(n >> 8);
  count.bytes[3] = static_cast<std::uint8_t>(n);
  entries_.push_back(count);
  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
  finished_ = true;
}

SmcKeyTable::Entry* SmcKeyTable::find(std::uint32_t key) {
  // Sorted once finished; before that a linear search serves `add`.
  if (finished_) {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                               [](const Entry& e, std::uint32_t k) { return e.key < k; });
    return it != entries_.end() && it->key == key ? &*it : nullptr;
  }
  auto it = std::find_if(entries_.begin(), entries_.end(), [key](const Entry& e) { return e.key == key; });
  return it != entries_.end() ? &*it : nullptr;
}

int SmcKeyTable::answer(const SmcMessage& request, SmcMessage* reply) {
  std::memset(reply, 0, sizeof *reply);
  reply->command = request.command;

  if (request.command == kSmcKeyAtIndex) {
    if (request.index >= entries_.size()) {
      reply->result = kSmcKeyNotFound;
      return 0;
    }
    const Entry& entry = entries_[request.index];
    if (entry.fail != 0) return entry.fail;
    reply->key = entry.key;
    reply->result = entry.result;
    return 0;
  }

  reply->key = request.key;
  Entry* entry = find(request.key);
  if (entry == nullptr) {
    reply->result = kSmcKeyNotFound;
    return 0;
  }
  if (entry->fail != 0) return entry->fail;
  if (entry->result != 0) {
    reply->result = entry->result;
    return 0;
  }

  switch (request.command) {
    case kSmcKeyInformation:
      reply->dataSize = entry->size;
      reply->dataType = entry->type;
      reply->dataAttributes = entry->attributes;
      return 0;
    case kSmcReadValue: {
      reply->dataSize = entry->size;
      if (entry->reader != nullptr) return entry->reader(entry->context, entry->key, reply->bytes, valueBytes(*entry));
      std::memcpy(reply->bytes, entry->bytes, valueBytes(*entry));
      return 0;
    }
    case kSmcWriteValue:
      if (!entry->writable || request.dataSize != entry->size) {
        reply->result = 0x85;  // not writable / wrong size
        return 0;
      }
      std::memcpy(entry->bytes, request.bytes, valueBytes(*entry));
      return 0;
    default:
      reply->result = 0x81;  // unknown command
      return 0;
  }
}

}  // namespace trellis
