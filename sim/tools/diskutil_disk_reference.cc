#include "sim/tools/diskutil_disk_reference.h"

#include <algorithm>

#include "sim/machine/mount_table.h"
#include "sim/tools/tool_context.h"

namespace sim::tools::diskutil {

std::optional<DiskReference> FindDiskReference(const Model& model, std::string_view argument) {
  using Kind = DiskReference::Kind;
  if (argument.starts_with("/") && !argument.starts_with("/dev/")) {
    for (const Volume& volume : model.volumes) {
      if (!argument.empty() && MountPointOf(model, volume) == argument) {
        return DiskReference{
            FindContainer(model, volume.disk.disk) != nullptr ? Kind::kVolume : Kind::kPartition,
            volume.disk};
      }
    }
    return std::nullopt;
  }
  const std::optional<mcom::DiskName> name =
      mcom::ParseDiskName(WithoutDevicePrefix(std::string(argument)));
  if (!name) return std::nullopt;
  if (!name->has_slice()) {
    if (FindDisk(model, name->disk) != nullptr) return DiskReference{Kind::kWholeDisk, *name};
    if (FindContainer(model, name->disk) != nullptr) return DiskReference{Kind::kContainer, *name};
    return std::nullopt;
  }
  if (FindPartition(model, *name) != nullptr) return DiskReference{Kind::kPartition, *name};
  if (FindContainer(model, name->disk) != nullptr && FindVolume(model, *name) != nullptr) {
    return DiskReference{Kind::kVolume, *name};
  }
  return std::nullopt;
}

std::vector<uint32_t> WholeDiskNumbers(const Model& model) {
  std::vector<uint32_t> numbers;
  for (const Disk& disk : model.disks) numbers.push_back(disk.number);
  for (const Container& container : model.containers) numbers.push_back(container.number);
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

std::string MountPointOf(const Model& model, const Volume& volume) {
  if (&volume == RunningSystemVolume(model)) return kRunningSystemMountPoint;
  if (&volume == RunningDataVolume(model)) return kRunningDataMountPoint;
  return volume.mount_point;
}

const Disk* PhysicalDiskOf(const Model& model, mcom::DiskName name) {
  const std::vector<uint32_t> disks = PhysicalDisksOf(model, name);
  return disks.empty() ? nullptr : FindDisk(model, disks.front());
}

bool HoldsRunningSystem(const Model& model, mcom::DiskName name) {
  for (const Volume* volume : {RunningSystemVolume(model), RunningDataVolume(model)}) {
    if (volume == nullptr) continue;
    if (volume->disk == name) return true;
    if (!name.has_slice()) {
      // The container itself, or a physical disk under it.
      if (volume->disk.disk == name.disk) return true;
      const std::vector<uint32_t> disks = PhysicalDisksOf(model, volume->disk);
      if (std::find(disks.begin(), disks.end(), name.disk) != disks.end()) return true;
    } else if (const Container* container = FindContainer(model, volume->disk.disk)) {
      // A partition that is one of the container's stores.
      const std::vector<std::string>& stores = container->stores;
      if (std::find(stores.begin(), stores.end(), mcom::FormatDiskName(name)) != stores.end())
        return true;
    }
  }
  return false;
}

std::string PartitionTypeName(std::string_view type_guid) {
  static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
      {kEFIPartitionGUID, "EFI"},
      {kAPFSPartitionGUID, "Apple_APFS"},
      {kHFSPartitionGUID, "Apple_HFS"},
      {kAppleBootPartitionGUID, "Apple_Boot"},
      {"69646961-6700-11AA-AA11-00306543ECAC", "Apple_APFS_ISC"},
      {"52637672-7900-11AA-AA11-00306543ECAC", "Apple_APFS_Recovery"},
      {"53746F72-6167-11AA-AA11-00306543ECAC", "Apple_CoreStorage"},
  };
  for (const auto& [guid, name] : kNames) {
    if (guid == type_guid) return std::string(name);
  }
  return std::string(type_guid);
}

}  // namespace sim::tools::diskutil
