#pragma once

#include <cstdint>

#include "core/foundation/file_path.h"
#include "sim/machine/fixture.h"
#include "sim/machine/model.h"

// Plugging and unplugging external media, as a person does with a USB disk. Run inside
// Machine::Change:
//
//   const uint32_t disk = machine.Change([&](sim::Model& model) {
//     return sim::PlugMedium(machine.root(), model, sim::LoadFixture(folder, "usb-hfs"), 0);
//   });
namespace sim {

// Adds the medium's disk with everything on it (fixture_installer.h; `data_size` 0 takes
// the fixture's DataSize), records which fixture it came from ("Plugged"), and mounts its
// volumes at their default places, as macOS does when a disk appears; a mount that is
// refused (a blocker for the new disk's number) leaves the volume unmounted. Returns the
// new whole disk's number (the lowest free one). Throws MachineError for a machine fixture.
uint32_t PlugMedium(const mcom::FilePath& root, Model& model, const Fixture& fixture,
                    uint64_t data_size);

// Pulls a plugged disk out: its volumes are unmounted and the disk and everything on it are
// removed (the files go with the medium). Throws MachineError for a disk that was not
// plugged (the machine's own disks, attached images) or does not exist.
void UnplugMedium(const mcom::FilePath& root, Model& model, mcom::DiskName disk);

}  // namespace sim
