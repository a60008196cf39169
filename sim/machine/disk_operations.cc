#include "sim/machine/disk_operations.h"

#include <algorithm>

#include "sim/machine/apfs_operations.h"
#include "sim/machine/disk_numbering.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/mount_table.h"
#include "sim/machine/uuid.h"
#include "sim/machine/volume_store.h"

namespace sim {
namespace {

// Where GPT puts the first partition (sector 40) and what it keeps at the end of the disk
// (the backup header and table, 33 sectors).
constexpr uint64_t kFirstUsableByte = 40 * 512;
constexpr uint64_t kBackupTableBytes = 33 * 512;
constexpr uint64_t kAlignment = 4096;

uint64_t AlignUp(uint64_t value) { return (value + kAlignment - 1) / kAlignment * kAlignment; }
uint64_t AlignDown(uint64_t value) { return value / kAlignment * kAlignment; }

Disk& DiskOrThrow(Model& model, uint32_t number) {
  Disk* disk = FindDisk(model, number);
  if (disk == nullptr)
    throw MachineError("no such disk: " + mcom::FormatDiskName(mcom::DiskName{number}));
  return *disk;
}

// The containers with a store on the disk, and the HFS+ volumes on its partitions.
struct DiskContents {
  std::vector<uint32_t> containers;
  std::vector<mcom::DiskName> volumes;
};

DiskContents ContentsOf(const Model& model, const Disk& disk) {
  DiskContents contents;
  for (const Container& container : model.containers) {
    const std::vector<uint32_t> disks = PhysicalDisksOf(model, container.name());
    if (std::find(disks.begin(), disks.end(), disk.number) != disks.end()) {
      contents.containers.push_back(container.number);
    }
  }
  for (const Partition& partition : disk.partitions) {
    const mcom::DiskName name{disk.number, partition.slice};
    if (VolumeOnPartition(model, name) != nullptr) contents.volumes.push_back(name);
  }
  return contents;
}

void ThrowIfHoldsRunningSystem(const Model& model, const Disk& disk) {
  const Volume* system = RunningSystemVolume(model);
  if (system == nullptr) return;
  const std::vector<uint32_t> disks = PhysicalDisksOf(model, system->disk);
  if (std::find(disks.begin(), disks.end(), disk.number) != disks.end()) {
    throw MachineError(mcom::FormatDiskName(disk.name()) + " holds the running system");
  }
}

// Removes everything on the disk's partitions (and a container using the whole disk).
void RemoveContents(const mcom::FilePath& root, Model& model, uint32_t number) {
  const Disk& disk = DiskOrThrow(model, number);
  ThrowIfHoldsRunningSystem(model, disk);
  const DiskContents contents = ContentsOf(model, disk);
  for (uint32_t container : contents.containers) DeleteContainer(root, model, container);
  for (mcom::DiskName volume : contents.volumes) RemoveVolume(root, model, volume);
}

}  // namespace

std::string ImageMediaName(std::string_view format) {
  if (format == "SPARSE") return "Apple sparse disk image Media";
  if (format == "UDZO") return "Apple UDIF read-only compressed (zlib) Media";
  if (format == "UDRW") return "Apple UDIF read/write Media";
  return "Apple disk image Media";
}

WholeDiskSpec ImageDiskSpec(const std::string& image_path, std::string_view format, uint64_t size,
                            const std::string& mode) {
  WholeDiskSpec spec;
  spec.kind = DiskKind::kImage;
  spec.protocol = "Virtual Interface";
  spec.location = "File";
  spec.media_name = ImageMediaName(format);
  spec.size = size;
  spec.removable = true;
  spec.ejectable = true;
  spec.writable = mode == "rw";
  spec.image_path = image_path;
  spec.image_mode = mode;
  return spec;
}

uint32_t AddWholeDisk(Model& model, const WholeDiskSpec& spec) {
  if (spec.size == 0) throw MachineError("a disk needs a size");
  Disk disk;
  disk.number = LowestFreeDiskNumber(model);
  disk.kind = spec.kind;
  disk.protocol = spec.protocol;
  disk.location = spec.location;
  if (disk.location.empty()) {
    disk.location = spec.kind == DiskKind::kInternal   ? "Internal"
                    : spec.kind == DiskKind::kExternal ? "External"
                                                       : "File";
  }
  disk.media_name = spec.media_name;
  disk.vendor_name = spec.vendor_name;
  disk.product_name = spec.product_name;
  disk.medium_type = spec.medium_type;
  disk.size = spec.size;
  disk.block_size = spec.block_size;
  disk.removable = spec.removable;
  disk.ejectable = spec.ejectable;
  disk.writable = spec.writable;
  disk.tier = spec.tier;
  disk.uuid = NewUUID();
  disk.image_path = spec.image_path;
  disk.image_mode = spec.image_mode;
  disk.shadow_path = spec.shadow_path;
  disk.bsd_minor = LowestFreeBSDMinor(model);
  disk.registry_id = AllocateRegistryIDs(model);
  model.disks.push_back(disk);
  SortModel(model);
  return disk.number;
}

void RemoveDisk(const mcom::FilePath& root, Model& model, uint32_t number) {
  RemoveContents(root, model, number);
  model.plugged.erase(mcom::FormatDiskName(mcom::DiskName{number}));
  std::erase_if(model.disks, [&](const Disk& disk) { return disk.number == number; });
}

void EraseDisk(const mcom::FilePath& root, Model& model, uint32_t number) {
  RemoveContents(root, model, number);
  Disk& disk = DiskOrThrow(model, number);
  disk.partitions.clear();
  disk.scheme = "none";
  disk.content.clear();
}

std::vector<mcom::DiskName> PartitionDisk(const mcom::FilePath& root, Model& model, uint32_t number,
                                          const std::vector<PartitionSpec>& specs, bool with_efi) {
  const Disk& disk = DiskOrThrow(model, number);
  ThrowIfHoldsRunningSystem(model, disk);

  std::vector<PartitionSpec> layout;
  if (with_efi) layout.push_back({std::string(kEFIPartitionGUID), "EFI", kEFIPartitionSize});
  layout.insert(layout.end(), specs.begin(), specs.end());

  // Plan the partitions before anything is changed, so a layout that does not fit changes
  // nothing.
  const uint64_t end = disk.size > kBackupTableBytes ? AlignDown(disk.size - kBackupTableBytes) : 0;
  std::vector<Partition> planned;
  uint64_t base = AlignUp(kFirstUsableByte);
  for (size_t i = 0; i < layout.size(); ++i) {
    const PartitionSpec& spec = layout[i];
    if (spec.size == 0 && i + 1 != layout.size()) {
      throw MachineError("only the last partition may take the rest of the disk");
    }
    const uint64_t size = spec.size == 0 ? (end > base ? end - base : 0) : AlignUp(spec.size);
    if (size == 0 || base + size > end) {
      throw MachineError("the partitions do not fit on " + mcom::FormatDiskName(disk.name()));
    }
    Partition partition;
    partition.slice = static_cast<uint32_t>(i + 1);
    partition.type = spec.type;
    partition.name = spec.name;
    partition.base = base;
    partition.size = size;
    planned.push_back(partition);
    base = AlignUp(base + size);
  }

  EraseDisk(root, model, number);
  std::vector<mcom::DiskName> names;
  for (Partition& partition : planned) {
    partition.uuid = NewUUID();
    partition.bsd_minor = LowestFreeBSDMinor(model);
    partition.registry_id = AllocateRegistryIDs(model);
    Disk& target = DiskOrThrow(model, number);
    target.partitions.push_back(partition);
    if (!with_efi || partition.slice > 1) names.push_back(mcom::DiskName{number, partition.slice});
  }
  Disk& target = DiskOrThrow(model, number);
  target.scheme = "GPT";
  target.content = std::string(kGUIDSchemeContent);
  return names;
}

mcom::DiskName CreateHFSVolume(const mcom::FilePath& root, Model& model, mcom::DiskName name,
                               const std::string& volume_name) {
  Partition* partition = FindPartition(model, name);
  if (partition == nullptr) throw MachineError("no such partition: " + mcom::FormatDiskName(name));
  if (ContainerOnStore(model, mcom::FormatDiskName(name)) != nullptr) {
    throw MachineError(mcom::FormatDiskName(name) + " is a store of an APFS container");
  }
  if (VolumeOnPartition(model, name) != nullptr) RemoveVolume(root, model, name);

  partition = FindPartition(model, name);
  partition->type = std::string(kHFSPartitionGUID);
  Volume volume;
  volume.uuid = NewUUID();
  volume.name = volume_name;
  volume.disk = name;
  volume.file_system = "hfs";
  volume.store = volume.uuid;
  volume.content = std::string(kHFSPartitionGUID);
  volume.writable = FindDisk(model, name.disk)->writable;
  // The volume is the partition's media; it has no registry entry of its own.
  volume.bsd_minor = partition->bsd_minor;
  volume.registry_id = partition->registry_id;
  CreateVolumeStore(root, volume.store);
  model.volumes.push_back(volume);
  SortModel(model);
  return name;
}

}  // namespace sim
