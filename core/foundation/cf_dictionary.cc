#include "core/foundation/cf_dictionary.h"

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_number.h"

namespace mcom::cf {

Ref<Dictionary> Dictionary::Create(const std::vector<std::string>& keys,
                                   const std::vector<Ref<Object>>& values) {
  if (keys.size() != values.size()) return nullptr;
  Entries entries;
  for (size_t index = 0; index < keys.size(); ++index) {
    // Checked before insertion: the key order is only defined for valid UTF-8.
    if (!IsValidUTF8(keys[index])) return nullptr;
    entries.insert_or_assign(keys[index], values[index]);
  }
  return Create(std::move(entries));
}

Ref<Dictionary> Dictionary::Create(Entries entries) {
  for (const auto& [key, value] : entries) {
    if (!value || !IsValidUTF8(key)) return nullptr;
  }
  return Make<Dictionary>(std::move(entries));
}

Ref<Object> Dictionary::GetValue(std::string_view key) const {
  const auto entry = entries_.find(key);
  return entry == entries_.end() ? nullptr : entry->second;
}

std::optional<std::string> Dictionary::GetString(std::string_view key) const {
  const Ref<String> string = Get<String>(key);
  if (!string) return std::nullopt;
  return string->utf8();
}

std::optional<bool> Dictionary::GetBool(std::string_view key) const {
  const Ref<Boolean> boolean = Get<Boolean>(key);
  if (!boolean) return std::nullopt;
  return boolean->value();
}

std::optional<int64_t> Dictionary::GetInteger(std::string_view key) const {
  const Ref<Number> number = Get<Number>(key);
  if (!number) return std::nullopt;
  return number->Int64Value();
}

std::optional<uint64_t> Dictionary::GetUnsigned(std::string_view key) const {
  const Ref<Number> number = Get<Number>(key);
  if (!number) return std::nullopt;
  return number->UInt64Value();
}

std::optional<double> Dictionary::GetDouble(std::string_view key) const {
  const Ref<Number> number = Get<Number>(key);
  if (!number) return std::nullopt;
  return number->DoubleValue();
}

Ref<Dictionary> Dictionary::GetDictionary(std::string_view key) const {
  return Get<Dictionary>(key);
}

Ref<Array> Dictionary::GetArray(std::string_view key) const { return Get<Array>(key); }

Ref<Data> Dictionary::GetData(std::string_view key) const { return Get<Data>(key); }

std::vector<std::string> Dictionary::Keys() const {
  std::vector<std::string> keys;
  keys.reserve(entries_.size());
  for (const auto& entry : entries_) keys.push_back(entry.first);
  return keys;
}

Ref<Dictionary> Dictionary::Copy() const { return Make<Dictionary>(entries_); }

Ref<MutableDictionary> Dictionary::MutableCopy() const { return Make<MutableDictionary>(entries_); }

bool Dictionary::EqualTo(const Object& other_object, int depth_left) const {
  const Dictionary& other = static_cast<const Dictionary&>(other_object);
  if (depth_left <= 0 || entries_.size() != other.entries_.size()) return false;
  // Both maps are ordered by the same comparison, so equal dictionaries pair up in order.
  auto mine = entries_.begin();
  auto theirs = other.entries_.begin();
  for (; mine != entries_.end(); ++mine, ++theirs) {
    if (mine->first != theirs->first) return false;
    if (!EqualWithin(*mine->second, *theirs->second, depth_left - 1)) return false;
  }
  return true;
}

Ref<MutableDictionary> MutableDictionary::Create() { return Make<MutableDictionary>(Entries()); }

bool MutableDictionary::SetValue(std::string_view key, Ref<Object> value) {
  if (!value || !IsValidUTF8(key)) return false;
  entries_.insert_or_assign(std::string(key), std::move(value));
  return true;
}

void MutableDictionary::RemoveValue(std::string_view key) {
  const auto entry = entries_.find(key);
  if (entry != entries_.end()) entries_.erase(entry);
}

std::optional<std::string> GetString(const Ref<Dictionary>& dictionary, std::string_view key) {
  return dictionary ? dictionary->GetString(key) : std::nullopt;
}

std::optional<bool> GetBool(const Ref<Dictionary>& dictionary, std::string_view key) {
  return dictionary ? dictionary->GetBool(key) : std::nullopt;
}

std::optional<int64_t> GetInteger(const Ref<Dictionary>& dictionary, std::string_view key) {
  return dictionary ? dictionary->GetInteger(key) : std::nullopt;
}

Ref<Dictionary> GetDictionary(const Ref<Dictionary>& dictionary, std::string_view key) {
  return dictionary ? dictionary->GetDictionary(key) : nullptr;
}

Ref<Array> GetArray(const Ref<Dictionary>& dictionary, std::string_view key) {
  return dictionary ? dictionary->GetArray(key) : nullptr;
}

}  // namespace mcom::cf
