#include "sim/machine/mount_table.h"

namespace sim {

const Volume* RunningSystemVolume(const Model& model) {
  if (model.running_system.empty()) return nullptr;
  return FindVolumeByUUID(model, model.running_system);
}

const Volume* RunningDataVolume(const Model& model) {
  const Volume* system = RunningSystemVolume(model);
  if (system == nullptr || system->group_uuid.empty()) return nullptr;
  for (const Volume& volume : model.volumes) {
    if (&volume != system && volume.group_uuid == system->group_uuid && volume.HasRole("Data")) {
      return &volume;
    }
  }
  return nullptr;
}

bool IsRunningSystemVolume(const Model& model, const Volume& volume) {
  return &volume == RunningSystemVolume(model) || &volume == RunningDataVolume(model);
}

std::vector<MountTableEntry> MountTable(const Model& model) {
  std::vector<MountTableEntry> table;
  const auto add = [&](const Volume& volume, std::string mount_point, bool running) {
    table.push_back(MountTableEntry{mcom::FormatDiskName(volume.disk), std::move(mount_point),
                                    volume.file_system, volume.mount_options, volume.uuid,
                                    running});
  };
  if (const Volume* system = RunningSystemVolume(model)) {
    add(*system, kRunningSystemMountPoint, true);
  }
  if (const Volume* data = RunningDataVolume(model)) add(*data, kRunningDataMountPoint, true);
  for (const Volume& volume : model.volumes) {
    if (volume.is_mounted() && !IsRunningSystemVolume(model, volume)) {
      add(volume, volume.mount_point, false);
    }
  }
  return table;
}

}  // namespace sim
