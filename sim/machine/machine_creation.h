#pragma once

#include <cstdint>

#include "core/foundation/file_path.h"
#include "sim/machine/fixture.h"
#include "sim/machine/machine.h"

namespace sim {

// Creates a new machine at `root` from a machine fixture: lays the root out
// (machine_layout.h), installs the fixture's disks and volumes with generated contents
// (fixture_installer.h; `data_size` 0 takes the fixture's DataSize), takes its facts, and
// writes the first model. The disk tools are not installed here (that is `macsim`'s job,
// which knows where they are).
//
// Throws MachineError when the root exists and is not empty, the fixture is a medium, or
// anything fails; on failure everything made inside the root is removed again (the root
// itself too when this call made it).
Machine CreateMachine(const mcom::FilePath& root, const Fixture& fixture, uint64_t data_size);

}  // namespace sim
