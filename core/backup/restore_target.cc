#include "core/backup/restore_target.h"

#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "core/backup/backup.h"
#include "core/discovery/apfs_container.h"
#include "core/discovery/disk_arbitration.h"
#include "core/discovery/disk_topology.h"
#include "core/discovery/whole_disk.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/error.h"

namespace {

using mcom::DiskName;
using mcom::FormatDiskName;

constexpr char kEFISystemPartition[] = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";

[[noreturn]] void Refuse(const std::string& reason) { throw Error("PerformRestore", reason); }

bool Contains(const std::vector<DiskName>& disks, DiskName disk) {
  return std::find(disks.begin(), disks.end(), disk) != disks.end();
}

// Everything whose erasure would take `volume` with it: the volume, its partition or
// container, the container's stores and the whole disks beneath.
std::vector<DiskName> DisksHolding(DiskName volume) {
  std::vector<DiskName> disks{volume};
  if (mcom::KindOfMedia(volume) == mcom::MediaKind::kVolume) {
    if (const std::optional<APFSContainerName> container =
            mcom::FindAPFSContainerOfVolume(volume)) {
      disks.push_back(container->name);
      for (const DiskName store : mcom::PhysicalStoresOfContainer(*container)) {
        disks.push_back(store);
      }
    }
  }
  for (const DiskName whole : mcom::PhysicalWholeDisksOf(volume)) disks.push_back(whole);
  return disks;
}

// The volume that holds `file`: the deepest folder above it that is a volume's mount point.
std::optional<DiskName> VolumeHoldingFile(const mcom::FilePath& file) {
  const std::unique_ptr<char, decltype(&::free)> real(::realpath(file.c_str(), nullptr), ::free);
  if (!real) return std::nullopt;
  const mcom::disk_arbitration::Session session;
  std::string folder = real.get();
  while (folder.size() > 1) {
    folder = mcom::FilePath(folder).Parent().string();
    const std::optional<mcom::disk_arbitration::Disk> disk =
        mcom::disk_arbitration::Disk::FromVolumePath(
            session, mcom::cf::URLFromPath(mcom::FilePath(folder), /*is_directory=*/true));
    if (const std::optional<std::string> name = disk ? disk->BSDName() : std::nullopt) {
      return mcom::ParseDiskName(*name);
    }
  }
  return std::nullopt;
}

// The running system's disks; none when it cannot be found (then nothing is protected by
// this rule, and the replication tool still refuses a running system's target).
std::vector<DiskName> RunningSystemDisks() {
  try {
    const APFSContainerName system = FindSystemContainer(nullptr);
    std::vector<DiskName> disks{system.name};
    for (const DiskName store : mcom::PhysicalStoresOfContainer(system)) disks.push_back(store);
    for (const DiskName whole : mcom::PhysicalWholeDisksOf(system.name)) disks.push_back(whole);
    return disks;
  } catch (const Error&) {
    return {};
  }
}

// A whole disk with a partition map: its only container, or its only data partition.
RestoreTarget ThroughPartitions(DiskName whole, const std::vector<DiskName>& partitions) {
  std::vector<APFSContainerName> containers;
  std::vector<DiskName> data_partitions;
  for (const DiskName partition : partitions) {
    if (const std::optional<APFSContainerName> container =
            mcom::FindAPFSContainerOnDisk(partition)) {
      containers.push_back(*container);
    }
    if (mcom::MediaContent(partition) != kEFISystemPartition) data_partitions.push_back(partition);
  }
  if (containers.size() == 1) return {containers.front().name, true, {}};
  if (containers.empty() && data_partitions.size() == 1)
    return {data_partitions.front(), false, {}};
  std::string names;
  for (const DiskName partition : data_partitions) {
    names += (names.empty() ? "" : ", ") + FormatDiskName(partition);
  }
  Refuse(FormatDiskName(whole) + " holds " + std::to_string(data_partitions.size()) +
         " partitions; name the partition or container to restore onto (" + names + ")");
}

}  // namespace

RestoreTarget CheckRestoreTarget(const mcom::FilePath& image_path, DiskName target) {
  const std::string name = FormatDiskName(target);
  const std::optional<mcom::MediaKind> kind = mcom::KindOfMedia(target);
  if (!kind) Refuse("this Mac has no disk " + name);
  if (*kind == mcom::MediaKind::kVolume) {
    Refuse(name + " is an APFS volume; restore onto its container or a disk");
  }
  if (*kind == mcom::MediaKind::kPartition && mcom::MediaContent(target) == kEFISystemPartition) {
    Refuse(name + " is an EFI system partition, which the Mac needs to start up");
  }
  if (Contains(RunningSystemDisks(), target)) Refuse(name + " holds the running system");
  if (const std::optional<DiskName> volume = VolumeHoldingFile(image_path)) {
    if (Contains(DisksHolding(*volume), target)) {
      Refuse(name + " holds the image " + image_path.string() + " (on " + FormatDiskName(*volume) +
             ")");
    }
  }

  RestoreTarget resolved{target, *kind == mcom::MediaKind::kContainer, {}};
  if (!resolved.is_container) {
    const std::vector<DiskName> partitions = *kind == mcom::MediaKind::kWholeDisk
                                                 ? mcom::PartitionsOfDisk(target)
                                                 : std::vector<DiskName>{};
    if (const std::optional<APFSContainerName> container = mcom::FindAPFSContainerOnDisk(target)) {
      resolved = {container->name, true, {}};
    } else if (!partitions.empty()) {
      resolved = ThroughPartitions(target, partitions);
    }
  }
  resolved.physical_disks = mcom::PhysicalWholeDisksOf(resolved.disk);
  return resolved;
}
