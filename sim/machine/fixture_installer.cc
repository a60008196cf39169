#include "sim/machine/fixture_installer.h"

#include <algorithm>
#include <map>
#include <string>

#include "sim/machine/apfs_operations.h"
#include "sim/machine/disk_operations.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/system_files.h"
#include "sim/machine/uuid.h"
#include "sim/machine/volume_contents.h"
#include "sim/machine/volume_store.h"

namespace sim {
namespace {

class Installer {
 public:
  Installer(const mcom::FilePath& root, Model& model, const Fixture& fixture, uint64_t data_size)
      : root_(root),
        model_(model),
        fixture_(fixture),
        data_size_(data_size == 0 ? fixture.data_size : data_size) {}

  std::vector<uint32_t> Run() {
    for (const FixtureContainer& container : fixture_.containers) {
      for (const FixtureVolume& volume : container.volumes) total_share_ += volume.share;
    }
    for (const FixtureDisk& disk : fixture_.disks) {
      for (const FixturePartition& partition : disk.partitions) {
        if (partition.volume) total_share_ += partition.volume->share;
      }
    }

    std::vector<uint32_t> disks;
    for (const FixtureDisk& disk : fixture_.disks) disks.push_back(AddDisk(disk));
    for (const FixtureContainer& container : fixture_.containers) AddContainer(container);
    return disks;
  }

 private:
  uint32_t AddDisk(const FixtureDisk& disk) {
    const uint32_t number = AddWholeDisk(model_, disk.spec);
    if (!disk.container.empty()) stores_[disk.container].push_back(mcom::DiskName{number});
    if (!disk.gpt) return number;

    std::vector<PartitionSpec> specs;
    for (const FixturePartition& partition : disk.partitions) {
      specs.push_back(PartitionSpec{partition.type, partition.name, partition.size});
    }
    const std::vector<mcom::DiskName> names =
        PartitionDisk(root_, model_, number, specs, /*with_efi=*/false);
    for (size_t i = 0; i < names.size(); ++i) {
      const FixturePartition& partition = disk.partitions[i];
      if (!partition.container.empty()) stores_[partition.container].push_back(names[i]);
      if (partition.volume) {
        const mcom::DiskName volume =
            CreateHFSVolume(root_, model_, names[i], partition.volume->name);
        Fill(volume, *partition.volume, "");
      }
    }
    return number;
  }

  void AddContainer(const FixtureContainer& fixture_container) {
    const uint32_t container = CreateContainer(root_, model_, stores_[fixture_container.name]);
    std::vector<std::pair<mcom::DiskName, const FixtureVolume*>> volumes;
    for (const FixtureVolume& volume : fixture_container.volumes) {
      VolumeSpec spec{volume.name, volume.roles,
                      volume.group.empty() ? std::string() : GroupUUID(volume.group)};
      volumes.emplace_back(AddVolume(root_, model_, container, spec), &volume);
    }
    // The recovery system's folder is named after the system's volume group, as on a Mac.
    std::string recovery_folder;
    for (const auto& [name, volume] : volumes) {
      if (recovery_folder.empty() && !volume->group.empty() &&
          std::find(volume->roles.begin(), volume->roles.end(), "System") != volume->roles.end()) {
        recovery_folder = GroupUUID(volume->group);
      }
    }
    if (recovery_folder.empty()) recovery_folder = NewUUID();
    for (const auto& [name, volume] : volumes) Fill(name, *volume, recovery_folder);
  }

  const std::string& GroupUUID(const std::string& group) {
    std::string& uuid = groups_[group];
    if (uuid.empty()) uuid = NewUUID();
    return uuid;
  }

  // System files first, then the generated tree, whose times (set last) then cover the
  // volume's root folder too.
  void Fill(mcom::DiskName name, const FixtureVolume& fixture_volume,
            const std::string& recovery_folder) {
    Volume* volume = FindVolume(model_, name);
    const mcom::FilePath files = VolumeFilesPath(root_, *volume);
    if (volume->HasRole("System")) WriteSystemVersion(files, model_.facts);
    if (volume->HasRole("Recovery")) {
      WriteRecoverySystem(files, recovery_folder, model_.facts, ImagesFolder(root_));
    }
    const uint64_t bytes = total_share_ == 0
                               ? 0
                               : static_cast<uint64_t>(static_cast<double>(data_size_) *
                                                       static_cast<double>(fixture_volume.share) /
                                                       static_cast<double>(total_share_));
    GenerateVolumeContents(files, fixture_volume.seed, bytes);
    volume = FindVolume(model_, name);
    UpdateUsedBytes(root_, *volume);
    if (fixture_volume.running_system) model_.running_system = volume->uuid;
  }

  const mcom::FilePath& root_;
  Model& model_;
  const Fixture& fixture_;
  uint64_t data_size_;
  uint64_t total_share_ = 0;
  std::map<std::string, std::vector<mcom::DiskName>> stores_;
  std::map<std::string, std::string> groups_;
};

}  // namespace

std::vector<uint32_t> InstallFixtureDisks(const mcom::FilePath& root, Model& model,
                                          const Fixture& fixture, uint64_t data_size) {
  return Installer(root, model, fixture, data_size).Run();
}

}  // namespace sim
