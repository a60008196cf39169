#pragma once

#include <cstdint>

#include "core/foundation/file_path.h"

namespace sim {

// Fills the folder `path` (made when missing; it should be empty) with a generated tree
// that looks like a lived-in volume and exercises everything a copy must keep:
//  - nested folders (up to four levels), some mode 0700, one setgid (02775);
//  - files of many sizes: empty ones, many small ones, some of a few dozen KiB, a few large
//    ones, and one sparse file (a few data blocks inside a large hole); modes 0644, 0755
//    and 0600; contents both text-like and binary;
//  - symbolic links: relative, absolute (a path inside the volume, as seen when it is the
//    root), and dangling;
//  - extended attributes by their Mac names: "com.apple.FinderInfo" (32 binary bytes),
//    "com.apple.quarantine" (text) and "com.apple.metadata:kMDItemWhereFroms" (binary);
//  - access and modification times, to the nanosecond, on every entry including the
//    links and `path` itself, fixed values derived from the seed.
//
// The data written (file contents, not counting holes) comes to about `size_bytes`; the
// number of files grows with it. The same seed and size always give the same tree, byte for
// byte, with the same names, modes, times, attributes and link targets; another seed gives
// another tree. Throws MachineError when a file cannot be made.
void GenerateVolumeContents(const mcom::FilePath& path, uint64_t seed, uint64_t size_bytes);

}  // namespace sim
