#include "sim/machine/apfs_operations.h"

#include <algorithm>

#include "sim/machine/disk_numbering.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/mount_table.h"
#include "sim/machine/uuid.h"
#include "sim/machine/volume_store.h"

namespace sim {
namespace {

Volume& VolumeOrThrow(Model& model, mcom::DiskName name) {
  Volume* volume = FindVolume(model, name);
  if (volume == nullptr) throw MachineError("no such volume: " + mcom::FormatDiskName(name));
  return *volume;
}

void ThrowIfRunningSystem(const Model& model, const Volume& volume) {
  if (IsRunningSystemVolume(model, volume)) {
    throw MachineError(mcom::FormatDiskName(volume.disk) + " belongs to the running system");
  }
}

// The size of a store, checking that it may become one: an existing partition or blank
// whole disk that holds no container and no volume.
uint64_t CheckStore(const Model& model, mcom::DiskName store) {
  if (ContainerOnStore(model, mcom::FormatDiskName(store)) != nullptr) {
    throw MachineError(mcom::FormatDiskName(store) + " already holds an APFS container");
  }
  if (store.has_slice()) {
    const Partition* partition = FindPartition(model, store);
    if (partition == nullptr)
      throw MachineError("no such partition: " + mcom::FormatDiskName(store));
    if (VolumeOnPartition(model, store) != nullptr) {
      throw MachineError(mcom::FormatDiskName(store) + " holds a volume");
    }
    return partition->size;
  }
  const Disk* disk = FindDisk(model, store.disk);
  if (disk == nullptr) throw MachineError("no such disk: " + mcom::FormatDiskName(store));
  if (disk->scheme != "none") {
    throw MachineError(mcom::FormatDiskName(store) +
                       " has a partition scheme; use one of its partitions");
  }
  return disk->size;
}

}  // namespace

uint32_t CreateContainer(const mcom::FilePath& /*root*/, Model& model,
                         const std::vector<mcom::DiskName>& stores) {
  if (stores.empty()) throw MachineError("a container needs at least one physical store");
  uint64_t size = 0;
  std::vector<std::string> names;
  for (mcom::DiskName store : stores) {
    if (std::find(names.begin(), names.end(), mcom::FormatDiskName(store)) != names.end()) {
      throw MachineError(mcom::FormatDiskName(store) + " is named twice");
    }
    size += CheckStore(model, store);
    names.push_back(mcom::FormatDiskName(store));
  }
  for (mcom::DiskName store : stores) {
    if (Partition* partition = FindPartition(model, store)) {
      partition->type = std::string(kAPFSPartitionGUID);
    }
  }
  Container container;
  container.uuid = NewUUID();
  container.number = LowestFreeDiskNumber(model);
  container.size = size;
  container.stores = std::move(names);
  container.bsd_minor = LowestFreeBSDMinor(model);
  container.registry_id = AllocateRegistryIDs(model);
  model.containers.push_back(container);
  SortModel(model);
  return container.number;
}

void DeleteContainer(const mcom::FilePath& root, Model& model, uint32_t number) {
  if (FindContainer(model, number) == nullptr) {
    throw MachineError("no such container: " + mcom::FormatDiskName(mcom::DiskName{number}));
  }
  std::vector<mcom::DiskName> volumes;
  for (const Volume* volume : VolumesOfContainer(model, number)) {
    ThrowIfRunningSystem(model, *volume);
    volumes.push_back(volume->disk);
  }
  for (mcom::DiskName volume : volumes) RemoveVolume(root, model, volume);
  std::erase_if(model.containers, [&](const Container& c) { return c.number == number; });
}

mcom::DiskName AddVolume(const mcom::FilePath& root, Model& model, uint32_t container_number,
                         const VolumeSpec& spec) {
  const Container* container = FindContainer(model, container_number);
  if (container == nullptr) {
    throw MachineError("no such container: " +
                       mcom::FormatDiskName(mcom::DiskName{container_number}));
  }
  bool writable = false;
  for (uint32_t disk_number : PhysicalDisksOf(model, container->name())) {
    const Disk* disk = FindDisk(model, disk_number);
    writable = writable || (disk != nullptr && disk->writable);
  }

  Volume volume;
  volume.uuid = NewUUID();
  volume.name = spec.name;
  volume.disk = mcom::DiskName{container_number, LowestFreeVolumeSlice(model, container_number)};
  volume.file_system = "apfs";
  volume.roles = spec.roles;
  volume.group_uuid = spec.group_uuid;
  volume.store = volume.uuid;
  volume.content = std::string(kAPFSVolumeContent);
  volume.writable = writable;
  volume.bsd_minor = LowestFreeBSDMinor(model);
  volume.registry_id = AllocateRegistryIDs(model);
  CreateVolumeStore(root, volume.store);
  model.volumes.push_back(volume);
  SortModel(model);
  return volume.disk;
}

void EraseVolume(const mcom::FilePath& root, Model& model, mcom::DiskName name,
                 const std::string& new_name) {
  Volume& volume = VolumeOrThrow(model, name);
  ThrowIfRunningSystem(model, volume);
  EraseVolumeFiles(root, volume);
  volume.uuid = NewUUID();
  if (!new_name.empty()) volume.name = new_name;
}

void RemoveVolume(const mcom::FilePath& root, Model& model, mcom::DiskName name) {
  const Volume& volume = VolumeOrThrow(model, name);
  ThrowIfRunningSystem(model, volume);
  RemoveVolumeFiles(root, volume);
  std::erase_if(model.volumes, [&](const Volume& v) { return v.disk == name; });
}

void RenameVolume(Model& model, mcom::DiskName name, const std::string& new_name) {
  VolumeOrThrow(model, name).name = new_name;
}

}  // namespace sim
