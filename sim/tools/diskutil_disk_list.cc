#include "sim/tools/diskutil_disk_list.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "sim/tools/diskutil_disk_reference.h"
#include "sim/tools/diskutil_size.h"

namespace sim::tools::diskutil {
namespace {

namespace cf = mcom::cf;

// The "Content" diskutil lists for a container's synthesized disk.
constexpr std::string_view kContainerListContent = "Apple_APFS_Container";

void SetString(const cf::Ref<cf::MutableDictionary>& dictionary, std::string_view key,
               std::string_view value) {
  // Text that is not UTF-8 cannot be in a property list; leaving the key out keeps the rest
  // of the listing readable.
  if (cf::Ref<cf::String> string = cf::String::Create(value)) dictionary->SetValue(key, string);
}

void SetSize(const cf::Ref<cf::MutableDictionary>& dictionary, std::string_view key,
             uint64_t value) {
  dictionary->SetValue(key, cf::Number::CreateUnsigned(value));
}

void AppendString(const cf::Ref<cf::MutableArray>& array, std::string_view value) {
  if (cf::Ref<cf::String> string = cf::String::Create(value)) array->Append(string);
}

// What a partition's NAME column and "VolumeName" show: the name of the file system on it.
// A GPT partition's own name is not shown by diskutil, except that an EFI system partition
// is listed under its volume name "EFI".
std::string PartitionListName(const Model& model, const Disk& disk, const Partition& partition) {
  const mcom::DiskName name{disk.number, partition.slice};
  if (const Volume* volume = VolumeOnPartition(model, name)) return volume->name;
  if (const Container* container = ContainerOnStore(model, mcom::FormatDiskName(name))) {
    return "Container " + mcom::FormatDiskName(container->name());
  }
  if (partition.type == kEFIPartitionGUID) return "EFI";
  return "";
}

std::string DiskHeader(const Disk& disk) {
  switch (disk.kind) {
    case DiskKind::kInternal:
      return "(internal, physical)";
    case DiskKind::kExternal:
      return "(external, physical)";
    case DiskKind::kImage:
      return "(disk image)";
  }
  return "";
}

// One row of the text listing: "%4s:%27s %-23s%c%-10s %s", the layout of the Mac's.
void WriteRow(std::ostream& out, const std::string& index, const std::string& type,
              const std::string& name, char marker, uint64_t size, const std::string& identifier) {
  char line[512];
  std::snprintf(line, sizeof line, "%4s:%27s %-23s%c%-10s %s", index.c_str(), type.c_str(),
                name.c_str(), marker, FormatSize(size).c_str(), identifier.c_str());
  out << line << '\n';
}

void WriteHeaderRow(std::ostream& out) {
  out << "   #:                       TYPE NAME                    SIZE       IDENTIFIER\n";
}

void WriteDisk(const Model& model, const Disk& disk, std::ostream& out) {
  out << "/dev/" << mcom::FormatDiskName(disk.name()) << ' ' << DiskHeader(disk) << ":\n";
  WriteHeaderRow(out);
  std::string whole_type = disk.content;
  std::string whole_name;
  if (const Container* container = ContainerOnStore(model, mcom::FormatDiskName(disk.name()))) {
    whole_name = "Container " + mcom::FormatDiskName(container->name());
  }
  WriteRow(out, "0", whole_type, whole_name, '*', disk.size, mcom::FormatDiskName(disk.name()));
  for (const Partition& partition : disk.partitions) {
    WriteRow(out, std::to_string(partition.slice), PartitionTypeName(partition.type),
             PartitionListName(model, disk, partition), ' ', partition.size,
             mcom::FormatDiskName(mcom::DiskName{disk.number, partition.slice}));
  }
  out << '\n';
}

void WriteContainer(const Model& model, const Container& container, std::ostream& out) {
  out << "/dev/" << mcom::FormatDiskName(container.name()) << " (synthesized):\n";
  WriteHeaderRow(out);
  WriteRow(out, "0", "APFS Container Scheme", "-", '+', container.size,
           mcom::FormatDiskName(container.name()));
  for (const std::string& store : container.stores) {
    out << std::string(33, ' ') << "Physical Store " << store << '\n';
  }
  for (const Volume* volume : VolumesOfContainer(model, container.number)) {
    WriteRow(out, std::to_string(volume->disk.slice), "APFS Volume", volume->name, ' ',
             volume->used, mcom::FormatDiskName(volume->disk));
  }
  out << '\n';
}

cf::Ref<cf::MutableDictionary> DiskEntry(const Model& model, const Disk& disk,
                                         const cf::Ref<cf::MutableArray>& all_disks,
                                         const cf::Ref<cf::MutableArray>& mounted_names) {
  cf::Ref<cf::MutableDictionary> entry = cf::MutableDictionary::Create();
  SetString(entry, "Content", disk.content);
  SetString(entry, "DeviceIdentifier", mcom::FormatDiskName(disk.name()));
  entry->SetValue("OSInternal", cf::Boolean::False());
  SetSize(entry, "Size", disk.size);
  AppendString(all_disks, mcom::FormatDiskName(disk.name()));
  // A disk without a partition scheme has no "Partitions" key at all.
  if (disk.scheme == "none" && disk.partitions.empty()) return entry;

  cf::Ref<cf::MutableArray> partitions = cf::MutableArray::Create();
  for (const Partition& partition : disk.partitions) {
    const mcom::DiskName name{disk.number, partition.slice};
    cf::Ref<cf::MutableDictionary> item = cf::MutableDictionary::Create();
    SetString(item, "Content", PartitionTypeName(partition.type));
    SetString(item, "DeviceIdentifier", mcom::FormatDiskName(name));
    SetString(item, "DiskUUID", partition.uuid);
    SetSize(item, "Size", partition.size);
    if (const Volume* volume = VolumeOnPartition(model, name)) {
      const std::string mount_point = MountPointOf(model, *volume);
      if (!mount_point.empty()) {
        SetString(item, "MountPoint", mount_point);
        AppendString(mounted_names, volume->name);
      }
      SetString(item, "VolumeName", volume->name);
      SetString(item, "VolumeUUID", volume->uuid);
    }
    partitions->Append(item);
    AppendString(all_disks, mcom::FormatDiskName(name));
  }
  entry->SetValue("Partitions", partitions);
  return entry;
}

cf::Ref<cf::MutableDictionary> ContainerEntry(const Model& model, const Container& container,
                                              const cf::Ref<cf::MutableArray>& all_disks,
                                              const cf::Ref<cf::MutableArray>& mounted_names) {
  cf::Ref<cf::MutableDictionary> entry = cf::MutableDictionary::Create();
  cf::Ref<cf::MutableArray> stores = cf::MutableArray::Create();
  for (const std::string& store : container.stores) {
    cf::Ref<cf::MutableDictionary> item = cf::MutableDictionary::Create();
    SetString(item, "DeviceIdentifier", store);
    stores->Append(item);
  }
  entry->SetValue("APFSPhysicalStores", stores);
  AppendString(all_disks, mcom::FormatDiskName(container.name()));

  cf::Ref<cf::MutableArray> volumes = cf::MutableArray::Create();
  for (const Volume* volume : VolumesOfContainer(model, container.number)) {
    cf::Ref<cf::MutableDictionary> item = cf::MutableDictionary::Create();
    SetSize(item, "CapacityInUse", volume->used);
    SetString(item, "DeviceIdentifier", mcom::FormatDiskName(volume->disk));
    SetString(item, "DiskUUID", volume->uuid);
    const std::string mount_point = MountPointOf(model, *volume);
    if (!mount_point.empty()) {
      SetString(item, "MountPoint", mount_point);
      AppendString(mounted_names, volume->name);
    }
    item->SetValue("MountedSnapshots", cf::MutableArray::Create());
    item->SetValue("OSInternal", cf::Boolean::False());
    SetSize(item, "Size", container.size);
    SetString(item, "VolumeName", volume->name);
    SetString(item, "VolumeUUID", volume->uuid);
    volumes->Append(item);
    AppendString(all_disks, mcom::FormatDiskName(volume->disk));
  }
  entry->SetValue("APFSVolumes", volumes);
  SetString(entry, "Content", kContainerListContent);
  SetString(entry, "DeviceIdentifier", mcom::FormatDiskName(container.name()));
  entry->SetValue("OSInternal", cf::Boolean::False());
  entry->SetValue("Partitions", cf::MutableArray::Create());
  SetSize(entry, "Size", container.size);
  return entry;
}

}  // namespace

uint32_t ListedDiskNumber(mcom::DiskName name) { return name.disk; }

void WriteDiskList(const Model& model, std::optional<uint32_t> only, std::ostream& out) {
  for (const uint32_t number : WholeDiskNumbers(model)) {
    if (only && *only != number) continue;
    if (const Disk* disk = FindDisk(model, number)) {
      WriteDisk(model, *disk, out);
    } else if (const Container* container = FindContainer(model, number)) {
      WriteContainer(model, *container, out);
    }
  }
}

cf::Ref<cf::Dictionary> DiskListPropertyList(const Model& model, std::optional<uint32_t> only) {
  cf::Ref<cf::MutableArray> all_disks = cf::MutableArray::Create();
  cf::Ref<cf::MutableArray> entries = cf::MutableArray::Create();
  cf::Ref<cf::MutableArray> mounted_names = cf::MutableArray::Create();
  cf::Ref<cf::MutableArray> whole_disks = cf::MutableArray::Create();
  for (const uint32_t number : WholeDiskNumbers(model)) {
    if (only && *only != number) continue;
    if (const Disk* disk = FindDisk(model, number)) {
      entries->Append(DiskEntry(model, *disk, all_disks, mounted_names));
    } else if (const Container* container = FindContainer(model, number)) {
      entries->Append(ContainerEntry(model, *container, all_disks, mounted_names));
    } else {
      continue;
    }
    AppendString(whole_disks, mcom::FormatDiskName(mcom::DiskName{number}));
  }
  cf::Ref<cf::MutableDictionary> list = cf::MutableDictionary::Create();
  list->SetValue("AllDisks", all_disks);
  list->SetValue("AllDisksAndPartitions", entries);
  list->SetValue("VolumesFromDisks", mounted_names);
  list->SetValue("WholeDisks", whole_disks);
  return list;
}

}  // namespace sim::tools::diskutil
