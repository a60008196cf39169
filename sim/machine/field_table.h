#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/disk_name.h"
#include "sim/machine/model.h"
#include "sim/machine/property_list_fields.h"

// The fields of the records that the machine keeps in property lists (machine.plist and the
// fixtures), one table per record type: each field's key, the member holding it and whether
// it must be there. One table drives both the reading and the writing of its record, so a
// field is added by adding its line; keys derived from other records and checks across fields
// stay with the record's own reader and writer.
//
//   constexpr Field<Boot> kBootFields[] = {
//       {"Device", &Boot::device},
//       {"RestartRequested", &Boot::restart_requested},
//   };
//   ReadFields(fields, kBootFields, boot);
//   cf::Ref<cf::MutableDictionary> plist = FieldsToPropertyList(boot, kBootFields);
namespace sim {

enum class FieldUse {
  kRequired,  // reading fails without it; always written
  kOptional,  // a missing key leaves the member as it is (the struct's default); always written
  kIfSet,     // read as kOptional; written only when the value is not the struct's default
};

// A value that no member kind below covers (a nested dictionary, an array of records, a key
// derived from the rest of the record), read and written by functions of its own.
template <typename Record>
struct FieldFunctions {
  // Called only when the key is present (or the field is required); null for a key that is
  // written for readers of the file only.
  void (*read)(const PropertyListFields& fields, std::string_view key, Record& record) = nullptr;
  // Null, or a null result: the key is not written.
  mcom::cf::Ref<mcom::cf::Object> (*write)(const Record& record) = nullptr;
};

// One line of a record's table. The kind of the value follows from the member's type:
//   std::string                         a string
//   bool                                a boolean
//   uint32_t                            an integer below 0xFFFFFFFF (the "no slice" value)
//   uint64_t                            a non-negative integer
//   pid_t                               a process id: an integer from 1 to the largest pid
//   std::vector<std::string>            an array of strings; missing reads as empty
//   std::map<std::string, std::string>  a dictionary of strings; missing reads as empty
//   mcom::DiskName                      a BSD name ("disk1s2")
//   DiskKind                            "internal", "external" or "image"
template <typename Record>
struct Field {
  using RecordType = Record;
  using Member =
      std::variant<std::string Record::*, bool Record::*, uint32_t Record::*, uint64_t Record::*,
                   pid_t Record::*, std::vector<std::string> Record::*,
                   std::map<std::string, std::string> Record::*, mcom::DiskName Record::*,
                   DiskKind Record::*, FieldFunctions<Record>>;

  std::string_view key;
  Member member;
  FieldUse use = FieldUse::kOptional;
};

namespace field_internal {

// One value read from `fields` at `key`, which is present or required. Throws MachineError
// as PropertyListFields does.
void Read(const PropertyListFields& fields, std::string_view key, std::string& value);
void Read(const PropertyListFields& fields, std::string_view key, bool& value);
void Read(const PropertyListFields& fields, std::string_view key, uint32_t& value);
void Read(const PropertyListFields& fields, std::string_view key, uint64_t& value);
void Read(const PropertyListFields& fields, std::string_view key, pid_t& value);
void Read(const PropertyListFields& fields, std::string_view key, std::vector<std::string>& value);
void Read(const PropertyListFields& fields, std::string_view key,
          std::map<std::string, std::string>& value);
void Read(const PropertyListFields& fields, std::string_view key, mcom::DiskName& value);
void Read(const PropertyListFields& fields, std::string_view key, DiskKind& value);

template <typename... Functions>
struct Overloaded : Functions... {
  using Functions::operator()...;
};
template <typename... Functions>
Overloaded(Functions...) -> Overloaded<Functions...>;

}  // namespace field_internal

// The property-list object of one value; null for text that is not UTF-8, which is then left
// out rather than failing the whole write (strings inside an array are left out alike).
mcom::cf::Ref<mcom::cf::Object> PlistValue(const std::string& value);
mcom::cf::Ref<mcom::cf::Object> PlistValue(const char* value) = delete;  // would be a boolean
mcom::cf::Ref<mcom::cf::Object> PlistValue(bool value);
mcom::cf::Ref<mcom::cf::Object> PlistValue(uint32_t value);
mcom::cf::Ref<mcom::cf::Object> PlistValue(uint64_t value);
mcom::cf::Ref<mcom::cf::Object> PlistValue(pid_t value);
mcom::cf::Ref<mcom::cf::Object> PlistValue(const std::vector<std::string>& value);
mcom::cf::Ref<mcom::cf::Object> PlistValue(const std::map<std::string, std::string>& value);
mcom::cf::Ref<mcom::cf::Object> PlistValue(mcom::DiskName value);
mcom::cf::Ref<mcom::cf::Object> PlistValue(DiskKind value);

template <typename Record>
using FieldTable = std::type_identity_t<std::span<const Field<Record>>>;

// Reads the fields of `table` from `fields` into `record`, in table order; the first problem
// throws MachineError ("Disks[1].Size: missing or not a non-negative integer").
template <typename Record>
void ReadFields(const PropertyListFields& fields, FieldTable<Record> table, Record& record) {
  for (const Field<Record>& field : table) {
    if (field.use != FieldUse::kRequired && !fields.Has(field.key)) continue;
    std::visit(field_internal::Overloaded{
                   [&](const FieldFunctions<Record>& functions) {
                     if (functions.read) functions.read(fields, field.key, record);
                   },
                   [&](auto member) { field_internal::Read(fields, field.key, record.*member); },
               },
               field.member);
  }
}

// Adds the fields of `table` from `record` to `dictionary`.
template <typename Record>
void WriteFields(const Record& record, FieldTable<Record> table,
                 mcom::cf::MutableDictionary& dictionary) {
  static const Record kDefaults{};
  for (const Field<Record>& field : table) {
    mcom::cf::Ref<mcom::cf::Object> value = std::visit(
        field_internal::Overloaded{
            [&](const FieldFunctions<Record>& functions) -> mcom::cf::Ref<mcom::cf::Object> {
              return functions.write ? functions.write(record) : nullptr;
            },
            [&](auto member) -> mcom::cf::Ref<mcom::cf::Object> {
              if (field.use == FieldUse::kIfSet && record.*member == kDefaults.*member) {
                return nullptr;
              }
              return PlistValue(record.*member);
            },
        },
        field.member);
    if (value) dictionary.SetValue(field.key, std::move(value));
  }
}

// A new dictionary holding the fields of `table` from `record`.
template <typename Record>
mcom::cf::Ref<mcom::cf::MutableDictionary> FieldsToPropertyList(const Record& record,
                                                                FieldTable<Record> table) {
  mcom::cf::Ref<mcom::cf::MutableDictionary> dictionary = mcom::cf::MutableDictionary::Create();
  WriteFields(record, table, *dictionary);
  return dictionary;
}

// The record type of a table (a constexpr array of Field<Record>).
template <const auto& table>
using RecordOf = typename std::remove_cvref_t<decltype(table[0])>::RecordType;

// A new record read by `table`, and a record written by it: element readers and writers for
// RecordArray where a record needs no more than its table.
template <const auto& table>
RecordOf<table> ReadRecord(const PropertyListFields& fields) {
  RecordOf<table> record;
  ReadFields(fields, table, record);
  return record;
}
template <const auto& table>
mcom::cf::Ref<mcom::cf::Object> WriteRecord(const RecordOf<table>& record) {
  return FieldsToPropertyList(record, table);
}

namespace field_internal {
template <typename Pointer>
struct MemberTraits;
template <typename Owner, typename Member>
struct MemberTraits<Member Owner::*> {
  using OwnerType = Owner;
  using Type = Member;
};
template <auto member>
using OwnerOf = typename MemberTraits<decltype(member)>::OwnerType;
template <auto member>
using MemberType = typename MemberTraits<decltype(member)>::Type;
}  // namespace field_internal

// A record kept in a nested dictionary: `member` of the owner, with the fields of `table`.
template <auto member, const auto& table>
constexpr FieldFunctions<field_internal::OwnerOf<member>> NestedRecord() {
  using Owner = field_internal::OwnerOf<member>;
  return {
      [](const PropertyListFields& fields, std::string_view key, Owner& owner) {
        ReadFields(fields.Nested(key), table, owner.*member);
      },
      [](const Owner& owner) -> mcom::cf::Ref<mcom::cf::Object> {
        return FieldsToPropertyList(owner.*member, table);
      },
  };
}

// An array of records kept in the vector `member` of the owner. Each element is read by
// `read` (Element read(const PropertyListFields&)) and written by `write`, which is given the
// element, or the owner and the element for keys derived from the rest of the owner; a null
// `write` makes a field that is only read (fixtures).
template <auto member, auto read, auto write = nullptr>
constexpr FieldFunctions<field_internal::OwnerOf<member>> RecordArray() {
  using Owner = field_internal::OwnerOf<member>;
  using Element = typename field_internal::MemberType<member>::value_type;
  FieldFunctions<Owner> functions;
  functions.read = [](const PropertyListFields& fields, std::string_view key, Owner& owner) {
    fields.ForEachDictionary(
        key, [&](const PropertyListFields& element) { (owner.*member).push_back(read(element)); });
  };
  if constexpr (!std::is_null_pointer_v<decltype(write)>) {
    functions.write = [](const Owner& owner) -> mcom::cf::Ref<mcom::cf::Object> {
      mcom::cf::Ref<mcom::cf::MutableArray> array = mcom::cf::MutableArray::Create();
      for (const Element& element : owner.*member) {
        if constexpr (std::is_invocable_v<decltype(write), const Owner&, const Element&>) {
          array->Append(write(owner, element));
        } else {
          array->Append(write(element));
        }
      }
      return array;
    };
  }
  return functions;
}

}  // namespace sim
