#pragma once

#include "core/foundation/file_path.h"

namespace sim {

// Writes the recovery system's "BaseSystem.dmg" at `destination`: a compressed (UDZO) image
// whose one HFS+ volume, "macOS Base System", holds the tree at `folder`. Throws
// MachineError when it cannot be written, or when `destination` exists.
//
// FIXME: the disk-image library (sim/image, MakeBaseSystemImage) writes real images of the
// machine's image format. Until it is part of the tree this writes a stand-in: the image
// header line and a header property list (marked "Placeholder"), followed by the volume's
// files as one gzip-compressed pax archive, which the image tools do not attach. Switch this
// one function over to MakeBaseSystemImage when the library lands.
void WriteRecoveryImage(const mcom::FilePath& destination, const mcom::FilePath& folder);

}  // namespace sim
