#pragma once

// Test support for the machine library: machines made from the fixtures in sim/machines.

#include <cstdint>
#include <string>

#include "core/foundation/file_path.h"
#include "sim/machine/fixture.h"
#include "sim/machine/machine.h"

namespace sim::testing {

// The fixtures of the source tree.
mcom::FilePath FixturesFolder();

Fixture TestFixture(const std::string& name);

// A machine made at `root` from the fixture `name` with little data (64 KiB over all
// volumes), so that tests stay fast.
Machine MakeTestMachine(const mcom::FilePath& root, const std::string& name = "intel-mac",
                        uint64_t data_size = 64 * 1024);

// Installs the disk tools of this build (the simtool beside macsim) into the machine at
// `root`. A test target that calls it depends on the `simtool` target.
void InstallTestTools(const mcom::FilePath& root);

// MakeTestMachine, then InstallTestTools.
Machine MakeTestMachineWithTools(const mcom::FilePath& root, const std::string& name = "intel-mac",
                                 uint64_t data_size = 64 * 1024);

// Plugs the medium `name` into the machine; returns the new disk's number.
uint32_t PlugTestMedium(Machine& machine, const std::string& name, uint64_t data_size = 16 * 1024);

}  // namespace sim::testing
