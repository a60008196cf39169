#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundation/cf_dictionary.h"

namespace sim {

// One entry of the registry in the form `ioreg -a -l` writes it: a dictionary with
// "IOObjectClass", "IORegistryEntryName", "IORegistryEntryID", the entry's properties and,
// when it has children, "IORegistryEntryChildren". Properties keep their real types:
// booleans are booleans, numbers integers, texts strings.
//
//   RegistryEntry media("IOMedia", "EFI System Partition@1", id);
//   media.SetString("BSD Name", "disk0s1").SetBool("Whole", false).SetInteger("Size", size);
//   scheme.AddChild(media.Build());
//
// A built entry is an immutable dictionary and may be added under several parents (an entry
// with several parents in the service plane appears under each, with the same id).
class RegistryEntry {
 public:
  RegistryEntry(std::string_view class_name, std::string_view name, uint64_t id);

  RegistryEntry& SetString(std::string_view key, std::string_view value);
  RegistryEntry& SetInteger(std::string_view key, uint64_t value);
  RegistryEntry& SetBool(std::string_view key, bool value);
  RegistryEntry& SetData(std::string_view key, std::string_view bytes);
  RegistryEntry& SetStrings(std::string_view key, const std::vector<std::string>& values);
  RegistryEntry& SetValue(std::string_view key, mcom::cf::Ref<mcom::cf::Object> value);

  RegistryEntry& AddChild(mcom::cf::Ref<mcom::cf::Dictionary> child);

  mcom::cf::Ref<mcom::cf::Dictionary> Build() const;

 private:
  mcom::cf::Ref<mcom::cf::MutableDictionary> properties_;
  std::vector<mcom::cf::Ref<mcom::cf::Object>> children_;
};

// A dictionary of string values, for nested properties ("Protocol Characteristics"); empty
// values are left out.
mcom::cf::Ref<mcom::cf::Dictionary> StringDictionary(
    const std::vector<std::pair<std::string, std::string>>& values);

}  // namespace sim
