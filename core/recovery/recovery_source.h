#pragma once

#include <optional>
#include <string>

#include "core/discovery/disk_arbitration.h"
#include "core/discovery/mounted_volume.h"

// Where this Mac keeps its recovery system: the recovery volume, and the folder at its root
// that holds "BaseSystem.dmg" beside the boot files. The recovery-disk builder installs from
// it, and the Base System version is read from it.
struct RecoverySource {
  mcom::disk_arbitration::MountedVolume volume;
  std::string folder;
};

// Searches the Apple boot partitions of the registry for a volume with a folder holding
// "BaseSystem.dmg" and returns the first one found. Blocks; failures are logged, never
// reported, and nothing found gives no result.
std::optional<RecoverySource> FindRecoverySource();

// Tests one candidate: mounts the volume `disk` read-only and hidden (or uses it where it is
// mounted already) and looks for a folder directly under its root that holds
// "BaseSystem.dmg", taking the first in listing order. Without one, a volume this call
// mounted is unmounted again. The disk's session must be scheduled on a queue other than the
// caller's.
std::optional<RecoverySource> FindBootFiles(const mcom::disk_arbitration::Disk& disk);
