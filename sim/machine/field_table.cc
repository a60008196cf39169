#include "sim/machine/field_table.h"

#include <limits>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"

namespace sim {

namespace cf = mcom::cf;

namespace field_internal {

void Read(const PropertyListFields& fields, std::string_view key, std::string& value) {
  value = fields.RequiredString(key);
}

void Read(const PropertyListFields& fields, std::string_view key, bool& value) {
  if (!fields.Has(key)) fields.Fail(key, "missing or not a boolean");
  value = fields.Bool(key, value);
}

void Read(const PropertyListFields& fields, std::string_view key, uint32_t& value) {
  value = fields.RequiredUInt32(key);
}

void Read(const PropertyListFields& fields, std::string_view key, uint64_t& value) {
  value = fields.RequiredUnsigned(key);
}

void Read(const PropertyListFields& fields, std::string_view key, pid_t& value) {
  const uint64_t pid = fields.RequiredUnsigned(key);
  if (pid == 0 || pid > static_cast<uint64_t>(std::numeric_limits<pid_t>::max())) {
    fields.Fail(key, "not a process id");
  }
  value = static_cast<pid_t>(pid);
}

void Read(const PropertyListFields& fields, std::string_view key, std::vector<std::string>& value) {
  value = fields.Strings(key);
}

void Read(const PropertyListFields& fields, std::string_view key,
          std::map<std::string, std::string>& value) {
  value = fields.StringMap(key);
}

void Read(const PropertyListFields& fields, std::string_view key, mcom::DiskName& value) {
  const std::optional<mcom::DiskName> name = mcom::ParseDiskName(fields.RequiredString(key));
  if (!name) fields.Fail(key, "not a disk name");
  value = *name;
}

void Read(const PropertyListFields& fields, std::string_view key, DiskKind& value) {
  if (!ParseDiskKind(fields.RequiredString(key), &value)) {
    fields.Fail(key, "not one of internal, external, image");
  }
}

}  // namespace field_internal

cf::Ref<cf::Object> PlistValue(const std::string& value) { return cf::String::Create(value); }

cf::Ref<cf::Object> PlistValue(bool value) { return cf::Boolean::Get(value); }

cf::Ref<cf::Object> PlistValue(uint32_t value) { return cf::Number::CreateUnsigned(value); }

cf::Ref<cf::Object> PlistValue(uint64_t value) { return cf::Number::CreateUnsigned(value); }

cf::Ref<cf::Object> PlistValue(pid_t value) {
  return cf::Number::CreateUnsigned(static_cast<uint64_t>(value));
}

cf::Ref<cf::Object> PlistValue(const std::vector<std::string>& value) {
  cf::Ref<cf::MutableArray> array = cf::MutableArray::Create();
  for (const std::string& string : value) array->Append(PlistValue(string));
  return array;
}

cf::Ref<cf::Object> PlistValue(const std::map<std::string, std::string>& value) {
  cf::Ref<cf::MutableDictionary> dictionary = cf::MutableDictionary::Create();
  for (const auto& [key, string] : value) {
    if (cf::Ref<cf::Object> object = PlistValue(string)) dictionary->SetValue(key, object);
  }
  return dictionary;
}

cf::Ref<cf::Object> PlistValue(mcom::DiskName value) {
  return PlistValue(mcom::FormatDiskName(value));
}

cf::Ref<cf::Object> PlistValue(DiskKind value) {
  return PlistValue(std::string(DiskKindName(value)));
}

}  // namespace sim
