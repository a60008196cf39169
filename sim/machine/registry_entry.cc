#include "sim/machine/registry_entry.h"

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"

namespace sim {

namespace cf = mcom::cf;

RegistryEntry::RegistryEntry(std::string_view class_name, std::string_view name, uint64_t id)
    : properties_(cf::MutableDictionary::Create()) {
  SetString("IOObjectClass", class_name);
  SetString("IORegistryEntryName", name);
  SetInteger("IORegistryEntryID", id);
}

RegistryEntry& RegistryEntry::SetString(std::string_view key, std::string_view value) {
  // Texts that are not UTF-8 (a volume name from a damaged file) are left out, as the
  // registry could not carry them either.
  if (cf::Ref<cf::String> string = cf::String::Create(value)) properties_->SetValue(key, string);
  return *this;
}

RegistryEntry& RegistryEntry::SetInteger(std::string_view key, uint64_t value) {
  properties_->SetValue(key, cf::Number::CreateUnsigned(value));
  return *this;
}

RegistryEntry& RegistryEntry::SetBool(std::string_view key, bool value) {
  properties_->SetValue(key, cf::Boolean::Get(value));
  return *this;
}

RegistryEntry& RegistryEntry::SetData(std::string_view key, std::string_view bytes) {
  properties_->SetValue(key, cf::Data::Create(bytes));
  return *this;
}

RegistryEntry& RegistryEntry::SetStrings(std::string_view key,
                                         const std::vector<std::string>& values) {
  cf::Array::Values strings;
  for (const std::string& value : values) {
    if (cf::Ref<cf::String> string = cf::String::Create(value)) strings.push_back(string);
  }
  properties_->SetValue(key, cf::Array::Create(std::move(strings)));
  return *this;
}

RegistryEntry& RegistryEntry::SetValue(std::string_view key, cf::Ref<cf::Object> value) {
  properties_->SetValue(key, std::move(value));
  return *this;
}

RegistryEntry& RegistryEntry::AddChild(cf::Ref<cf::Dictionary> child) {
  children_.push_back(std::move(child));
  return *this;
}

cf::Ref<cf::Dictionary> RegistryEntry::Build() const {
  cf::Ref<cf::MutableDictionary> entry = properties_->MutableCopy();
  if (!children_.empty()) entry->SetValue("IORegistryEntryChildren", cf::Array::Create(children_));
  return entry->Copy();
}

cf::Ref<cf::Dictionary> StringDictionary(
    const std::vector<std::pair<std::string, std::string>>& values) {
  cf::Ref<cf::MutableDictionary> dictionary = cf::MutableDictionary::Create();
  for (const auto& [key, value] : values) {
    if (value.empty()) continue;
    if (cf::Ref<cf::String> string = cf::String::Create(value)) dictionary->SetValue(key, string);
  }
  return dictionary->Copy();
}

}  // namespace sim
