#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/foundation/file_path.h"
#include "sim/machine/model.h"

// APFS containers and volumes: what `diskutil apfs createContainer`, `addVolume`,
// `eraseVolume`, `deleteVolume` and `deleteContainer`, and the restore of a volume do to
// the machine. Run inside Machine::Change; failures throw MachineError.
namespace sim {

// Makes an APFS container on its physical stores and returns the number of its synthesized
// disk (the lowest free disk number). Each store is either a partition (its type becomes
// Apple_APFS) or a blank whole disk without a partition scheme, used directly as a
// layout-NONE image is. The container's size is the sum of the stores' sizes; two stores
// make a Fusion container (main tier first). Throws (changing nothing) for an unknown store,
// a store that already holds a container or an HFS+ volume, or no stores at all.
uint32_t CreateContainer(const mcom::FilePath& root, Model& model,
                         const std::vector<mcom::DiskName>& stores);

// Removes a container with its volumes (their files are deleted); its stores stay, blank.
// Throws for an unknown container or the running system's.
void DeleteContainer(const mcom::FilePath& root, Model& model, uint32_t number);

struct VolumeSpec {
  std::string name;
  std::vector<std::string> roles;  // "System", "Data", "Preboot", "Recovery", "VM"
  std::string group_uuid;          // empty: no volume group
};

// Adds an empty volume to a container at the lowest free slice, with a new UUID and a new
// store, and returns its BSD name. Every APFS volume, the Recovery volume too, has the APFS
// volume content (41504653-…), as on a real Mac. Throws for an unknown container.
mcom::DiskName AddVolume(const mcom::FilePath& root, Model& model, uint32_t container,
                         const VolumeSpec& spec);

// Erases a volume: its files are removed (a mounted volume stays mounted, empty), it gets
// a new UUID, and the name `new_name` when that is not empty. Works for HFS+ volumes too.
// Throws for an unknown volume or the running system's.
void EraseVolume(const mcom::FilePath& root, Model& model, mcom::DiskName volume,
                 const std::string& new_name);

// Removes a volume: unmounts it and deletes its files. Throws for an unknown volume or the
// running system's.
void RemoveVolume(const mcom::FilePath& root, Model& model, mcom::DiskName volume);

// Gives a volume another name (the mount point stays where it is).
void RenameVolume(Model& model, mcom::DiskName volume, const std::string& name);

}  // namespace sim
