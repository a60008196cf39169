#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_dictionary.h"

namespace sim {

// Typed, checked access to one dictionary of a property list the machine reads
// (machine.plist, fixtures). Every failure throws MachineError naming the dictionary's
// place ("Disks[1]") and the key: "Disks[1].Size: missing or not a non-negative integer".
// A key that is present with the wrong type is an error even where the key is optional;
// an optional key that is missing gives the fallback.
class PropertyListFields {
 public:
  PropertyListFields(mcom::cf::Ref<mcom::cf::Dictionary> dictionary, std::string place)
      : dictionary_(std::move(dictionary)), place_(std::move(place)) {}

  const std::string& place() const { return place_; }
  const mcom::cf::Ref<mcom::cf::Dictionary>& dictionary() const { return dictionary_; }
  bool Has(std::string_view key) const { return dictionary_ && dictionary_->Contains(key); }

  // Throws MachineError("<place>.<key>: <problem>").
  [[noreturn]] void Fail(std::string_view key, std::string_view problem) const;

  std::string RequiredString(std::string_view key) const;
  uint64_t RequiredUnsigned(std::string_view key) const;
  // Below 0xFFFFFFFF (which would read as "no slice" in a disk name).
  uint32_t RequiredUInt32(std::string_view key) const;
  bool Bool(std::string_view key, bool fallback) const;
  // An array of strings; empty when missing.
  std::vector<std::string> Strings(std::string_view key) const;
  // A dictionary of strings; empty when missing.
  std::map<std::string, std::string> StringMap(std::string_view key) const;
  // Null when missing.
  mcom::cf::Ref<mcom::cf::Array> Array(std::string_view key) const;
  mcom::cf::Ref<mcom::cf::Dictionary> Dictionary(std::string_view key) const;
  // The fields of the dictionary at `key` (place "<place>.<key>"); null dictionary when
  // missing.
  PropertyListFields Nested(std::string_view key) const;

  // Calls `read` with the fields of each dictionary in the array at `key` (place
  // "<place>.<key>[i]"); an element that is not a dictionary is an error.
  template <typename Read>
  void ForEachDictionary(std::string_view key, Read read) const {
    const mcom::cf::Ref<mcom::cf::Array> array = Array(key);
    for (size_t i = 0; array && i < array->Count(); ++i) {
      read(Element(array, key, i));
    }
  }

 private:
  PropertyListFields Element(const mcom::cf::Ref<mcom::cf::Array>& array, std::string_view key,
                             size_t index) const;
  std::string PlaceOf(std::string_view key) const;

  mcom::cf::Ref<mcom::cf::Dictionary> dictionary_;
  std::string place_;
};

}  // namespace sim
