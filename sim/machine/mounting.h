#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/foundation/file_path.h"
#include "sim/machine/model.h"

// The machine's mount service: mounting, unmounting and ejecting, as the disk-arbitration
// stand-in and the disk tools perform them. Each function runs inside Machine::Change with
// the machine's root and changes both the files and the model; the caller's transaction then
// writes the model.
//
// Mounting moves no data: the volume's store folder is renamed to the mount point, so the
// files really are at the mount point and a descriptor opened there reports that path;
// unmounting renames it back. The default mount point is ROOT/Volumes/<Name> ("<Name> 1",
// "<Name> 2", ... when taken; a "/" in the name becomes ":"); a given mount point must be an
// existing empty directory, which the volume replaces and which comes back, empty and with
// its mode, on unmount.
//
// The running system's System and Data volumes are listed as mounted at "/" and
// "/System/Volumes/Data" (mount_table.h); mounting them answers those paths, and they cannot
// be unmounted (kDAReturnBusy).
//
// Refusals are returned as MountOutcome with a disk-arbitration status
// (disk_arbitration_status.h) and a one-line message; nothing is changed then.
namespace sim {

struct MountOptions {
  // An existing empty directory to mount on (a host path); the default place when empty.
  std::optional<mcom::FilePath> path;
  bool read_only = false;  // recorded as "ro"; not enforced on the files
  bool hidden = false;     // recorded as "nobrowse"
};

struct MountOutcome {
  uint32_t status = 0;         // 0, or the kDAReturn value of the refusal
  std::string message;         // why it was refused
  mcom::FilePath mount_point;  // where the volume is mounted (mount requests that succeed)

  bool ok() const { return status == 0; }
};

// Mounts the volume `volume` (an APFS volume or an HFS+ partition).
//  - kDAReturnNotFound: no such volume; a given mount point that does not exist.
//  - kDAReturnBusy: a live blocker for the volume or its whole disk (blockers.h); already
//    mounted elsewhere than the given path; the given directory is not empty.
//  - kDAReturnBadArgument: the given mount point is not an absolute path, not a directory, or
//    inside the machine's state folder (or the volume itself).
//  - kDAReturnNotPermitted: the given directory cannot be replaced (permissions).
//  - kDAReturnError: any other failure to rename.
// A volume already mounted (at the given path, or anywhere when none is given) succeeds with
// its mount point and changes nothing. A volume of a read-only disk is mounted "ro".
MountOutcome Mount(const mcom::FilePath& root, Model& model, mcom::DiskName volume,
                   const MountOptions& options);

// Mounts every volume on a whole disk (the "whole" option): the HFS+ partitions of a
// physical disk and the volumes of the containers stored on it, or the volumes of a
// container's disk. `options.path` must be empty. A live blocker for the disk refuses the
// whole request; otherwise the volumes are mounted in BSD-name order and the first refusal
// is returned (the volumes mounted before it stay mounted).
MountOutcome MountWholeDisk(const mcom::FilePath& root, Model& model, mcom::DiskName disk,
                            const MountOptions& options);

// Unmounts a volume. kDAReturnNotFound for an unknown volume, kDAReturnNotMounted when it is
// not mounted, kDAReturnBusy for the running system's volumes. A mount point that has
// vanished (removed behind the machine's back) leaves an empty volume, unmounted.
MountOutcome Unmount(const mcom::FilePath& root, Model& model, mcom::DiskName volume);

// Unmounts every mounted volume on a whole disk (as MountWholeDisk finds them). Volumes that
// are not mounted are skipped; the running system's volumes make it kDAReturnBusy without
// unmounting anything.
MountOutcome UnmountWholeDisk(const mcom::FilePath& root, Model& model, mcom::DiskName disk);

// Ejects the physical disk(s) that `disk` lives on: unmounts all their volumes, then removes
// an external disk from the model with everything on it (its volumes' files are deleted, as
// the medium is gone). Internal disks and attached images stay (images are detached through
// the image tool, which writes them back). kDAReturnNotFound for an unknown disk,
// kDAReturnBusy when the running system lives on it.
MountOutcome Eject(const mcom::FilePath& root, Model& model, mcom::DiskName disk);

// The volumes that live on a whole disk, in BSD-name order (see MountWholeDisk).
std::vector<mcom::DiskName> VolumesOnDisk(const Model& model, mcom::DiskName disk);

// The default mount point for a volume named `name`: ROOT/Volumes/<name>, with " 1", " 2",
// ... appended while that path exists.
mcom::FilePath DefaultMountPoint(const mcom::FilePath& root, const std::string& name);

}  // namespace sim
