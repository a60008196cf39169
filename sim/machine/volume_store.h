#pragma once

#include <cstdint>
#include <string>

#include "core/foundation/file_path.h"
#include "sim/machine/model.h"

// Volume stores: every volume's files are real files in exactly one place at a time.
// Unmounted, they are in ROOT/private/var/db/macsim/volumes/<store-id>/; mounted, the store
// folder itself has been renamed to the mount point (mounting.h). The running system's
// System and Data volumes stay in their stores while listed as mounted at "/" and
// "/System/Volumes/Data".
//
// All functions here are meant to run inside Machine::Change (they read or change the
// model's idea of where files are); errors are thrown as MachineError.
namespace sim {

// Where the volume's files are now: the mount point of a mounted volume, else its store.
mcom::FilePath VolumeFilesPath(const mcom::FilePath& root, const Volume& volume);

// Makes the empty store folder `store_id` (mode 0755). Throws when it exists already.
void CreateVolumeStore(const mcom::FilePath& root, const std::string& store_id);

// Removes a volume's files wherever they are and, for a mounted volume, its mount point;
// a given directory it was mounted on comes back empty. Nothing happens when the files are
// gone already.
void RemoveVolumeFiles(const mcom::FilePath& root, const Volume& volume);

// Removes everything inside the volume's files folder, keeping the folder itself (and so a
// mount), then sets `used` to 0.
void EraseVolumeFiles(const mcom::FilePath& root, Volume& volume);

// Replaces the files of volume `target` with a copy of the files of volume `source`: data,
// modes, times, extended attributes and links (mcom::CopyTree), then measures the target's
// `used` anew. The copy runs while the caller holds the machine's lock; tools that copy a
// lot may instead copy between VolumeFilesPath()s themselves outside a change. Throws for
// unknown volumes, a volume copied onto itself and failed copies.
void CopyVolumeFiles(const mcom::FilePath& root, Model& model, mcom::DiskName source,
                     mcom::DiskName target);

// The bytes the files below `path` occupy (allocated blocks of regular files and links,
// like `du`); 0 when `path` is missing. Reading the folders leaves their access times as
// they were (where the caller owns them or is root), so that a measured volume keeps the
// times it was given.
uint64_t MeasureUsedBytes(const mcom::FilePath& path);

// Measures `used` of a volume anew from its files.
void UpdateUsedBytes(const mcom::FilePath& root, Volume& volume);

}  // namespace sim
