#pragma once

#include <string>

#include "core/foundation/file_path.h"
#include "sim/machine/model.h"

namespace macsim {

// The human-readable description `macsim show` prints: the facts, every disk with its
// partitions, every container with its volumes (roles, group, where mounted), the mount
// table, the boot settings, the faults, the live blockers and busy claims, the plugged media
// and the launcher with its jobs.
std::string FormatMachineReport(const mcom::FilePath& root, const sim::Model& model);

// A size in decimal units with one decimal, as Disk Utility shows it: "500.3 GB", "4.2 MB",
// "512 B".
std::string FormatSize(uint64_t bytes);

}  // namespace macsim
