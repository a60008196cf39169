// The writing half of model_property_list.h.

#include <string>
#include <vector>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "sim/machine/disk_numbering.h"
#include "sim/machine/model_property_list.h"
#include "sim/machine/mount_table.h"

namespace sim {
namespace {

namespace cf = mcom::cf;

// Builds one dictionary; a value that cannot be made (text that is not UTF-8) is left out
// rather than failing the whole write.
class DictionaryBuilder {
 public:
  DictionaryBuilder() : dictionary_(cf::MutableDictionary::Create()) {}

  DictionaryBuilder& String(std::string_view key, std::string_view value) {
    if (cf::Ref<cf::String> string = cf::String::Create(value)) dictionary_->SetValue(key, string);
    return *this;
  }
  // Only when `value` is not empty.
  DictionaryBuilder& OptionalString(std::string_view key, std::string_view value) {
    return value.empty() ? *this : String(key, value);
  }
  DictionaryBuilder& Integer(std::string_view key, uint64_t value) {
    dictionary_->SetValue(key, cf::Number::CreateUnsigned(value));
    return *this;
  }
  DictionaryBuilder& Bool(std::string_view key, bool value) {
    dictionary_->SetValue(key, cf::Boolean::Get(value));
    return *this;
  }
  DictionaryBuilder& Strings(std::string_view key, const std::vector<std::string>& values) {
    cf::Ref<cf::MutableArray> array = cf::MutableArray::Create();
    for (const std::string& value : values) {
      if (cf::Ref<cf::String> string = cf::String::Create(value)) array->Append(string);
    }
    dictionary_->SetValue(key, array);
    return *this;
  }
  DictionaryBuilder& Value(std::string_view key, cf::Ref<cf::Object> value) {
    dictionary_->SetValue(key, std::move(value));
    return *this;
  }

  cf::Ref<cf::MutableDictionary> Build() { return dictionary_; }

 private:
  cf::Ref<cf::MutableDictionary> dictionary_;
};

template <typename Objects, typename Convert>
cf::Ref<cf::Array> ArrayOf(const Objects& objects, Convert convert) {
  cf::Ref<cf::MutableArray> array = cf::MutableArray::Create();
  for (const auto& object : objects) array->Append(convert(object));
  return array;
}

cf::Ref<cf::Object> FactsToPlist(const Facts& facts) {
  return DictionaryBuilder()
      .String("Model", facts.model)
      .Bool("HasT2", facts.has_t2)
      .Bool("FullDiskAccess", facts.full_disk_access)
      .Bool("AdministratorApproves", facts.administrator_approves)
      .Bool("RecoveryEnvironment", facts.recovery_environment)
      .String("ProductName", facts.product_name)
      .String("ProductVersion", facts.product_version)
      .String("BuildVersion", facts.build_version)
      .String("HostName", facts.host_name)
      .Build();
}

cf::Ref<cf::Object> PartitionToPlist(const Model& model, const Disk& disk,
                                     const Partition& partition) {
  const mcom::DiskName name{disk.number, partition.slice};
  DictionaryBuilder builder;
  builder.Integer("Slice", partition.slice)
      .String("Type", partition.type)
      .String("Name", partition.name)
      .Integer("Size", partition.size)
      .Integer("Base", partition.base)
      .String("UUID", partition.uuid)
      .String("Content", partition.type)
      .Integer("BSDMinor", partition.bsd_minor)
      .Integer("RegistryID", partition.registry_id);
  if (const Container* container = ContainerOnStore(model, mcom::FormatDiskName(name))) {
    builder.String("Container", container->uuid);
  }
  if (const Volume* volume = VolumeOnPartition(model, name)) builder.String("Volume", volume->uuid);
  return builder.Build();
}

cf::Ref<cf::Object> DiskToPlist(const Model& model, const Disk& disk) {
  return DictionaryBuilder()
      .Integer("Number", disk.number)
      .String("Kind", DiskKindName(disk.kind))
      .String("Protocol", disk.protocol)
      .String("Location", disk.location)
      .String("MediaName", disk.media_name)
      .String("VendorName", disk.vendor_name)
      .String("ProductName", disk.product_name)
      .String("MediumType", disk.medium_type)
      .Integer("Size", disk.size)
      .Integer("BlockSize", disk.block_size)
      .Bool("Removable", disk.removable)
      .Bool("Ejectable", disk.ejectable)
      .Bool("Writable", disk.writable)
      .String("Scheme", disk.scheme)
      .String("Content", disk.content)
      .OptionalString("Tier", disk.tier)
      .String("UUID", disk.uuid)
      .OptionalString("ImagePath", disk.image_path)
      .OptionalString("ImageMode", disk.image_mode)
      .OptionalString("ShadowPath", disk.shadow_path)
      .Integer("BSDMinor", disk.bsd_minor)
      .Integer("RegistryID", disk.registry_id)
      .Value("Partitions", ArrayOf(disk.partitions,
                                   [&](const Partition& partition) {
                                     return PartitionToPlist(model, disk, partition);
                                   }))
      .Build();
}

cf::Ref<cf::Object> ContainerToPlist(const Model& model, const Container& container) {
  std::vector<std::string> volumes;
  for (const Volume* volume : VolumesOfContainer(model, container.number)) {
    volumes.push_back(volume->uuid);
  }
  return DictionaryBuilder()
      .String("UUID", container.uuid)
      .Integer("Number", container.number)
      .Integer("Size", container.size)
      .Strings("Stores", container.stores)
      .Strings("Volumes", volumes)
      .Integer("BSDMinor", container.bsd_minor)
      .Integer("RegistryID", container.registry_id)
      .Build();
}

cf::Ref<cf::Object> VolumeToPlist(const Volume& volume) {
  DictionaryBuilder builder;
  builder.String("UUID", volume.uuid)
      .String("Name", volume.name)
      .String("Disk", mcom::FormatDiskName(volume.disk))
      .String("FileSystem", volume.file_system)
      .Strings("Roles", volume.roles)
      .OptionalString("GroupUUID", volume.group_uuid)
      .String("Store", volume.store)
      .OptionalString("MountPoint", volume.mount_point)
      .Strings("MountOptions", volume.mount_options)
      .String("Content", volume.content)
      .Bool("Writable", volume.writable)
      .Integer("Used", volume.used)
      .Integer("BSDMinor", volume.bsd_minor)
      .Integer("RegistryID", volume.registry_id);
  if (volume.mounted_at_given_path) {
    builder.Bool("MountedAtGivenPath", true).Integer("GivenPathMode", volume.given_path_mode);
  }
  return builder.Build();
}

cf::Ref<cf::Object> MountToPlist(const MountTableEntry& entry) {
  return DictionaryBuilder()
      .String("BSDName", entry.bsd_name)
      .String("MountPoint", entry.mount_point)
      .String("FileSystem", entry.file_system)
      .Strings("Options", entry.options)
      .String("VolumeUUID", entry.volume_uuid)
      .Build();
}

cf::Ref<cf::Object> StringMapToPlist(const std::map<std::string, std::string>& values) {
  DictionaryBuilder builder;
  for (const auto& [key, value] : values) builder.String(key, value);
  return builder.Build();
}

}  // namespace

cf::Ref<cf::Dictionary> ModelToPropertyList(const Model& model) {
  DictionaryBuilder builder;
  if (model.unknown_keys) {
    for (const auto& [key, value] : *model.unknown_keys) builder.Value(key, value);
  }
  builder.Value("Facts", FactsToPlist(model.facts))
      .Value("Faults", StringMapToPlist(model.faults))
      .Integer("NextDiskNumber", LowestFreeDiskNumber(model))
      .Value("Disks",
             ArrayOf(model.disks, [&](const Disk& disk) { return DiskToPlist(model, disk); }))
      .Value("Containers", ArrayOf(model.containers,
                                   [&](const Container& container) {
                                     return ContainerToPlist(model, container);
                                   }))
      .Value("Volumes", ArrayOf(model.volumes, VolumeToPlist))
      .Value("Mounts", ArrayOf(MountTable(model), MountToPlist))
      .Value("Boot", DictionaryBuilder()
                         .String("Device", model.boot.device)
                         .String("Folder", model.boot.folder)
                         .String("BootEFI", model.boot.boot_efi)
                         .Bool("RestartRequested", model.boot.restart_requested)
                         .Build())
      .Value("Blockers", ArrayOf(model.blockers,
                                 [](const Blocker& blocker) {
                                   return DictionaryBuilder()
                                       .Integer("Pid", static_cast<uint64_t>(blocker.pid))
                                       .String("BSDName", blocker.bsd_name)
                                       .Build();
                                 }))
      .Value("Claims", ArrayOf(model.claims,
                               [](const Claim& claim) {
                                 return DictionaryBuilder()
                                     .Integer("Pid", static_cast<uint64_t>(claim.pid))
                                     .String("BSDName", claim.bsd_name)
                                     .Build();
                               }))
      .Value("Plugged", StringMapToPlist(model.plugged))
      .OptionalString("RunningSystem", model.running_system)
      .Integer("NextRegistryID", model.next_registry_id);
  return builder.Build();
}

}  // namespace sim
