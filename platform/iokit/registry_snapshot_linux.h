#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_object.h"
#include "platform/iokit/io_return.h"

// The registry as read from one registry file: internal to the Linux registry stand-in
// (io_kit_lib_linux.cc, apfs_linux.cc), its tests and its fuzz target.
namespace platform::iokit_internal {

// One entry of the registry.
struct RegistryEntry {
  uint64_t id = 0;         // IORegistryEntryID
  std::string class_name;  // IOObjectClass: the kernel class
  std::string name;        // IORegistryEntryName; the class name when the file has none
  // The entry's dictionary as the file holds it, bookkeeping keys included; read it through
  // RegistrySnapshot::Property, which hides them.
  mcom::cf::Ref<mcom::cf::Dictionary> dictionary;
  // Indices into RegistrySnapshot::entries(), in registry order, without repetitions.
  std::vector<uint32_t> children;
  std::vector<uint32_t> parents;
  // The class followed by its superclasses up to IORegistryEntry (sim/machine/io_class_table.h).
  const std::vector<std::string_view>* class_chain = nullptr;
};

// An immutable, parsed registry. Shared by every object made from it, on any thread.
//
// The registry file is the tree `ioreg -a -l` prints: an entry is a dictionary holding
// "IOObjectClass" (a non-empty string), "IORegistryEntryID" (an integer), optionally
// "IORegistryEntryName" (a string) and "IORegistryEntryChildren" (an array of entries),
// and its properties. The top level is one entry (the root) or an array of entries (the
// form `ioreg -a -r` prints). An entry with several parents appears under each of them with
// the same IORegistryEntryID; the appearances are one entry, with the class, name and
// properties of the first and the children of all of them.
class RegistrySnapshot {
 public:
  RegistrySnapshot() = default;
  RegistrySnapshot(const RegistrySnapshot&) = delete;
  RegistrySnapshot& operator=(const RegistrySnapshot&) = delete;

  // An empty registry: the answer when there is no machine.
  static std::shared_ptr<const RegistrySnapshot> Empty();

  // The registry in `root`, or null with the reason in `problem`: the top level is not an
  // entry or an array of entries; an entry is not a dictionary, lacks its class or id, or has
  // children that are not an array of entries; two appearances of one id have different
  // classes; an entry is its own ancestor; more than 2^32 - 1 entries.
  static std::shared_ptr<const RegistrySnapshot> FromPropertyList(
      const mcom::cf::Ref<mcom::cf::Object>& root, std::string* problem);

  // The registry in the property-list bytes, as FromPropertyList; not a property list is a
  // problem too.
  static std::shared_ptr<const RegistrySnapshot> FromBytes(const void* bytes, size_t length,
                                                           std::string* problem);

  // Every entry in registry order: depth first in the order of the file, each entry where it
  // first appears.
  const std::vector<RegistryEntry>& entries() const { return entries_; }

  // The entry's property `key`, or null; the bookkeeping keys are not properties.
  mcom::cf::Ref<mcom::cf::Object> Property(uint32_t index, std::string_view key) const;

  // The class IOObjectGetClass answers: the string "IOClassNameOverride" property when
  // there is one, else the kernel class.
  std::string_view ClassName(uint32_t index) const;

  // Whether the entry's kernel class is `ancestor` or one of its subclasses.
  bool KernelClassConformsTo(uint32_t index, std::string_view ancestor) const;

  // The indices of the services `matching` selects, in registry order (see the matching
  // rules in io_kit_lib.h). kIOReturnUnsupported, and nothing, when it uses a matching key
  // that is not supported.
  IOReturn Match(const mcom::cf::Dictionary& matching, std::vector<uint32_t>* indices) const;

  // Whether the entry is a service and `matching` selects it. `matching` must hold no
  // unsupported key (Match checks that).
  bool Matches(uint32_t index, const mcom::cf::Dictionary& matching) const;

  // The indices of the entries whose "BSD Name" property is `bsd_name`, in registry order.
  const std::vector<uint32_t>& EntriesWithBSDName(std::string_view bsd_name) const;

 private:
  class Builder;

  std::vector<RegistryEntry> entries_;
  std::unordered_map<std::string, std::vector<uint32_t>> by_bsd_name_;
  // One chain per distinct class, shared by the entries of that class. The map's nodes
  // never move, so the entries' pointers into it stay valid.
  std::unordered_map<std::string, std::vector<std::string_view>> class_chains_;
};

}  // namespace platform::iokit_internal
