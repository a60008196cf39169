#include "sim/machine/property_list_fields.h"

#include <limits>

#include "core/foundation/cf_string.h"
#include "sim/machine/machine_error.h"

namespace sim {

namespace cf = mcom::cf;

std::string PropertyListFields::PlaceOf(std::string_view key) const {
  return place_.empty() ? std::string(key) : place_ + "." + std::string(key);
}

void PropertyListFields::Fail(std::string_view key, std::string_view problem) const {
  throw MachineError(PlaceOf(key) + ": " + std::string(problem));
}

std::string PropertyListFields::RequiredString(std::string_view key) const {
  std::optional<std::string> value = dictionary_ ? dictionary_->GetString(key) : std::nullopt;
  if (!value) Fail(key, "missing or not a string");
  return *value;
}

uint64_t PropertyListFields::RequiredUnsigned(std::string_view key) const {
  std::optional<uint64_t> value = dictionary_ ? dictionary_->GetUnsigned(key) : std::nullopt;
  if (!value) Fail(key, "missing or not a non-negative integer");
  return *value;
}

uint32_t PropertyListFields::RequiredUInt32(std::string_view key) const {
  const uint64_t value = RequiredUnsigned(key);
  if (value >= std::numeric_limits<uint32_t>::max()) Fail(key, "number out of range");
  return static_cast<uint32_t>(value);
}

bool PropertyListFields::Bool(std::string_view key, bool fallback) const {
  if (!Has(key)) return fallback;
  std::optional<bool> value = dictionary_->GetBool(key);
  if (!value) Fail(key, "not a boolean");
  return *value;
}

std::vector<std::string> PropertyListFields::Strings(std::string_view key) const {
  std::vector<std::string> strings;
  const cf::Ref<cf::Array> array = Array(key);
  for (size_t i = 0; array && i < array->Count(); ++i) {
    const cf::Ref<cf::String> string = array->Get<cf::String>(i);
    if (!string) Fail(key, "holds a value that is not a string");
    strings.push_back(string->utf8());
  }
  return strings;
}

std::map<std::string, std::string> PropertyListFields::StringMap(std::string_view key) const {
  std::map<std::string, std::string> values;
  if (const cf::Ref<cf::Dictionary> dictionary = Dictionary(key)) {
    for (const auto& [name, value] : *dictionary) {
      const cf::Ref<cf::String> string = cf::As<cf::String>(value);
      if (!string) Fail(std::string(key) + "." + name, "not a string");
      values[name] = string->utf8();
    }
  }
  return values;
}

cf::Ref<cf::Array> PropertyListFields::Array(std::string_view key) const {
  if (!Has(key)) return nullptr;
  cf::Ref<cf::Array> array = dictionary_->GetArray(key);
  if (!array) Fail(key, "not an array");
  return array;
}

cf::Ref<cf::Dictionary> PropertyListFields::Dictionary(std::string_view key) const {
  if (!Has(key)) return nullptr;
  cf::Ref<cf::Dictionary> dictionary = dictionary_->GetDictionary(key);
  if (!dictionary) Fail(key, "not a dictionary");
  return dictionary;
}

PropertyListFields PropertyListFields::Nested(std::string_view key) const {
  return PropertyListFields(Dictionary(key), PlaceOf(key));
}

PropertyListFields PropertyListFields::Element(const cf::Ref<cf::Array>& array,
                                               std::string_view key, size_t index) const {
  const std::string place = PlaceOf(key) + "[" + std::to_string(index) + "]";
  cf::Ref<cf::Dictionary> element = array->Get<cf::Dictionary>(index);
  if (!element) throw MachineError(place + ": not a dictionary");
  return PropertyListFields(std::move(element), place);
}

}  // namespace sim
