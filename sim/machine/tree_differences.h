#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/foundation/file_path.h"

// Comparing two trees of files, entry by entry: the check that a copy of a volume (a backup,
// a restore, an image written and read back) reproduced every file of the original.
//
// Everything a copy must keep is compared: the type of each entry, its mode (not for
// symbolic links, whose mode the host does not keep), owner and group, size and content of
// regular files, link targets, device numbers, extended attributes (by their Mac names),
// hard links (names of one file in the original are names of one file in the copy, and no
// others), and modification times to the nanosecond; access times on request. The roots'
// own metadata is compared as well, so a copy made into a folder of its own must give that
// folder the original root's mode, times and attributes.
//
// Both trees are read without changing their access times where the host allows (files the
// process owns, or any file for root). File contents are compared in large blocks from both
// files at once, stopping at the first block that differs; the holes of sparse files are
// skipped where both files have a hole, so a large sparse file costs only its data. Nothing
// is read whole into memory: the walk keeps only the names it has still to visit and the
// files with several hard links.
namespace sim {

struct TreeComparisonOptions {
  // Whether access times are compared (never for symbolic links, which reading their
  // target updates). Off by default: reading a volume to copy it may change them.
  bool compare_access_times = false;
  // At most this many differences are listed; the rest are only counted, in one last line
  // "... and N more". The default keeps the report of a copy gone badly wrong readable.
  size_t max_differences = 100;

  static constexpr size_t kListAll = std::numeric_limits<size_t>::max();
};

struct TreeComparison {
  // One line per difference, "PATH: what", PATH relative to the roots ("." for the roots
  // themselves), in path order (a folder before its contents, names sorted bytewise), then
  // "... and N more" when the list was cut. The lines:
  //   PATH: only in the original           PATH: only in the copy
  //   PATH: type folder vs file             PATH: mode 0644 vs 0600
  //   PATH: owner 0:0 vs 501:20             PATH: size 10 vs 12
  //   PATH: content differs from byte 4096  PATH: link target a vs b
  //   PATH: device 8:1 vs 8:2               PATH: link count 2 vs 1
  //   PATH: extended attribute NAME only in the original / only in the copy / differs
  //   PATH: not hard linked to OTHER in the copy   (OTHER is the first name of the file)
  //   PATH: hard linked to OTHER in the copy only
  //   PATH: modified 1600000000.123456789 vs 1600000000.000000000
  //   PATH: accessed ... vs ...
  //   PATH: cannot read the original: REASON / cannot read the copy: REASON
  //   PATH: cannot read the original's extended attributes (NAME: REASON), and the copy's
  std::vector<std::string> differences;
  // Every difference found, listed or not.
  uint64_t difference_count = 0;
  // The entries of the original below its root (files, folders, links and others) that were
  // compared.
  uint64_t entries = 0;

  bool identical() const { return difference_count == 0; }
};

// Compares the tree at `actual` (the copy) with the tree at `expected` (the original).
// Never throws for what it finds on disk: a missing root, an unreadable folder or file is a
// difference ("cannot read ..."), since nothing can then be said to be identical. Throws
// std::bad_alloc only.
TreeComparison CompareTrees(const mcom::FilePath& expected, const mcom::FilePath& actual,
                            const TreeComparisonOptions& options = {});

// CompareTrees(...).differences: empty exactly when the trees are identical.
std::vector<std::string> TreeDifferences(const mcom::FilePath& expected,
                                         const mcom::FilePath& actual,
                                         const TreeComparisonOptions& options = {});

}  // namespace sim
