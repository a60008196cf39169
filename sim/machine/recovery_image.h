#pragma once

#include "core/foundation/file_path.h"

namespace sim {

// Writes the recovery system's "BaseSystem.dmg" at `destination`: a compressed (UDZO) image
// whose one HFS+ volume, "macOS Base System", holds the tree at `folder`. Throws
// MachineError when it cannot be written, or when `destination` exists.
// It is the disk-image library's MakeBaseSystemImage: a real image of the machine's format,
// GPT with one HFS+ partition.
void WriteRecoveryImage(const mcom::FilePath& destination, const mcom::FilePath& folder);

}  // namespace sim
