#pragma once

#include <cstdint>
#include <vector>

#include "core/foundation/file_path.h"
#include "sim/machine/fixture.h"
#include "sim/machine/model.h"

namespace sim {

// Adds a fixture's disks to the model with everything on them (partitions, containers,
// volumes), through the operations of disk_operations.h and apfs_operations.h, and fills
// every volume: a System-role volume gets SystemVersion.plist, a Recovery-role volume the
// recovery system (named after the system's volume group), and every volume generated
// contents (volume_contents.h) from its seed with its share of `data_size` bytes (the
// fixture's DataSize when 0). The running system's volume, if the fixture has one, becomes
// the model's running system. Volumes are left unmounted; the facts are not touched.
//
// Returns the numbers of the new whole disks, in the fixture's order. Runs inside a change
// (or before the machine's first write). Throws MachineError; volume files made before a
// failure stay for the caller to clean up with the rest of the change.
std::vector<uint32_t> InstallFixtureDisks(const mcom::FilePath& root, Model& model,
                                          const Fixture& fixture, uint64_t data_size);

}  // namespace sim
