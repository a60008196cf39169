#pragma once

#include <sys/types.h>

#include <optional>
#include <set>
#include <string>

#include "core/foundation/file_path.h"
#include "sim/machine/model.h"

// What makes a disk "Resource busy" for the tools that erase, repartition, unmount or detach
// it: an attached image whose file lies on it, or a busy claim (blockers.h) of a tool that
// works on it. A real Mac refuses those changes as long as the image is attached or the
// tool runs; the machine's mounts are folders, which the host never refuses to move, so the
// tools ask here first, inside the change they are about to make.
namespace sim {

// The BSD names a change of `name` reaches: the name itself and everything stored on it. A
// whole disk reaches its partitions and what they hold; a partition (or a blank whole disk
// used as a store) the HFS+ volume on it or the container stored on it with its volumes; a
// container its volumes; a volume itself only.
std::set<std::string> MediaReachedBy(const Model& model, mcom::DiskName name);

// The volume whose files hold the host path `path` (somewhere below its mount point, or
// below its store folder when it is not mounted), found by the identity of the folders on
// the way up, so that links in either path do not matter. Nothing for a path on no volume
// (the machine root's own folders, a folder outside the machine).
std::optional<mcom::DiskName> VolumeHoldingPath(const mcom::FilePath& root, const Model& model,
                                                const mcom::FilePath& path);

// Why a change of `name` would take a disk from under a live claim of another process than
// `self`: "/dev/disk4 is in use by process 1234". Nothing when no such claim reaches what the
// change reaches (a claim reaches what a change of its disk would: MediaReachedBy).
std::optional<std::string> ClaimedBy(const Model& model, mcom::DiskName name, pid_t self);

// Why a change of `name` would take away the file of an attached image (or its shadow):
// "/dev/disk3s1 holds the image /Volumes/USB/Backup.sparseimage attached as /dev/disk5".
// Nothing when no image file lies on a volume the change reaches.
std::optional<std::string> HeldByImage(const mcom::FilePath& root, const Model& model,
                                       mcom::DiskName name);

// ClaimedBy, else HeldByImage.
std::optional<std::string> WhyBusy(const mcom::FilePath& root, const Model& model,
                                   mcom::DiskName name, pid_t self);

}  // namespace sim
