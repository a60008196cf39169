#include "sim/machine/disk_numbering.h"

#include <set>

namespace sim {
namespace {

uint32_t LowestNotIn(const std::set<uint32_t>& used, uint32_t first) {
  uint32_t candidate = first;
  while (used.count(candidate) != 0) ++candidate;
  return candidate;
}

}  // namespace

uint32_t LowestFreeDiskNumber(const Model& model) {
  std::set<uint32_t> used;
  for (const Disk& disk : model.disks) used.insert(disk.number);
  for (const Container& container : model.containers) used.insert(container.number);
  return LowestNotIn(used, 0);
}

uint32_t LowestFreeVolumeSlice(const Model& model, uint32_t container_number) {
  std::set<uint32_t> used;
  for (const Volume* volume : VolumesOfContainer(model, container_number)) {
    used.insert(volume->disk.slice);
  }
  return LowestNotIn(used, 1);
}

uint32_t LowestFreeBSDMinor(const Model& model) {
  std::set<uint32_t> used;
  for (const Disk& disk : model.disks) {
    used.insert(disk.bsd_minor);
    for (const Partition& partition : disk.partitions) used.insert(partition.bsd_minor);
  }
  for (const Container& container : model.containers) used.insert(container.bsd_minor);
  for (const Volume& volume : model.volumes) used.insert(volume.bsd_minor);
  return LowestNotIn(used, 0);
}

uint64_t AllocateRegistryIDs(Model& model) {
  const uint64_t first = model.next_registry_id;
  model.next_registry_id += kRegistryIDsPerObject;
  return first;
}

}  // namespace sim
