#pragma once

#include <ostream>

#include "sim/machine/model.h"

// `diskutil apfs list`, as text.
namespace sim::tools::diskutil {

// The text of `diskutil apfs list`: "APFS Containers (N found)", then a tree with each
// container's capacity, its physical stores and its volumes (role, name, mount point,
// capacity consumed), drawn with the Mac's "+--", "+-<", "+->" and "|" lines.
// "No APFS Containers found" when the machine has none.
void WriteAPFSList(const Model& model, std::ostream& out);

}  // namespace sim::tools::diskutil
