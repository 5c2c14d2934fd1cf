// An in-memory preferences storage for tests: domains are dictionaries kept by name, and each
// domain counts its flushes (updates). Single-threaded.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "tools/preferences_storage.h"

namespace trellis::testing {

class MemoryDomain final : public PreferencesDomain {
 public:
  std::optional<Value> valueForKey(std::string_view key) override {
    auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
  bool update(const std::function<void(Dictionary&)>& change) override {
    Dictionary changed = values;
    change(changed);
    if (!preferencesDocument(changed)) return false;  // what the real document cannot hold
    values = std::move(changed);
    ++flushes;
    return true;
  }

  Dictionary values;
  int flushes = 0;
};

class MemoryStorage final : public PreferencesStorage {
 public:
  std::shared_ptr<PreferencesDomain> standardDomain() override { return domain(""); }
  std::shared_ptr<PreferencesDomain> suiteDomain(std::string_view name) override {  // none for "" and "refused"
    return name.empty() || name == "refused" ? nullptr : domain("suite:" + std::string(name));
  }
  // The domain kept under `name` ("" for the standard one, "suite:NAME" for a suite).
  std::shared_ptr<MemoryDomain> domain(const std::string& name) {
    auto& slot = domains[name];
    if (!slot) slot = std::make_shared<MemoryDomain>();
    return slot;
  }

  std::map<std::string, std::shared_ptr<MemoryDomain>> domains;
};

}  // namespace trellis::testing
