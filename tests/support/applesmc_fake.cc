#include "support/applesmc_fake.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace trellis::testing {

std::vector<FakeAppleSmcKey> fakeMacKeys() {
  std::vector<std::uint8_t> light(40);
  for (std::size_t i = 0; i < light.size(); ++i) light[i] = static_cast<std::uint8_t>(0x40 + i);
  return {
      {"F0Ac", "fpe2", {0x0F, 0xA0}}, {"F0ID", "{fds", {0, 0, 0, 0, 'M', 'a', 'i', 'n', 0, 0, 0, 0, 0, 0, 0, 0}},
      {"F0Mn", "fpe2", {0x05, 0xDC}}, {"F0Mx", "fpe2", {0x17, 0x70}},
      {"FNum", "ui8 ", {0x01}},       {"LKSB", "{lkb", {0x00, 0x01}},
      {"MSLD", "ui8 ", {0x00}},       {"TB0T", "sp78", {0x1E, 0x40}},
      {"TC0P", "sp78", {0x2A, 0x80}}, {"TG0P", "sp78", {0x30, 0x00}},
      {"Th0H", "sp78", {0x28, 0x00}}, {"ALV0", "{alv", light},
  };
}

FakeAppleSmcDriver::FakeAppleSmcDriver(std::vector<FakeAppleSmcKey> list) : keys(std::move(list)) {
  std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  keyCountText = std::to_string(keys.size()) + "\n";
}

std::uint32_t FakeAppleSmcDriver::indexOf(const std::string& name) const {
  return static_cast<std::uint32_t>(
      std::find_if(keys.begin(), keys.end(), [&](const auto& k) { return k.name == name; }) - keys.begin());
}

int FakeAppleSmcDriver::open(Attribute attribute, Access access) {
  if (auto it = refusals.find({attribute, access}); it != refusals.end()) return it->second;
  // Only key_at_index has a store function (0644); the others are 0444.
  if (access == Access::kWrite && attribute != Attribute::kKeyAtIndex) return EACCES;
  opened_.insert({attribute, access});
  return 0;
}

ssize_t FakeAppleSmcDriver::read(Attribute attribute, void* buffer, std::size_t size) {
  ++operations;
  if (opened_.count({attribute, Access::kRead}) == 0) return -EBADF;
  Faults& fault = faults[attribute];
  if (fault.moves != 0) {
    selected = fault.moveTo;
    fault.moves -= fault.moves > 0 ? 1 : 0;
  }
  if (fault.errors != 0) {
    fault.errors -= fault.errors > 0 ? 1 : 0;
    return -fault.error;
  }
  std::string content = keyCountText;
  if (attribute == Attribute::kKeyAtIndex) {
    content = std::to_string(selected) + "\n";
  } else if (attribute != Attribute::kKeyCount) {
    if (selected >= keys.size()) return -EINVAL;
    const FakeAppleSmcKey& key = keys[selected];
    content = attribute == Attribute::kKeyAtIndexName         ? key.name + "\n"
              : attribute == Attribute::kKeyAtIndexType       ? key.type + "\n"
              : attribute == Attribute::kKeyAtIndexDataLength ? std::to_string(key.value.size()) + "\n"
                                                              : std::string(key.value.begin(), key.value.end());
  }
  const std::size_t count = std::min(size, content.size());
  std::memcpy(buffer, content.data(), count);
  return static_cast<ssize_t>(count);
}

ssize_t FakeAppleSmcDriver::write(Attribute attribute, const void* bytes, std::size_t size) {
  ++operations;
  if (attribute != Attribute::kKeyAtIndex || opened_.count({attribute, Access::kWrite}) == 0) return -EBADF;
  // As the driver's kstrtoul: decimal digits, optionally one newline.
  std::string_view text(static_cast<const char*>(bytes), size);
  if (text.ends_with('\n')) text.remove_suffix(1);
  std::uint32_t index = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), index);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || index >= keys.size()) return -EINVAL;
  selected = index;
  return static_cast<ssize_t>(size);
}

std::string FakeAppleSmcDriver::describe(Attribute attribute) const {
  static const char* const kFiles[] = {
      "key_count",        "key_at_index", "key_at_index_name", "key_at_index_type", "key_at_index_data_length",
      "key_at_index_data"};
  return std::string("/fake/applesmc.768/") + kFiles[static_cast<int>(attribute)];
}

}  // namespace trellis::testing
