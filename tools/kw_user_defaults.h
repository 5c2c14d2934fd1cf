// The typed preferences store. A PreferencesStore reads and writes typed values in one domain
// (the standard domain or a named suite) and flushes every write at once; KwUserDefaults is the
// process-wide instance over the standard store plus a registry of group (suite) stores. A
// PreferencesStore may be used from any thread when its domain may (the platform's may). The
// current group and the group registry of a KwUserDefaults are not guarded: change and use them
// from one thread (the main thread in the agent).
//
// Reading a value stored as one kind as another kind (the conversions the store makes on read;
// "-" is the asked kind's missing result: nothing, 0, 0.0 or false):
//
//   stored \ read as  | text              | integer            | float, double      | bool             | URL
//   ------------------+-------------------+--------------------+--------------------+------------------+------------------
//   text              | itself            | leading integer    | leading number     | leading Y y T t  | absolute URL: as
//                     |                   | (" -42x" -> -42;   | (" 2.5e3x" ->      | or 1-9, after    | is; "/path": its
//                     |                   | none -> 0;         | 2500; none -> 0;   | white space, a   | file URL; else -
//                     |                   | saturated)         | overflow -> +-inf) | sign and zeros   |
//   bool              | "1" or "0"        | 1 or 0             | 1.0 or 0.0         | itself           | -
//   integer (any      | decimal digits    | itself; past int64 | nearest            | not 0            | -
//   width and sign)   |                   | saturated          |                    |                  |
//   float, double     | shortest text     | toward zero,       | itself; a double   | not 0 (NaN is    | -
//                     | that reads back   | saturated, NaN 0   | read as float is   | not 0)           |
//                     | ("0.1", "1e+300") |                    | rounded, past its  |                  |
//                     |                   |                    | range +-infinity   |                  |
//   date, data,       | -                 | 0                  | 0.0                | false            | -
//   array, dictionary |                   |                    |                    |                  |
//
// Array, dictionary and data are read only from a value of that very kind, and object reads give
// the stored value unchanged. A URL is stored as its text: `setURL` writes text, so a URL reads
// back as text too, and a text reads as a URL as the last column says ("file://" plus the path,
// with bytes outside A-Z a-z 0-9 - . _ ~ / percent-encoded).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "model/value.h"
#include "tools/preferences_storage.h"

namespace trellis {

// Typed values in one domain. Every setter and remove writes and flushes before it returns, and
// reports whether the value was stored; getters never write. A store without a domain (see the
// constructor) drops every write and reads every key as missing.
class PreferencesStore {
 public:
  explicit PreferencesStore(std::shared_ptr<PreferencesDomain> domain) : domain_(std::move(domain)) {}

  // The stored value of any kind, unchanged; nothing when missing.
  std::optional<Value> objectForKey(std::string_view key) const;
  // Stores `value` (any value holding no null; a value with a null inside is refused). A null
  // `value` removes the key, as writing nothing does.
  bool setObject(const Value& value, std::string_view key);
  bool removeObjectForKey(std::string_view key);
  // Writes each entry of `values` in the dictionary's order (a null entry removes its key) and
  // flushes once, after the last, also for an empty dictionary. All or nothing.
  bool setObjects(const Dictionary& values);

  std::optional<std::string> stringForKey(std::string_view key) const;
  std::optional<Array> arrayForKey(std::string_view key) const;
  std::optional<Dictionary> dictionaryForKey(std::string_view key) const;
  std::optional<Bytes> dataForKey(std::string_view key) const;

  std::int64_t integerForKey(std::string_view key) const;
  bool setInteger(std::int64_t value, std::string_view key);
  float floatForKey(std::string_view key) const;
  bool setFloat(float value, std::string_view key);
  double doubleForKey(std::string_view key) const;
  bool setDouble(double value, std::string_view key);
  bool boolForKey(std::string_view key) const;
  bool setBool(bool value, std::string_view key);
  // The URL's text (see the table above); nothing when missing or not a URL.
  std::optional<std::string> URLForKey(std::string_view key) const;
  // Stores the URL's text; an empty text removes the key (no URL).
  bool setURL(std::string_view url, std::string_view key);

  // The conversions of the table above, for a value read from any store.
  static std::optional<std::string> stringFromValue(const Value& value);
  static std::int64_t integerFromValue(const Value& value);
  static double doubleFromValue(const Value& value);
  static bool boolFromValue(const Value& value);
  static std::optional<std::string> URLFromValue(const Value& value);

 private:
  std::shared_ptr<PreferencesDomain> domain_;
};

// Missing-value results: see the kind's getter on PreferencesStore. Group-key operations with no
// current group, and named-group operations with a name not registered, do nothing: writes are
// dropped and reads give the missing result. No operation reports a storage error.
class KwUserDefaults {
 public:
  // The one instance, made on first use (once, also under concurrent first calls) over
  // PreferencesStorage::system(), with an empty group map and no current group. Never destroyed.
  static KwUserDefaults& share();

  // An instance over `storage` (which must outlive it): the standard store is made now.
  explicit KwUserDefaults(PreferencesStorage& storage);
  KwUserDefaults(const KwUserDefaults&) = delete;
  KwUserDefaults& operator=(const KwUserDefaults&) = delete;

  // The standard store, the current group store (nullptr when none) and the registered ones.
  const std::shared_ptr<PreferencesStore>& userDefaults() const { return userDefaults_; }
  const std::shared_ptr<PreferencesStore>& groupDefaults() const { return groupDefaults_; }
  const std::map<std::string, std::shared_ptr<PreferencesStore>, std::less<>>& groupDefaultsDict() const {
    return groupDefaultsDict_;
  }

  // ---- Plain family: the standard store ----
  void setObjectForKey(const Value& value, std::string_view key);
  std::optional<Value> objectForKey(std::string_view key) const;
  void removeObjectForKey(std::string_view key);
  std::optional<std::string> stringForKey(std::string_view key) const;
  std::optional<Array> arrayForKey(std::string_view key) const;
  std::optional<Dictionary> dictionaryForKey(std::string_view key) const;
  std::optional<Bytes> dataForKey(std::string_view key) const;
  void setIntegerForKey(std::int64_t value, std::string_view key);
  std::int64_t integerForKey(std::string_view key) const;
  void setFloatForKey(float value, std::string_view key);
  float floatForKey(std::string_view key) const;
  void setDoubleForKey(double value, std::string_view key);
  double doubleForKey(std::string_view key) const;
  void setBoolForKey(bool value, std::string_view key);
  bool boolForKey(std::string_view key) const;
  void setURLForKey(std::string_view url, std::string_view key);
  std::optional<std::string> URLForKey(std::string_view key) const;
  void setObjectsWithKeys(const Dictionary& values);

  // ---- Group-key family: the current group store ----
  void setObjectForGroupKey(const Value& value, std::string_view key);
  std::optional<Value> objectForGroupKey(std::string_view key) const;
  void removeObjectForGroupKey(std::string_view key);
  std::optional<std::string> stringForGroupKey(std::string_view key) const;
  std::optional<Array> arrayForGroupKey(std::string_view key) const;
  std::optional<Dictionary> dictionaryForGroupKey(std::string_view key) const;
  std::optional<Bytes> dataForGroupKey(std::string_view key) const;
  void setIntegerForGroupKey(std::int64_t value, std::string_view key);
  std::int64_t integerForGroupKey(std::string_view key) const;
  void setFloatForGroupKey(float value, std::string_view key);
  float floatForGroupKey(std::string_view key) const;
  void setDoubleForGroupKey(double value, std::string_view key);
  double doubleForGroupKey(std::string_view key) const;
  void setBoolForGroupKey(bool value, std::string_view key);
  bool boolForGroupKey(std::string_view key) const;
  void setURLForGroupKey(std::string_view url, std::string_view key);
  std::optional<std::string> URLForGroupKey(std::string_view key) const;
  void setObjectsWithGroupKeys(const Dictionary& values);

  // ---- Named-group family: the store registered under `group` (value, group, key) ----
  void setObjectForGroup(const Value& value, std::string_view group, std::string_view key);
  std::optional<Value> objectForGroup(std::string_view group, std::string_view key) const;
  void removeObjectForGroup(std::string_view group, std::string_view key);
  std::optional<std::string> stringForGroup(std::string_view group, std::string_view key) const;
  std::optional<Array> arrayForGroup(std::string_view group, std::string_view key) const;
  std::optional<Dictionary> dictionaryForGroup(std::string_view group, std::string_view key) const;
  std::optional<Bytes> dataForGroup(std::string_view group, std::string_view key) const;
  void setIntegerForGroup(std::int64_t value, std::string_view group, std::string_view key);
  std::int64_t integerForGroup(std::string_view group, std::string_view key) const;
  void setFloatForGroup(float value, std::string_view group, std::string_view key);
  float floatForGroup(std::string_view group, std::string_view key) const;
  void setDoubleForGroup(double value, std::string_view group, std::string_view key);
  double doubleForGroup(std::string_view group, std::string_view key) const;
  void setBoolForGroup(bool value, std::string_view group, std::string_view key);
  bool boolForGroup(std::string_view group, std::string_view key) const;
  void setURLForGroup(std::string_view url, std::string_view group, std::string_view key);
  std::optional<std::string> URLForGroup(std::string_view group, std::string_view key) const;
  void setObjectsWithGroup(std::string_view group, const Dictionary& values);

  // ---- Groups ----
  // Makes a new store for `name`, registers it under the name (replacing any store registered
  // under it) and makes it the current group. Ignores an empty name and one the storage cannot
  // give a domain.
  void setGroupName(std::string_view name);
  // The store registered under `name`, or a new one made and registered; the current group does
  // not change. nullptr for an empty name or one the storage cannot give a domain.
  std::shared_ptr<PreferencesStore> addGroupWithName(std::string_view name);
  // Unregisters the store of `name`; when that very store is the current group, there is no
  // current group afterwards.
  void removeGroupWithName(std::string_view name);
  // The store registered under `name`, or nullptr.
  std::shared_ptr<PreferencesStore> getGroupDefaultsWithName(std::string_view name) const;

 private:
  std::shared_ptr<PreferencesStore> makeGroupStore(std::string_view name);
  PreferencesStore* named(std::string_view group) const;

  PreferencesStorage& storage_;
  std::shared_ptr<PreferencesStore> userDefaults_;
  std::shared_ptr<PreferencesStore> groupDefaults_;
  std::map<std::string, std::shared_ptr<PreferencesStore>, std::less<>> groupDefaultsDict_;
};

}  // namespace trellis
