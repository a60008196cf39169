#pragma once

#include <ostream>

#include "sim/machine/model.h"
#include "sim/tools/diskutil_disk_reference.h"

// `diskutil info`, as text.
namespace sim::tools::diskutil {

// The text of `diskutil info DISK`: one "   Key:   value" line per fact (the value column
// starts at column 30), in groups separated by empty lines, as the Mac writes it for a whole
// disk, a partition (with or without an HFS+ volume), a container or an APFS volume.
void WriteDiskInfo(const Model& model, const DiskReference& disk, std::ostream& out);

// The text of `diskutil info -all`: the information of every disk, partition, container and
// volume in listing order, each block followed by an empty line and a "**********" line.
void WriteAllDiskInfo(const Model& model, std::ostream& out);

}  // namespace sim::tools::diskutil
