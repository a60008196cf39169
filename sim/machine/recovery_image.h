#pragma once

#include "core/foundation/file_path.h"

namespace sim {

// Writes the recovery system's "BaseSystem.dmg" at `destination`: a compressed (UDZO) image
// whose one HFS+ volume, "macOS Base System", holds the tree at `folder`. Throws
// MachineError when it cannot be written, or when `destination` exists.
//
// When the disk-image library (sim/image) is part of the tree, this is its
// MakeBaseSystemImage: a real image of the machine's format, GPT with one HFS+ partition.
// FIXME: until then a stand-in is built instead (recovery_image_stand_in.cc): the image
// header line and a header property list (marked "Placeholder"), followed by the volume's
// files as one gzip-compressed pax archive, which the image tools cannot attach. The build
// picks the image library's version by itself once sim/image exists; the stand-in and that
// choice in CMakeLists.txt go when it has landed.
void WriteRecoveryImage(const mcom::FilePath& destination, const mcom::FilePath& folder);

}  // namespace sim
