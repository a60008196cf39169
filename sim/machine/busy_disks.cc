#include "sim/machine/busy_disks.h"

#include <sys/stat.h>

#include <map>
#include <utility>

#include "sim/machine/blockers.h"
#include "sim/machine/volume_store.h"

namespace sim {
namespace {

void Reach(const Model& model, mcom::DiskName name, std::set<std::string>* reached) {
  if (!reached->insert(mcom::FormatDiskName(name)).second) return;
  if (!name.has_slice()) {
    if (const Disk* disk = FindDisk(model, name.disk)) {
      for (const Partition& partition : disk->partitions) {
        Reach(model, mcom::DiskName{disk->number, partition.slice}, reached);
      }
    }
    if (FindContainer(model, name.disk) != nullptr) {
      for (const Volume* volume : VolumesOfContainer(model, name.disk)) {
        reached->insert(mcom::FormatDiskName(volume->disk));
      }
    }
  }
  // A container on this store (a Fusion container has two).
  for (const Container& container : model.containers) {
    for (const std::string& store : container.stores) {
      if (store == mcom::FormatDiskName(name)) Reach(model, container.name(), reached);
    }
  }
}

std::string DevicePath(mcom::DiskName name) { return "/dev/" + mcom::FormatDiskName(name); }

}  // namespace

std::set<std::string> MediaReachedBy(const Model& model, mcom::DiskName name) {
  std::set<std::string> reached;
  Reach(model, name, &reached);
  return reached;
}

std::optional<mcom::DiskName> VolumeHoldingPath(const mcom::FilePath& root, const Model& model,
                                                const mcom::FilePath& path) {
  std::map<std::pair<dev_t, ino_t>, mcom::DiskName> folders;
  for (const Volume& volume : model.volumes) {
    struct stat status {};
    if (::stat(VolumeFilesPath(root, volume).c_str(), &status) == 0) {
      folders.emplace(std::make_pair(status.st_dev, status.st_ino), volume.disk);
    }
  }
  for (mcom::FilePath at = path.Parent(); !at.empty(); at = at.Parent()) {
    struct stat status {};
    if (::stat(at.c_str(), &status) == 0) {
      const auto found = folders.find({status.st_dev, status.st_ino});
      if (found != folders.end()) return found->second;
    }
    if (at.string() == "/" || at.string() == ".") break;
  }
  return std::nullopt;
}

std::optional<std::string> ClaimedBy(const Model& model, mcom::DiskName name, pid_t self) {
  const std::set<std::string> reached = MediaReachedBy(model, name);
  for (const Claim& claim : model.claims) {
    if (claim.pid == self || !IsProcessAlive(claim.pid)) continue;
    const std::optional<mcom::DiskName> claimed = mcom::ParseDiskName(claim.bsd_name);
    if (!claimed) continue;
    for (const std::string& covered : MediaReachedBy(model, *claimed)) {
      if (reached.count(covered) != 0) {
        return DevicePath(*claimed) + " is in use by process " + std::to_string(claim.pid);
      }
    }
  }
  return std::nullopt;
}

std::optional<std::string> HeldByImage(const mcom::FilePath& root, const Model& model,
                                       mcom::DiskName name) {
  const std::set<std::string> reached = MediaReachedBy(model, name);
  for (const Disk& disk : model.disks) {
    if (disk.kind != DiskKind::kImage) continue;
    for (const std::string& file : {disk.image_path, disk.shadow_path}) {
      if (file.empty()) continue;
      const std::optional<mcom::DiskName> volume =
          VolumeHoldingPath(root, model, mcom::FilePath(file));
      if (volume && reached.count(mcom::FormatDiskName(*volume)) != 0) {
        return DevicePath(*volume) + " holds the image " + file + " attached as " +
               DevicePath(disk.name());
      }
    }
  }
  return std::nullopt;
}

std::optional<std::string> WhyBusy(const mcom::FilePath& root, const Model& model,
                                   mcom::DiskName name, pid_t self) {
  if (std::optional<std::string> claimed = ClaimedBy(model, name, self)) return claimed;
  return HeldByImage(root, model, name);
}

}  // namespace sim
