// The reading half of model_property_list.h.

#include <algorithm>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "sim/machine/disk_numbering.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/model_property_list.h"
#include "sim/machine/property_list_fields.h"

namespace sim {
namespace {

namespace cf = mcom::cf;

// The keys that ModelToPropertyList writes at the top level; everything else is kept as
// an unknown key.
const std::set<std::string, std::less<>> kKnownTopLevelKeys = {
    "Facts", "Faults",   "NextDiskNumber", "Disks",   "Containers",    "Volumes",        "Mounts",
    "Boot",  "Blockers", "Claims",         "Plugged", "RunningSystem", "NextRegistryID",
};

pid_t RequiredPid(const PropertyListFields& fields) {
  const uint64_t pid = fields.RequiredUnsigned("Pid");
  if (pid == 0 || pid > static_cast<uint64_t>(std::numeric_limits<pid_t>::max())) {
    fields.Fail("Pid", "not a process id");
  }
  return static_cast<pid_t>(pid);
}

mcom::DiskName RequiredBSDName(const PropertyListFields& fields, std::string_view key) {
  const std::optional<mcom::DiskName> name = mcom::ParseDiskName(fields.RequiredString(key));
  if (!name) fields.Fail(key, "not a disk name");
  return *name;
}

Partition ReadPartition(const PropertyListFields& fields) {
  Partition partition;
  partition.slice = fields.RequiredUInt32("Slice");
  if (partition.slice == 0) fields.Fail("Slice", "slices start at 1");
  partition.type = fields.RequiredString("Type");
  partition.name = fields.String("Name");
  partition.size = fields.Unsigned("Size", 0);
  partition.base = fields.Unsigned("Base", 0);
  partition.uuid = fields.String("UUID");
  partition.bsd_minor = fields.UInt32("BSDMinor", 0);
  partition.registry_id = fields.Unsigned("RegistryID", 0);
  return partition;
}

Disk ReadDisk(const PropertyListFields& fields) {
  Disk disk;
  disk.number = fields.RequiredUInt32("Number");
  if (!ParseDiskKind(fields.RequiredString("Kind"), &disk.kind)) {
    fields.Fail("Kind", "not one of internal, external, image");
  }
  disk.protocol = fields.String("Protocol");
  disk.location = fields.String("Location");
  disk.media_name = fields.String("MediaName");
  disk.vendor_name = fields.String("VendorName");
  disk.product_name = fields.String("ProductName");
  disk.medium_type = fields.String("MediumType");
  disk.size = fields.Unsigned("Size", 0);
  disk.block_size = fields.UInt32("BlockSize", 512);
  disk.removable = fields.Bool("Removable", false);
  disk.ejectable = fields.Bool("Ejectable", false);
  disk.writable = fields.Bool("Writable", true);
  disk.scheme = fields.String("Scheme", "none");
  if (disk.scheme != "GPT" && disk.scheme != "none") fields.Fail("Scheme", "not GPT or none");
  disk.content = fields.String("Content");
  disk.tier = fields.String("Tier");
  disk.uuid = fields.String("UUID");
  disk.image_path = fields.String("ImagePath");
  disk.image_mode = fields.String("ImageMode");
  disk.shadow_path = fields.String("ShadowPath");
  disk.bsd_minor = fields.UInt32("BSDMinor", 0);
  disk.registry_id = fields.Unsigned("RegistryID", 0);
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
  container.uuid = fields.RequiredString("UUID");
  container.number = fields.RequiredUInt32("Number");
  container.size = fields.Unsigned("Size", 0);
  container.stores = fields.Strings("Stores");
  for (const std::string& store : container.stores) {
    if (!mcom::ParseDiskName(store)) fields.Fail("Stores", "holds a text that is not a disk name");
  }
  container.bsd_minor = fields.UInt32("BSDMinor", 0);
  container.registry_id = fields.Unsigned("RegistryID", 0);
  return container;
}

Volume ReadVolume(const PropertyListFields& fields) {
  Volume volume;
  volume.uuid = fields.RequiredString("UUID");
  volume.name = fields.String("Name");
  volume.disk = RequiredBSDName(fields, "Disk");
  if (!volume.disk.has_slice()) fields.Fail("Disk", "a volume's disk name needs a slice");
  volume.file_system = fields.String("FileSystem", "apfs");
  volume.roles = fields.Strings("Roles");
  volume.group_uuid = fields.String("GroupUUID");
  volume.store = fields.RequiredString("Store");
  if (volume.store.empty() || volume.store.find('/') != std::string::npos || volume.store == "." ||
      volume.store == "..") {
    fields.Fail("Store", "not a usable store id");
  }
  volume.mount_point = fields.String("MountPoint");
  volume.mount_options = fields.Strings("MountOptions");
  volume.mounted_at_given_path = fields.Bool("MountedAtGivenPath", false);
  volume.given_path_mode = fields.UInt32("GivenPathMode", 0755) & 07777;
  volume.content = fields.String("Content");
  volume.writable = fields.Bool("Writable", true);
  volume.used = fields.Unsigned("Used", 0);
  volume.bsd_minor = fields.UInt32("BSDMinor", 0);
  volume.registry_id = fields.Unsigned("RegistryID", 0);
  return volume;
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
  const Facts defaults;
  Facts facts;
  facts.model = fields.String("Model", defaults.model);
  facts.has_t2 = fields.Bool("HasT2", defaults.has_t2);
  facts.full_disk_access = fields.Bool("FullDiskAccess", defaults.full_disk_access);
  facts.administrator_approves =
      fields.Bool("AdministratorApproves", defaults.administrator_approves);
  facts.recovery_environment = fields.Bool("RecoveryEnvironment", defaults.recovery_environment);
  facts.product_name = fields.String("ProductName", defaults.product_name);
  facts.product_version = fields.String("ProductVersion", defaults.product_version);
  facts.build_version = fields.String("BuildVersion", defaults.build_version);
  facts.host_name = fields.String("HostName", defaults.host_name);
  return facts;
}

Model ModelFromPropertyList(const cf::Ref<cf::Object>& plist) {
  cf::Ref<cf::Dictionary> root = cf::As<cf::Dictionary>(plist);
  if (!root) throw MachineError("the machine description is not a dictionary");
  const PropertyListFields fields(root, "");

  Model model;
  if (const cf::Ref<cf::Dictionary> facts = fields.Dictionary("Facts")) {
    model.facts = ReadFacts(PropertyListFields(facts, "Facts"));
  }
  model.faults = fields.StringMap("Faults");
  fields.ForEachDictionary(
      "Disks", [&](const PropertyListFields& f) { model.disks.push_back(ReadDisk(f)); });
  fields.ForEachDictionary("Containers", [&](const PropertyListFields& f) {
    model.containers.push_back(ReadContainer(f));
  });
  fields.ForEachDictionary(
      "Volumes", [&](const PropertyListFields& f) { model.volumes.push_back(ReadVolume(f)); });
  if (const cf::Ref<cf::Dictionary> boot = fields.Dictionary("Boot")) {
    const PropertyListFields boot_fields(boot, "Boot");
    model.boot.device = boot_fields.String("Device");
    model.boot.folder = boot_fields.String("Folder");
    model.boot.boot_efi = boot_fields.String("BootEFI");
    model.boot.restart_requested = boot_fields.Bool("RestartRequested", false);
  }
  fields.ForEachDictionary("Blockers", [&](const PropertyListFields& f) {
    model.blockers.push_back(Blocker{RequiredPid(f), f.RequiredString("BSDName")});
  });
  fields.ForEachDictionary("Claims", [&](const PropertyListFields& f) {
    model.claims.push_back(Claim{RequiredPid(f), f.RequiredString("BSDName")});
  });
  model.plugged = fields.StringMap("Plugged");
  model.running_system = fields.String("RunningSystem");
  model.next_registry_id = fields.Unsigned("NextRegistryID", model.next_registry_id);

  cf::Ref<cf::MutableDictionary> unknown = cf::MutableDictionary::Create();
  for (const auto& [key, value] : *root) {
    if (kKnownTopLevelKeys.count(key) == 0) unknown->SetValue(key, value);
  }
  if (unknown->Count() > 0) model.unknown_keys = unknown;

  CheckUnique(model);
  KeepRegistryIDsFresh(model);
  SortModel(model);
  return model;
}

}  // namespace sim
