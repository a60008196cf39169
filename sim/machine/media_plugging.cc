#include "sim/machine/media_plugging.h"

#include "sim/machine/disk_operations.h"
#include "sim/machine/fixture_installer.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/mounting.h"

namespace sim {

uint32_t PlugMedium(const mcom::FilePath& root, Model& model, const Fixture& fixture,
                    uint64_t data_size) {
  if (fixture.kind != Fixture::Kind::kMedium) {
    throw MachineError(fixture.name + " is a machine, not a medium to plug");
  }
  const std::vector<uint32_t> disks = InstallFixtureDisks(root, model, fixture, data_size);
  for (uint32_t number : disks) {
    const mcom::DiskName disk{number};
    model.plugged[mcom::FormatDiskName(disk)] = fixture.name;
    for (mcom::DiskName volume : VolumesOnDisk(model, disk)) Mount(root, model, volume, {});
  }
  return disks.front();
}

void UnplugMedium(const mcom::FilePath& root, Model& model, mcom::DiskName disk) {
  const std::string name = mcom::FormatDiskName(disk);
  if (disk.has_slice() || FindDisk(model, disk.disk) == nullptr) {
    throw MachineError("no such disk: " + name);
  }
  if (model.plugged.count(name) == 0) throw MachineError(name + " was not plugged");
  RemoveDisk(root, model, disk.disk);
}

}  // namespace sim
