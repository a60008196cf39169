#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/model/disk_name.h"
#include "core/foundation/file_path.h"

// The records the selection screens show: backup sources and restore targets. Values made
// afresh by every query; nothing refers back to the registry.
namespace app {

// The synthesized disk of an APFS container ("disk1").
struct APFSContainerName {
  DiskName diskName;

  friend bool operator==(const APFSContainerName&, const APFSContainerName&) = default;
};

// One volume of an APFS container.
struct VolumeInfo {
  std::string name;
  int64_t spaceConsumed = 0;  // bytes
  std::string uuid;
};

struct APFSContainerInfo {
  // The media name of the physical disk holding the container, and of further disks holding
  // parts of it (the other half of a Fusion drive).
  std::string physicalDiskName;
  std::vector<std::string> secondaryPhysicalDiskNames;
  bool isInternal = false;
  int64_t size = 0;  // bytes
  int64_t spaceUsed = 0;
  std::vector<VolumeInfo> volumes;
  APFSContainerName name;
  std::optional<mcom::FilePath> iconURL;
};

// A restore target that is a plain partition.
struct PartitionInfo {
  // The mounted volume on the partition.
  struct VolumeInfo {
    std::string name;
    int64_t spaceUsed = 0;  // bytes
  };

  std::string physicalDiskName;  // media name of the whole disk
  int64_t size = 0;              // the partition's media size in bytes
  std::optional<VolumeInfo> volumeInfo;
  DiskName device;  // the partition's BSD name
  std::optional<mcom::FilePath> iconURL;
};

// A container or a partition that can receive a restore.
struct RestoreTargetInfo {
  std::variant<APFSContainerInfo, PartitionInfo> target;

  static RestoreTargetInfo apfsContainer(APFSContainerInfo info) { return {std::move(info)}; }
  static RestoreTargetInfo partition(PartitionInfo info) { return {std::move(info)}; }
};

// The disk a restore writes to: the container's synthesized disk or the partition.
DiskName DiskNameOf(const RestoreTargetInfo& target);

// "APFS Container on " + the physical disk.
std::string TargetDescription(const APFSContainerInfo& container);
// The volume's name, or the device's when there is no volume, + " on " + the physical disk.
std::string TargetDescription(const PartitionInfo& partition);
std::string TargetDescription(const RestoreTargetInfo& target);

}  // namespace app
