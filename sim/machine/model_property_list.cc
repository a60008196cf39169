#include "sim/machine/model_property_list.h"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_string.h"
#include "sim/machine/disk_numbering.h"
#include "sim/machine/field_table.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/mount_table.h"

namespace sim {
namespace {

namespace cf = mcom::cf;

constexpr Field<Facts> kFactsFields[] = {
    {"Model", &Facts::model},
    {"HasT2", &Facts::has_t2},
    {"FullDiskAccess", &Facts::full_disk_access},
    {"AdministratorApproves", &Facts::administrator_approves},
    {"RecoveryEnvironment", &Facts::recovery_environment},
    {"ProductName", &Facts::product_name},
    {"ProductVersion", &Facts::product_version},
    {"BuildVersion", &Facts::build_version},
    {"HostName", &Facts::host_name},
    {"TrustedAnchor", &Facts::trusted_anchor},
};

constexpr Field<Partition> kPartitionFields[] = {
    {"Slice", &Partition::slice, FieldUse::kRequired},
    {"Type", &Partition::type, FieldUse::kRequired},
    {"Name", &Partition::name},
    {"Size", &Partition::size},
    {"Base", &Partition::base},
    {"UUID", &Partition::uuid},
    {"BSDMinor", &Partition::bsd_minor},
    {"RegistryID", &Partition::registry_id},
};

// "Partitions" is read and written with the disk (ReadDisk, DiskToPlist): each partition's
// dictionary holds keys derived from the rest of the model.
constexpr Field<Disk> kDiskFields[] = {
    {"Number", &Disk::number, FieldUse::kRequired},
    {"Kind", &Disk::kind, FieldUse::kRequired},
    {"Protocol", &Disk::protocol},
    {"Location", &Disk::location},
    {"MediaName", &Disk::media_name},
    {"VendorName", &Disk::vendor_name},
    {"ProductName", &Disk::product_name},
    {"MediumType", &Disk::medium_type},
    {"Size", &Disk::size},
    {"BlockSize", &Disk::block_size},
    {"Removable", &Disk::removable},
    {"Ejectable", &Disk::ejectable},
    {"Writable", &Disk::writable},
    {"Scheme", &Disk::scheme},
    {"Content", &Disk::content},
    {"Tier", &Disk::tier, FieldUse::kIfSet},
    {"UUID", &Disk::uuid},
    {"ImagePath", &Disk::image_path, FieldUse::kIfSet},
    {"ImageMode", &Disk::image_mode, FieldUse::kIfSet},
    {"ShadowPath", &Disk::shadow_path, FieldUse::kIfSet},
    {"BSDMinor", &Disk::bsd_minor},
    {"RegistryID", &Disk::registry_id},
};

constexpr Field<Container> kContainerFields[] = {
    {"UUID", &Container::uuid, FieldUse::kRequired},
    {"Number", &Container::number, FieldUse::kRequired},
    {"Size", &Container::size},
    {"Stores", &Container::stores},
    {"BSDMinor", &Container::bsd_minor},
    {"RegistryID", &Container::registry_id},
};

constexpr Field<Volume> kVolumeFields[] = {
    {"UUID", &Volume::uuid, FieldUse::kRequired},
    {"Name", &Volume::name},
    {"Disk", &Volume::disk, FieldUse::kRequired},
    {"FileSystem", &Volume::file_system},
    {"Roles", &Volume::roles},
    {"GroupUUID", &Volume::group_uuid, FieldUse::kIfSet},
    {"Store", &Volume::store, FieldUse::kRequired},
    {"MountPoint", &Volume::mount_point, FieldUse::kIfSet},
    {"MountOptions", &Volume::mount_options},
    {"MountedAtGivenPath", &Volume::mounted_at_given_path, FieldUse::kIfSet},
    // The mode only matters, and is only written, for a volume mounted at a given path.
    {"GivenPathMode", FieldFunctions<Volume>{[](const PropertyListFields& fields,
                                                std::string_view key, Volume& volume) {
                                               volume.given_path_mode =
                                                   fields.RequiredUInt32(key) & 07777;
                                             },
                                             [](const Volume& volume) -> cf::Ref<cf::Object> {
                                               if (!volume.mounted_at_given_path) return nullptr;
                                               return PlistValue(volume.given_path_mode);
                                             }}},
    {"Content", &Volume::content},
    {"Writable", &Volume::writable},
    {"Used", &Volume::used},
    {"BSDMinor", &Volume::bsd_minor},
    {"RegistryID", &Volume::registry_id},
};

constexpr Field<Boot> kBootFields[] = {
    {"Device", &Boot::device},
    {"Folder", &Boot::folder},
    {"BootEFI", &Boot::boot_efi},
    {"FolderVolume", &Boot::folder_volume},
    {"FolderInVolume", &Boot::folder_in_volume},
    {"BootEFIInVolume", &Boot::boot_efi_in_volume},
    {"RestartRequested", &Boot::restart_requested},
    {"RootVolume", &Boot::root_volume},
    {"FirstSystem", &Boot::first_system},
};

constexpr Field<Blocker> kBlockerFields[] = {
    {"Pid", &Blocker::pid, FieldUse::kRequired},
    {"BSDName", &Blocker::bsd_name, FieldUse::kRequired},
};

constexpr Field<Claim> kClaimFields[] = {
    {"Pid", &Claim::pid, FieldUse::kRequired},
    {"BSDName", &Claim::bsd_name, FieldUse::kRequired},
};

// Written for readers of the file only.
constexpr Field<MountTableEntry> kMountFields[] = {
    {"BSDName", &MountTableEntry::bsd_name},       {"MountPoint", &MountTableEntry::mount_point},
    {"FileSystem", &MountTableEntry::file_system}, {"Options", &MountTableEntry::options},
    {"VolumeUUID", &MountTableEntry::volume_uuid},
};

Partition ReadPartition(const PropertyListFields& fields) {
  Partition partition;
  ReadFields(fields, kPartitionFields, partition);
  if (partition.slice == 0) fields.Fail("Slice", "slices start at 1");
  return partition;
}

Disk ReadDisk(const PropertyListFields& fields) {
  Disk disk;
  ReadFields(fields, kDiskFields, disk);
  if (disk.scheme != "GPT" && disk.scheme != "none") fields.Fail("Scheme", "not GPT or none");
  std::set<uint32_t> slices;
  fields.ForEachDictionary("Partitions", [&](const PropertyListFields& partition_fields) {
    Partition partition = ReadPartition(partition_fields);
    if (!slices.insert(partition.slice).second) {
      partition_fields.Fail("Slice", "used by another partition of the disk");
    }
    disk.partitions.push_back(std::move(partition));
  });
  return disk;
}

Container ReadContainer(const PropertyListFields& fields) {
  Container container;
  ReadFields(fields, kContainerFields, container);
  for (const std::string& store : container.stores) {
    if (!mcom::ParseDiskName(store)) fields.Fail("Stores", "holds a text that is not a disk name");
  }
  return container;
}

Volume ReadVolume(const PropertyListFields& fields) {
  Volume volume;
  ReadFields(fields, kVolumeFields, volume);
  if (!volume.disk.has_slice()) fields.Fail("Disk", "a volume's disk name needs a slice");
  if (volume.store.empty() || volume.store.find('/') != std::string::npos || volume.store == "." ||
      volume.store == "..") {
    fields.Fail("Store", "not a usable store id");
  }
  return volume;
}

// The partition's dictionary with what the rest of the model says about it: its content
// (the type) and the container or volume it holds.
cf::Ref<cf::Object> PartitionToPlist(const Model& model, const Disk& disk,
                                     const Partition& partition) {
  const mcom::DiskName name{disk.number, partition.slice};
  cf::Ref<cf::MutableDictionary> dictionary = FieldsToPropertyList(partition, kPartitionFields);
  dictionary->SetValue("Content", PlistValue(partition.type));
  if (const Container* container = ContainerOnStore(model, mcom::FormatDiskName(name))) {
    dictionary->SetValue("Container", PlistValue(container->uuid));
  }
  if (const Volume* volume = VolumeOnPartition(model, name)) {
    dictionary->SetValue("Volume", PlistValue(volume->uuid));
  }
  return dictionary;
}

cf::Ref<cf::Object> DiskToPlist(const Model& model, const Disk& disk) {
  cf::Ref<cf::MutableDictionary> dictionary = FieldsToPropertyList(disk, kDiskFields);
  cf::Ref<cf::MutableArray> partitions = cf::MutableArray::Create();
  for (const Partition& partition : disk.partitions) {
    partitions->Append(PartitionToPlist(model, disk, partition));
  }
  dictionary->SetValue("Partitions", partitions);
  return dictionary;
}

cf::Ref<cf::Object> ContainerToPlist(const Model& model, const Container& container) {
  cf::Ref<cf::MutableDictionary> dictionary = FieldsToPropertyList(container, kContainerFields);
  std::vector<std::string> volumes;
  for (const Volume* volume : VolumesOfContainer(model, container.number)) {
    volumes.push_back(volume->uuid);
  }
  dictionary->SetValue("Volumes", PlistValue(volumes));
  return dictionary;
}

// Written for readers of the file only.
cf::Ref<cf::Object> NextDiskNumberToPlist(const Model& model) {
  return PlistValue(LowestFreeDiskNumber(model));
}

cf::Ref<cf::Object> MountsToPlist(const Model& model) {
  cf::Ref<cf::MutableArray> mounts = cf::MutableArray::Create();
  for (const MountTableEntry& entry : MountTable(model)) {
    mounts->Append(WriteRecord<kMountFields>(entry));
  }
  return mounts;
}

// The top level.
constexpr Field<Model> kModelFields[] = {
    {"Facts", NestedRecord<&Model::facts, kFactsFields>()},
    {"Faults", &Model::faults},
    {"NextDiskNumber", FieldFunctions<Model>{nullptr, NextDiskNumberToPlist}},
    {"Disks", RecordArray<&Model::disks, ReadDisk, DiskToPlist>()},
    {"Containers", RecordArray<&Model::containers, ReadContainer, ContainerToPlist>()},
    {"Volumes", RecordArray<&Model::volumes, ReadVolume, WriteRecord<kVolumeFields>>()},
    {"Mounts", FieldFunctions<Model>{nullptr, MountsToPlist}},
    {"Boot", NestedRecord<&Model::boot, kBootFields>()},
    {"Blockers",
     RecordArray<&Model::blockers, ReadRecord<kBlockerFields>, WriteRecord<kBlockerFields>>()},
    {"Claims", RecordArray<&Model::claims, ReadRecord<kClaimFields>, WriteRecord<kClaimFields>>()},
    {"Plugged", &Model::plugged},
    {"RunningSystem", &Model::running_system, FieldUse::kIfSet},
    {"NextRegistryID", &Model::next_registry_id},
};

bool IsModelKey(std::string_view key) {
  return std::any_of(std::begin(kModelFields), std::end(kModelFields),
                     [&](const Field<Model>& field) { return field.key == key; });
}

void CheckUnique(const Model& model) {
  std::set<uint32_t> numbers;
  for (const Disk& disk : model.disks) {
    if (!numbers.insert(disk.number).second) {
      throw MachineError("Disks: disk number " + std::to_string(disk.number) + " used twice");
    }
  }
  for (const Container& container : model.containers) {
    if (!numbers.insert(container.number).second) {
      throw MachineError("Containers: disk number " + std::to_string(container.number) +
                         " used twice");
    }
  }
  std::set<mcom::DiskName> names;
  std::set<std::string> stores;
  for (const Volume& volume : model.volumes) {
    if (!names.insert(volume.disk).second) {
      throw MachineError("Volumes: " + mcom::FormatDiskName(volume.disk) + " used twice");
    }
    if (!stores.insert(volume.store).second) {
      throw MachineError("Volumes: store " + volume.store + " used twice");
    }
  }
}

// A file whose counter fell behind its objects' ids (edited by hand) must not make new
// objects reuse ids that are taken.
void KeepRegistryIDsFresh(Model& model) {
  uint64_t highest = 0;
  for (const Disk& disk : model.disks) {
    highest = std::max(highest, disk.registry_id);
    for (const Partition& partition : disk.partitions) {
      highest = std::max(highest, partition.registry_id);
    }
  }
  for (const Container& container : model.containers) {
    highest = std::max(highest, container.registry_id);
  }
  for (const Volume& volume : model.volumes) highest = std::max(highest, volume.registry_id);
  if (highest != 0 && model.next_registry_id <= highest) {
    model.next_registry_id = highest + kRegistryIDsPerObject;
  }
}

}  // namespace

Facts ReadFacts(const PropertyListFields& fields) {
  Facts facts;
  ReadFields(fields, kFactsFields, facts);
  return facts;
}

cf::Ref<cf::Dictionary> ModelToPropertyList(const Model& model) {
  cf::Ref<cf::MutableDictionary> dictionary = cf::MutableDictionary::Create();
  if (model.unknown_keys) {
    for (const auto& [key, value] : *model.unknown_keys) dictionary->SetValue(key, value);
  }
  WriteFields(model, kModelFields, *dictionary);
  return dictionary;
}

Model ModelFromPropertyList(const cf::Ref<cf::Object>& plist) {
  cf::Ref<cf::Dictionary> root = cf::As<cf::Dictionary>(plist);
  if (!root) throw MachineError("the machine description is not a dictionary");
  Model model;
  ReadFields(PropertyListFields(root, ""), kModelFields, model);

  cf::Ref<cf::MutableDictionary> unknown = cf::MutableDictionary::Create();
  for (const auto& [key, value] : *root) {
    if (!IsModelKey(key)) unknown->SetValue(key, value);
  }
  if (unknown->Count() > 0) model.unknown_keys = unknown;

  CheckUnique(model);
  KeepRegistryIDsFresh(model);
  SortModel(model);
  return model;
}

}  // namespace sim
