#include "sim/image/test_images.h"

#include <dirent.h>

#include <algorithm>

namespace sim_test {
namespace {

sim::ImageVolume Volume(const char* uuid, const char* name, sim::VolumeFileSystem file_system,
                        const mcom::FilePath& files) {
  sim::ImageVolume volume;
  volume.uuid = uuid;
  volume.name = name;
  volume.file_system = file_system;
  volume.files = files;
  return volume;
}

sim::ImageContainer SystemContainer(const mcom::FilePath& system, const mcom::FilePath& data) {
  sim::ImageVolume system_volume =
      Volume(kSystemUUID, "Macintosh HD", sim::VolumeFileSystem::kAPFS, system);
  system_volume.roles = {"System"};
  system_volume.group_uuid = kGroupUUID;
  sim::ImageVolume data_volume =
      Volume(kDataUUID, "Macintosh HD - Data", sim::VolumeFileSystem::kAPFS, data);
  data_volume.roles = {"Data"};
  data_volume.group_uuid = kGroupUUID;
  return sim::ImageContainer{kContainerUUID, {system_volume, data_volume}};
}

}  // namespace

sim::ImageDescription MacDisk(sim::ImageFormat format, const mcom::FilePath& system,
                              const mcom::FilePath& data, const mcom::FilePath& hfs) {
  sim::ImageDescription description;
  description.format = format;
  description.size = uint64_t{1} << 30;
  description.layout = sim::ImageLayout::kGPT;
  description.disk_uuid = kDiskUUID;
  sim::ImagePartition efi{sim::kEFIPartitionType, "EFI", kEFIPartitionUUID, 200 << 20, {}};
  sim::ImagePartition store{sim::kAPFSPartitionType, "", kAPFSPartitionUUID, 600 << 20, {}};
  store.content.container = SystemContainer(system, data);
  sim::ImagePartition recovery{
      sim::kHFSPartitionType, "Recovery HD", kHFSPartitionUUID, 224 << 20, {}};
  recovery.content.volume = Volume(kHFSUUID, "Recovery HD", sim::VolumeFileSystem::kHFS, hfs);
  description.partitions = {efi, store, recovery};
  return description;
}

sim::ImageDescription ContainerDisk(sim::ImageFormat format, const mcom::FilePath& system,
                                    const mcom::FilePath& data) {
  sim::ImageDescription description;
  description.format = format;
  description.size = uint64_t{500} << 30;
  description.layout = sim::ImageLayout::kNone;
  description.whole_disk.container = SystemContainer(system, data);
  return description;
}

sim::ImageDescription WithoutFiles(sim::ImageDescription description) {
  for (sim::ImageVolume* volume : sim::VolumesOf(description)) volume->files = sim::ImagePayload{};
  return description;
}

std::vector<std::string> OtherNames(const mcom::FilePath& folder,
                                    const std::vector<std::string>& kept) {
  std::vector<std::string> names;
  DIR* directory = ::opendir(folder.c_str());
  if (directory == nullptr) return {"<cannot list>"};
  while (const dirent* item = ::readdir(directory)) {
    const std::string name = item->d_name;
    if (name != "." && name != ".." && std::find(kept.begin(), kept.end(), name) == kept.end()) {
      names.push_back(name);
    }
  }
  ::closedir(directory);
  return names;
}

}  // namespace sim_test
