#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/foundation/disk_name.h"
#include "sim/machine/machine.h"
#include "sim/machine/tree_differences.h"

// Comparing the files of a machine's volumes: whether a backup and restore (or any other
// copy) reproduced every file of every volume. The machine knows where each volume's files
// are (volume_store.h), so the caller names only the disks.
namespace sim {

// One volume taking part in a comparison.
struct ComparedVolume {
  mcom::DiskName disk;
  std::string name;

  // "disk1s1 (Macintosh HD)".
  std::string Describe() const;
};

// The outcome for one pair of volumes, or for a volume that only one side has.
struct VolumeComparison {
  std::optional<ComparedVolume> original;  // absent when only the copy has this volume
  std::optional<ComparedVolume> copy;      // absent when only the original has it
  TreeComparison files;                    // empty when a side is absent

  bool identical() const { return original && copy && files.identical(); }
};

// Compares the disk `copy` with the disk `original` on `machine`. Either both are volumes
// (APFS volumes or HFS+ partitions, "diskNsM"), and their files are compared; or both are
// APFS containers (the container's synthesized disk, "diskN"), and their volumes are paired
// and each pair compared. Volumes are paired by their roles and names: first volumes with
// the same roles and the same name, then volumes with the same roles (System with System,
// Data with Data, Preboot, Recovery, VM, in slice order), so a volume with no role pairs only
// with one of the same name. A volume left without a partner is a comparison of its own,
// with the other side absent. The results come in the original's slice order, then the
// copy's unpaired volumes.
//
// The files are compared wherever they are (a mount point, or the volume's store) while the
// machine's lock is held shared, so no volume is mounted, unmounted or changed by the
// machine meanwhile; the comparison therefore must not run inside Machine::Change.
//
// Throws MachineError for a name the machine does not know ("no such disk: disk9"), a disk
// that is neither a volume nor an APFS container (a whole physical disk, a partition
// without a volume), one volume and one container, and a machine that cannot be read.
std::vector<VolumeComparison> CompareDisks(const Machine& machine, mcom::DiskName original,
                                           mcom::DiskName copy,
                                           const TreeComparisonOptions& options = {});

}  // namespace sim
