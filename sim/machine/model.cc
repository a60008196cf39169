#include "sim/machine/model.h"
#include "core/foundation/hex_text.h"

#include <algorithm>

#include "sim/machine/machine_error.h"
#include "sim/signature/test_identities.h"

namespace sim {
namespace {

template <typename Objects, typename Predicate>
auto FindIn(Objects& objects, Predicate predicate) -> decltype(&objects.front()) {
  const auto found = std::find_if(objects.begin(), objects.end(), predicate);
  return found == objects.end() ? nullptr : &*found;
}

}  // namespace

std::string_view DiskKindName(DiskKind kind) {
  switch (kind) {
    case DiskKind::kInternal:
      return "internal";
    case DiskKind::kExternal:
      return "external";
    case DiskKind::kImage:
      return "image";
  }
  return "internal";
}

bool ParseDiskKind(std::string_view text, DiskKind* kind) {
  for (DiskKind candidate : {DiskKind::kInternal, DiskKind::kExternal, DiskKind::kImage}) {
    if (DiskKindName(candidate) == text) {
      *kind = candidate;
      return true;
    }
  }
  return false;
}

bool Volume::HasRole(std::string_view role) const {
  return std::find(roles.begin(), roles.end(), role) != roles.end();
}

std::string DefaultTrustedAnchor() {
  static const std::string anchor = mcom::HexOf(signature::TestAnchorKey());
  return anchor;
}

Disk* FindDisk(Model& model, uint32_t number) {
  return FindIn(model.disks, [&](const Disk& disk) { return disk.number == number; });
}
const Disk* FindDisk(const Model& model, uint32_t number) {
  return FindIn(model.disks, [&](const Disk& disk) { return disk.number == number; });
}

Container* FindContainer(Model& model, uint32_t number) {
  return FindIn(model.containers, [&](const Container& c) { return c.number == number; });
}
const Container* FindContainer(const Model& model, uint32_t number) {
  return FindIn(model.containers, [&](const Container& c) { return c.number == number; });
}

Container* FindContainerByUUID(Model& model, std::string_view uuid) {
  return FindIn(model.containers, [&](const Container& c) { return c.uuid == uuid; });
}
const Container* FindContainerByUUID(const Model& model, std::string_view uuid) {
  return FindIn(model.containers, [&](const Container& c) { return c.uuid == uuid; });
}

Volume* FindVolume(Model& model, mcom::DiskName name) {
  return FindIn(model.volumes, [&](const Volume& volume) { return volume.disk == name; });
}
const Volume* FindVolume(const Model& model, mcom::DiskName name) {
  return FindIn(model.volumes, [&](const Volume& volume) { return volume.disk == name; });
}

Volume* FindVolumeByUUID(Model& model, std::string_view uuid) {
  return FindIn(model.volumes, [&](const Volume& volume) { return volume.uuid == uuid; });
}
const Volume* FindVolumeByUUID(const Model& model, std::string_view uuid) {
  return FindIn(model.volumes, [&](const Volume& volume) { return volume.uuid == uuid; });
}

Partition* FindPartition(Model& model, mcom::DiskName name) {
  Disk* disk = name.has_slice() ? FindDisk(model, name.disk) : nullptr;
  if (disk == nullptr) return nullptr;
  return FindIn(disk->partitions, [&](const Partition& p) { return p.slice == name.slice; });
}
const Partition* FindPartition(const Model& model, mcom::DiskName name) {
  const Disk* disk = name.has_slice() ? FindDisk(model, name.disk) : nullptr;
  if (disk == nullptr) return nullptr;
  return FindIn(disk->partitions, [&](const Partition& p) { return p.slice == name.slice; });
}

const Container* ContainerOnStore(const Model& model, std::string_view store) {
  return FindIn(model.containers, [&](const Container& container) {
    return std::find(container.stores.begin(), container.stores.end(), store) !=
           container.stores.end();
  });
}

const Volume* VolumeOnPartition(const Model& model, mcom::DiskName partition) {
  if (FindPartition(model, partition) == nullptr) return nullptr;
  return FindVolume(model, partition);
}

std::vector<const Volume*> VolumesOfContainer(const Model& model, uint32_t container_number) {
  std::vector<const Volume*> volumes;
  for (const Volume& volume : model.volumes) {
    if (volume.disk.disk == container_number && volume.disk.has_slice()) {
      volumes.push_back(&volume);
    }
  }
  std::sort(volumes.begin(), volumes.end(),
            [](const Volume* a, const Volume* b) { return a->disk.slice < b->disk.slice; });
  return volumes;
}

std::vector<uint32_t> PhysicalDisksOf(const Model& model, mcom::DiskName name) {
  if (FindDisk(model, name.disk) != nullptr) {
    if (name.has_slice() && FindPartition(model, name) == nullptr) return {};
    return {name.disk};
  }
  const Container* container = FindContainer(model, name.disk);
  if (container == nullptr) return {};
  if (name.has_slice() && FindVolume(model, name) == nullptr) return {};
  std::vector<uint32_t> disks;
  for (const std::string& store : container->stores) {
    const std::optional<mcom::DiskName> store_name = mcom::ParseDiskName(store);
    if (store_name && std::find(disks.begin(), disks.end(), store_name->disk) == disks.end()) {
      disks.push_back(store_name->disk);
    }
  }
  return disks;
}

void SortModel(Model& model) {
  std::sort(model.disks.begin(), model.disks.end(),
            [](const Disk& a, const Disk& b) { return a.number < b.number; });
  for (Disk& disk : model.disks) {
    std::sort(disk.partitions.begin(), disk.partitions.end(),
              [](const Partition& a, const Partition& b) { return a.slice < b.slice; });
  }
  std::sort(model.containers.begin(), model.containers.end(),
            [](const Container& a, const Container& b) { return a.number < b.number; });
  std::sort(model.volumes.begin(), model.volumes.end(),
            [](const Volume& a, const Volume& b) { return a.disk < b.disk; });
}

mcom::DiskName ParseDiskNameOrThrow(std::string_view text) {
  std::string_view name = text;
  if (name.starts_with("/dev/")) name.remove_prefix(5);
  const std::optional<mcom::DiskName> parsed = mcom::ParseDiskName(name);
  if (!parsed) throw MachineError("not a disk name: " + std::string(text));
  return *parsed;
}

}  // namespace sim
