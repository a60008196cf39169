#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_object.h"
#include "core/foundation/file_path.h"

namespace testing {

// A device registry built in memory and written as the simulated Mac writes its
// registry.plist: the tree `ioreg -a -l` prints, each entry a dictionary with
// "IOObjectClass", "IORegistryEntryName", "IORegistryEntryID", its properties and
// "IORegistryEntryChildren". An entry linked under several parents is written under each
// of them with the same id, as the machine writes a Fusion container's scheme.
//
//   RegistryBuilder registry;
//   RegistryBuilder::Disk disk0 = registry.AddWholeDisk(0);
//   RegistryEntry& store = registry.AddPartition(disk0, 2, kAPFSPartitionType, "Container");
//   RegistryBuilder::Container disk1 = registry.AddContainer(store, 1);
//   registry.AddVolume(disk1, 1, "Macintosh HD", {"System"}, kGroup);
//   ASSERT_TRUE(registry.WriteToMachine());
//
// Entries are handed out by reference; they stay valid as long as the builder lives.
class RegistryEntry {
 public:
  RegistryEntry(std::string class_name, std::string name, uint64_t id);

  const std::string& class_name() const { return class_name_; }
  uint64_t id() const { return id_; }

  // Sets a property (replacing any earlier value); each returns the entry for chaining.
  // Setting a bookkeeping key ("IOObjectClass", "IORegistryEntryID",
  // "IORegistryEntryChildren" ...) replaces what the builder would write, for tests of bad
  // registry files.
  RegistryEntry& Value(std::string_view key, mcom::cf::Ref<mcom::cf::Object> value);
  RegistryEntry& String(std::string_view key, std::string_view value);
  RegistryEntry& Bool(std::string_view key, bool value);
  RegistryEntry& Integer(std::string_view key, int64_t value);
  RegistryEntry& Strings(std::string_view key, const std::vector<std::string>& values);
  RegistryEntry& Remove(std::string_view key);

 private:
  friend class RegistryBuilder;

  std::string class_name_;
  std::string name_;
  uint64_t id_;
  mcom::cf::Ref<mcom::cf::MutableDictionary> properties_;
  std::vector<RegistryEntry*> children_;
};

class RegistryBuilder {
 public:
  // Content and partition-type texts of the shapes below.
  static constexpr const char* kAPFSPartitionType = "7C3457EF-0000-11AA-AA11-00306543ECAC";
  static constexpr const char* kEFIPartitionType = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
  static constexpr const char* kHFSPartitionType = "48465300-0000-11AA-AA11-00306543ECAC";
  static constexpr const char* kAppleBootPartitionType = "426F6F74-0000-11AA-AA11-00306543ECAC";
  static constexpr const char* kAPFSContainerContent = "EF57347C-0000-11AA-AA11-00306543ECAC";
  static constexpr const char* kAPFSVolumeContent = "41504653-0000-11AA-AA11-00306543ECAC";
  static constexpr const char* kNoGroup = "00000000-0000-0000-0000-000000000000";

  // A registry holding only its root ("Root", class IORegistryEntry).
  RegistryBuilder();
  RegistryBuilder(const RegistryBuilder&) = delete;
  RegistryBuilder& operator=(const RegistryBuilder&) = delete;

  RegistryEntry& root() { return *entries_.front(); }

  // A new entry under `parent`, with the next free id.
  RegistryEntry& Add(RegistryEntry& parent, std::string class_name, std::string name);
  // Makes `parent` another parent of `child`.
  void Link(RegistryEntry& parent, RegistryEntry& child);

  // The registry as a property list, and as the XML the machine writes.
  mcom::cf::Ref<mcom::cf::Dictionary> Build() const;
  std::string ToXML() const;

  // Writes the XML to `path` (through a temporary file renamed into place) or to the
  // machine root's "/private/var/db/macsim/registry.plist", making its folder. False, with
  // the reason on standard error, when it cannot.
  [[nodiscard]] bool WriteTo(const mcom::FilePath& path) const;
  [[nodiscard]] bool WriteToMachine() const;

  // ---- The shapes of the simulated Mac ----

  struct Disk {
    RegistryEntry* device = nullptr;  // IOBlockStorageDevice
    RegistryEntry* media = nullptr;   // the whole IOMedia, "BSD Name" diskN
    RegistryEntry* scheme = nullptr;  // IOGUIDPartitionScheme; null for a disk without one
    uint32_t number = 0;
  };
  // An internal (or, with `location` "External", external) disk with a GUID partition
  // scheme: device → IOBlockStorageDriver → whole IOMedia → IOGUIDPartitionScheme. With
  // `partitioned` false the whole media has "Content" "" and no scheme (layout NONE).
  Disk AddWholeDisk(uint32_t number, const char* location = "Internal", bool partitioned = true,
                    uint64_t size = 500107862016);
  // A partition IOMedia "diskNsM" under the disk's scheme.
  RegistryEntry& AddPartition(const Disk& disk, uint32_t slice, const char* type, std::string name,
                              uint64_t size = 499963174912);

  struct Container {
    RegistryEntry* scheme = nullptr;     // AppleAPFSContainerScheme
    RegistryEntry* media = nullptr;      // AppleAPFSMedia, "BSD Name" diskN
    RegistryEntry* container = nullptr;  // AppleAPFSContainer
    uint32_t number = 0;
  };
  // An APFS container on `store` (a partition, or a whole media without a scheme):
  // AppleAPFSContainerScheme → AppleAPFSMedia "diskN" → AppleAPFSContainer.
  Container AddContainer(RegistryEntry& store, uint32_t number, uint64_t size = 499963174912,
                         uint64_t free = 250000000000);
  // An AppleAPFSVolume "diskNsM" under the container. `roles` empty leaves "Role" out;
  // `group` is the "VolGroupUUID" (kNoGroup for none).
  RegistryEntry& AddVolume(const Container& container, uint32_t slice, std::string name,
                           const std::vector<std::string>& roles, const char* group = kNoGroup);

  // The internal disk most tests start from: disk0 with an EFI partition "EFI" (s1) and an
  // APFS store "Store" (s2) holding container disk1, with one volume per role in `roles`
  // (slices from 1). "System" is named "Macintosh HD" and "Data" "Macintosh HD - Data", both
  // in the group kSystemGroup; any other role names its volume.
  static constexpr const char* kSystemGroup = "A1B2C3D4-0000-4000-8000-000000000001";
  struct Mac {
    Disk disk0;
    RegistryEntry* efi = nullptr;
    RegistryEntry* store = nullptr;
    Container disk1;
  };
  Mac AddMac(const std::vector<std::string>& roles);

 private:
  mcom::cf::Ref<mcom::cf::Dictionary> BuildEntry(const RegistryEntry& entry) const;

  std::deque<std::unique_ptr<RegistryEntry>> entries_;
  uint64_t next_id_;
};

}  // namespace testing
