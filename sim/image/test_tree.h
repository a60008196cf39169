#pragma once

// Trees of files for the image tests: one that holds every kind of thing a volume can hold.
// The tests compare trees with sim::TreeDifferences (sim/machine/tree_differences.h). Test
// code only.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/foundation/file_path.h"
#include "sim/machine/tree_differences.h"

namespace sim_test {

// Makes the folder `root` (which must not exist) holding:
//  - files of 0, 1, 511, 512, 4095, 4096, 65537 bytes and 3 MiB of varied bytes, some nested
//    three folders deep, names with spaces and non-ASCII characters;
//  - sparse files: data with holes between, a file that ends in a hole, one that is all hole;
//  - symbolic links: relative, absolute (to a path inside the volume's own layout) and
//    dangling; a link to a folder;
//  - a hard link pair, a FIFO, a socket and, when run as root where the host allows it, a
//    character and a block device;
//  - extended attributes with Mac names: "com.apple.FinderInfo" (32 binary bytes),
//    "com.apple.quarantine" (text), an empty value, on files and folders;
//  - modes 0644, 0755, 0600, 0700, 0444, 04755, a setgid folder (02775) and a sticky one
//    (01777), and a root folder of 0750;
//  - when run as root, files owned by uid 501 / gid 20 (a Mac's first user and "staff");
//  - access and modification times with nanoseconds, all different, set last (folders after
//    their contents).
// `seed` varies the file contents and times.
void MakeRichTree(const mcom::FilePath& root, uint32_t seed = 1);

// Writes `size` bytes of varied content (from `seed`) into a new file at `path`, mode 0644.
void WriteFile(const mcom::FilePath& path, uint64_t size, uint32_t seed);

// How the image tests compare trees: an image keeps access times as well, and a failing test
// should show every difference.
inline constexpr sim::TreeComparisonOptions kExactCopy = {
    .compare_access_times = true, .max_differences = sim::TreeComparisonOptions::kListAll};

// The number of bytes the file at `path` takes on disk (st_blocks * 512).
uint64_t AllocatedBytes(const mcom::FilePath& path);

// The whole content of a file ("" when it cannot be read).
std::string ReadBytes(const mcom::FilePath& path);

// The data of a possibly sparse file as "offset:length:bytes" per region of data (holes
// left out), so that a large sparse file can be compared without reading its holes.
std::string DataRegions(const mcom::FilePath& path);

// Writes `bytes` as the whole content of the file at `path` (made or truncated).
void WriteBytes(const mcom::FilePath& path, const std::string& bytes);

}  // namespace sim_test
