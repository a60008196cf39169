#include "app/model/disk_records.h"

namespace app {

DiskName DiskNameOf(const RestoreTargetInfo& target) {
  if (const auto* container = std::get_if<APFSContainerInfo>(&target.target)) {
    return container->name.diskName;
  }
  return std::get<PartitionInfo>(target.target).device;
}

std::string TargetDescription(const APFSContainerInfo& container) {
  return "APFS Container on " + container.physicalDiskName;
}

std::string TargetDescription(const PartitionInfo& partition) {
  const std::string volume =
      partition.volumeInfo ? partition.volumeInfo->name : FormatDiskName(partition.device);
  return volume + " on " + partition.physicalDiskName;
}

std::string TargetDescription(const RestoreTargetInfo& target) {
  return std::visit([](const auto& info) { return TargetDescription(info); }, target.target);
}

}  // namespace app
