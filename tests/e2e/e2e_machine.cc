#include "tests/e2e/e2e_machine.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "core/backup/backup.h"
#include "core/backup/replication.h"
#include "core/backup/restore.h"
#include "core/foundation/system_path.h"
#include "sim/machine/machine_creation.h"
#include "sim/machine/machine_settings.h"
#include "sim/machine/model.h"
#include "sim/machine/test_machine.h"
#include "sim/machine/tree_differences.h"
#include "sim/machine/volume_store.h"

namespace e2e {

E2EMachine::E2EMachine(const std::string& fixture)
    : root_(folder_.Join("mac")),
      previous_root_(mcom::SystemRoot()),
      machine_(sim::testing::MakeTestMachineWithTools(root_, fixture)) {
  mcom::SetSystemRoot(root_);
}

E2EMachine::E2EMachine(const sim::Fixture& fixture)
    : root_(folder_.Join("mac")),
      previous_root_(mcom::SystemRoot()),
      machine_(sim::CreateMachine(root_, fixture, 64 * 1024)) {
  sim::testing::InstallTestTools(root_);
  mcom::SetSystemRoot(root_);
}

E2EMachine::~E2EMachine() { mcom::SetSystemRoot(previous_root_); }

mcom::DiskName E2EMachine::Plug(const std::string& medium) {
  return mcom::DiskName{sim::testing::PlugTestMedium(machine_, medium)};
}

void E2EMachine::SetFault(const std::string& hook, const std::string& value) {
  machine_.Change([&](sim::Model& model) { sim::ApplySetting(model, "fault." + hook, value); });
}

APFSContainerName E2EMachine::SystemContainer() {
  const sim::Model model = machine_.Read();
  for (const sim::Container& container : model.containers) {
    for (const sim::Volume* volume : sim::VolumesOfContainer(model, container.number)) {
      if (volume->uuid == model.running_system) {
        return APFSContainerName{mcom::DiskName{container.number}};
      }
    }
  }
  ADD_FAILURE() << "the machine has no running system";
  return {};
}

std::vector<uint32_t> E2EMachine::AttachedImages() {
  std::vector<uint32_t> images;
  for (const sim::Disk& disk : machine_.Read().disks) {
    if (disk.kind == sim::DiskKind::kImage) images.push_back(disk.number);
  }
  return images;
}

std::string E2EMachine::DiskState(mcom::DiskName disk) {
  const sim::Model model = machine_.Read();
  std::string state;
  if (const sim::Disk* whole = sim::FindDisk(model, disk.disk)) {
    state += whole->content;
    for (const sim::Partition& partition : whole->partitions) state += " " + partition.type;
  }
  for (const sim::Volume& volume : model.volumes) {
    const std::vector<uint32_t> disks = sim::PhysicalDisksOf(model, volume.disk);
    if (std::find(disks.begin(), disks.end(), disk.disk) == disks.end()) continue;
    state += " " + volume.uuid + ":" + std::to_string(volume.used);
  }
  return state;
}

std::vector<std::string> E2EMachine::ScratchNames() const {
  std::vector<std::string> names;
  DIR* directory = ::opendir(folder().c_str());
  while (const dirent* entry = directory ? ::readdir(directory) : nullptr) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && name != "mac") names.push_back(name);
  }
  if (directory) ::closedir(directory);
  std::sort(names.begin(), names.end());
  return names;
}

mcom::FilePath E2EMachine::VolumeFiles(const std::string& name) {
  for (const sim::Volume& volume : machine_.Read().volumes) {
    if (volume.name == name) return sim::VolumeFilesPath(root_, volume);
  }
  ADD_FAILURE() << "no volume " << name;
  return mcom::FilePath("/nonexistent");
}

std::string E2EMachine::MountPoint(const std::string& name) {
  for (const sim::Volume& volume : machine_.Read().volumes) {
    if (volume.name == name) return volume.mount_point;
  }
  return "";
}

std::vector<std::string> E2EMachine::VolumeNames(APFSContainerName container) {
  std::vector<std::string> names;
  const sim::Model model = machine_.Read();
  for (const sim::Volume* volume : sim::VolumesOfContainer(model, container.name.disk)) {
    names.push_back(volume->name);
  }
  return names;
}

std::vector<std::string> E2EMachine::ContainerDifferences(APFSContainerName expected,
                                                          APFSContainerName actual) {
  const sim::Model model = machine_.Read();
  std::map<std::string, const sim::Volume*> actual_volumes;
  for (const sim::Volume* volume : sim::VolumesOfContainer(model, actual.name.disk)) {
    actual_volumes[volume->name] = volume;
  }
  std::vector<std::string> differences;
  for (const sim::Volume* volume : sim::VolumesOfContainer(model, expected.name.disk)) {
    const auto match = actual_volumes.find(volume->name);
    if (match == actual_volumes.end()) {
      differences.push_back(volume->name + ": missing");
      continue;
    }
    for (const std::string& difference : sim::TreeDifferences(
             sim::VolumeFilesPath(root_, *volume), sim::VolumeFilesPath(root_, *match->second))) {
      differences.push_back(volume->name + ": " + difference);
    }
    if (volume->roles != match->second->roles) differences.push_back(volume->name + ": roles");
    actual_volumes.erase(match);
  }
  for (const auto& [name, volume] : actual_volumes) differences.push_back(name + ": extra");
  return differences;
}

void ReplicateHere(APFSContainerName source, APFSContainerName target, ProgressCallback progress) {
  ReplicateContainer(source, target, std::move(progress));
}

void BackUpSystem(const mcom::FilePath& image) {
  backup::PerformBackup(std::nullopt, image, ReplicateHere, [](ProgressUpdate) {});
}

void RestoreOnto(const mcom::FilePath& image, APFSContainerName target) {
  PerformRestore(image, target, ReplicateHere, [](ProgressUpdate) {});
}

std::string FileSignature(const mcom::FilePath& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return "missing";
  return std::to_string(status.st_ino) + " " + std::to_string(status.st_size) + " " +
         std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
}

ProgressCallback ProgressLog::Callback() {
  return [this](ProgressUpdate update) {
    if (const double* fraction = std::get_if<double>(&update)) {
      fractions.push_back(*fraction);
    } else {
      texts.push_back(std::get<std::string>(update));
    }
  };
}

}  // namespace e2e
