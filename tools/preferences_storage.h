// Where typed preferences persist: a storage hands out domains (the standard domain and one per
// suite name), and a domain reads its values and replaces them durably. The platform folder
// supplies the real storage (files); tests install their own. The document functions at the end
// are the on-disk form and are pure: any thread may call them. Whether a storage or domain may be
// used from several threads is said by each implementation; the platform's may.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "model/value.h"

namespace trellis {

// One named set of key/value pairs that persists across launches, shared with other processes.
class PreferencesDomain {
 public:
  virtual ~PreferencesDomain() = default;

  // The value stored under `key` now, as the last write of any process left it; nothing when the
  // key is missing or the domain cannot be read (an unreadable domain reads as empty).
  virtual std::optional<Value> valueForKey(std::string_view key) = 0;

  // Applies `change` to the values stored now and makes the result durable before returning (the
  // write and its flush are one step). `change` runs once, on the calling thread, and must not use
  // the domain. Returns false, with the stored values left as they were, when the result cannot be
  // stored (no storage, a value the document cannot hold, an I/O failure).
  virtual bool update(const std::function<void(Dictionary&)>& change) = 0;
};

class PreferencesStorage {
 public:
  virtual ~PreferencesStorage() = default;

  // The application's standard domain.
  virtual std::shared_ptr<PreferencesDomain> standardDomain() = 0;
  // The domain of a named suite; nullptr for a name the storage cannot give a domain (the empty
  // name, for one). A suite name never names a place outside the storage: it is not a path.
  virtual std::shared_ptr<PreferencesDomain> suiteDomain(std::string_view suiteName) = 0;

  // The one the process uses (base/services.h).
  static PreferencesStorage& system();
};


// ---- The document ----
//
// A domain is kept as one keyed archive document (model/keyed_archive.h) whose top level holds a
// single entry, the dictionary of the domain's values:
//
//   {"format":"trellis-keyed-archive","version":1,"top":{"values":{"dictionary":{KEY: NODE, ...}}}}
//
// so every value keeps its kind (a float stays a float, an int64 an int64, bytes stay bytes, a
// date a date). Null values are not preference values: a document holding one is refused. Other
// entries of the top level are ignored, and not kept by the next write.

inline constexpr std::string_view kPreferencesValuesKey = "values";

// The document of `values`; nothing when it cannot be written: a null anywhere, a text or key that
// is not UTF-8, nesting too deep for the archive.
std::optional<std::string> preferencesDocument(const Dictionary& values);

// The values of a document; nothing (and the reason in `error` when given) when `document` is not
// such a document: not JSON, truncated, of another format, no "values" dictionary, a malformed
// node, a null. Whatever it reads, preferencesDocument writes again. Never throws.
std::optional<Dictionary> readPreferencesDocument(std::string_view document, std::string* error = nullptr);

// True when `value` holds no null at any depth (a property-list value).
bool isPreferenceValue(const Value& value);

}  // namespace trellis
