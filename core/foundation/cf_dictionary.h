#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_object.h"
#include "core/foundation/cf_string.h"

namespace mcom::cf {

class MutableDictionary;

// A map from string keys to objects (CFDictionary with string keys, which is what property
// lists, the registry and bundles hold). Keys are valid UTF-8 and are kept in the platform's
// literal UTF-16 order, the order in which a property list writes them.
//
// A Dictionary made by Create, by Copy or by the property-list reader never changes; a
// MutableDictionary (below) is one its owner may change, and everyone holding it as a
// Dictionary sees only the reading side.
//
// Reading a value with the wrong type reads as absent, never as an error:
//
//   std::optional<std::string> content = entity->GetString("content-hint");
//   std::optional<int64_t> size = disk->GetInteger("Size");   // empty when it is a string
class Dictionary : public Object {
 public:
  static constexpr TypeId kTypeId = TypeId::kDictionary;
  using Entries = std::map<std::string, Ref<Object>, UTF16Less>;

  // CFDictionaryCreate from parallel key and value lists: null when the lists differ in
  // length, a key is not valid UTF-8 or a value is null. A repeated key keeps its last value.
  static Ref<Dictionary> Create(const std::vector<std::string>& keys,
                                const std::vector<Ref<Object>>& values);
  // From ready entries: null when a key is not valid UTF-8 or a value is null. (Entries
  // should only ever hold valid UTF-8 keys: their order is not defined for anything else.)
  static Ref<Dictionary> Create(Entries entries);

  size_t Count() const { return entries_.size(); }
  bool Contains(std::string_view key) const { return entries_.find(key) != entries_.end(); }

  // CFDictionaryGetValue: the value for `key`, or null.
  Ref<Object> GetValue(std::string_view key) const;
  // The typed view of the value for `key`: null when missing or of another type.
  template <typename T>
  Ref<T> Get(std::string_view key) const {
    return As<T>(GetValue(key));
  }

  // The readers used everywhere; each is empty (or null) when the key is missing or its
  // value has another type.
  std::optional<std::string> GetString(std::string_view key) const;  // UTF-8
  std::optional<bool> GetBool(std::string_view key) const;           // a Boolean only
  std::optional<int64_t> GetInteger(std::string_view key) const;     // Number::Int64Value
  std::optional<uint64_t> GetUnsigned(std::string_view key) const;   // Number::UInt64Value
  std::optional<double> GetDouble(std::string_view key) const;       // any Number
  Ref<Dictionary> GetDictionary(std::string_view key) const;
  Ref<Array> GetArray(std::string_view key) const;
  Ref<Data> GetData(std::string_view key) const;

  // The keys in order.
  std::vector<std::string> Keys() const;

  // An immutable copy (CFDictionaryCreateCopy); the values are shared, not copied.
  Ref<Dictionary> Copy() const;
  // CFDictionaryCreateMutableCopy with no capacity limit; the values are shared.
  Ref<MutableDictionary> MutableCopy() const;

  const Entries& entries() const { return entries_; }
  Entries::const_iterator begin() const { return entries_.begin(); }
  Entries::const_iterator end() const { return entries_.end(); }

  Dictionary(Passkey, Entries entries) : Object(kTypeId), entries_(std::move(entries)) {}

 protected:
  Entries entries_;

 private:
  bool EqualTo(const Object& other, int depth_left) const override;
};

// A Dictionary its owner may change (CFMutableDictionary). Not thread-safe: one writer, and
// no readers while it writes.
//
// Putting a dictionary into itself, directly or through other containers, is not allowed:
// the platform forbids it too, and the values would never be released.
class MutableDictionary final : public Dictionary {
 public:
  static constexpr bool kIsMutable = true;

  // An empty mutable dictionary (CFDictionaryCreateMutable with no capacity limit).
  static Ref<MutableDictionary> Create();

  // CFDictionarySetValue: adds or replaces. Answers false and changes nothing when `key` is
  // not valid UTF-8 or `value` is null.
  bool SetValue(std::string_view key, Ref<Object> value);
  // CFDictionaryRemoveValue; removing a missing key does nothing.
  void RemoveValue(std::string_view key);

  MutableDictionary(Passkey passkey, Entries entries) : Dictionary(passkey, std::move(entries)) {}
};

// The same readers on a dictionary that may be null (null reads as empty), so that nested
// look-ups need no checks in between:
//
//   cf::GetString(cf::GetDictionary(plist, "SystemVersion"), "ProductVersion")
std::optional<std::string> GetString(const Ref<Dictionary>& dictionary, std::string_view key);
std::optional<bool> GetBool(const Ref<Dictionary>& dictionary, std::string_view key);
std::optional<int64_t> GetInteger(const Ref<Dictionary>& dictionary, std::string_view key);
Ref<Dictionary> GetDictionary(const Ref<Dictionary>& dictionary, std::string_view key);
Ref<Array> GetArray(const Ref<Dictionary>& dictionary, std::string_view key);

}  // namespace mcom::cf
