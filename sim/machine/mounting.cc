#include "sim/machine/mounting.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "sim/machine/blockers.h"
#include "sim/machine/disk_arbitration_status.h"
#include "sim/machine/disk_operations.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/mount_table.h"
#include "sim/machine/volume_store.h"

namespace sim {
namespace {

MountOutcome Refuse(uint32_t status, std::string message) {
  return MountOutcome{status, std::move(message), {}};
}

MountOutcome Mounted(mcom::FilePath mount_point) {
  return MountOutcome{kDAReturnSuccess, {}, std::move(mount_point)};
}

bool Exists(const mcom::FilePath& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// The status for a failed rename onto the mount point.
uint32_t StatusOfRenameError(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return kDAReturnNotPermitted;
    case ENOTEMPTY:
    case EEXIST:
    case EBUSY:
      return kDAReturnBusy;
    case EINVAL:
    case ENOTDIR:
      return kDAReturnBadArgument;
    default:
      return kDAReturnError;
  }
}

// Checks a caller's mount point: an existing, empty, real directory. Sets `mode` to its
// permission bits.
std::optional<MountOutcome> CheckGivenMountPoint(const mcom::FilePath& path, uint32_t* mode) {
  if (!path.string().starts_with("/")) {
    return Refuse(kDAReturnBadArgument, "mount point is not an absolute path: " + path.string());
  }
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return Refuse(errno == ENOENT ? kDAReturnNotFound : kDAReturnBadArgument,
                  "mount point " + path.string() + ": " + std::strerror(errno));
  }
  if (!S_ISDIR(status.st_mode)) {
    return Refuse(kDAReturnBadArgument, "mount point is not a directory: " + path.string());
  }
  std::error_code error;
  if (!std::filesystem::is_empty(path.string(), error) || error) {
    return Refuse(kDAReturnBusy, "mount point is not empty: " + path.string());
  }
  *mode = status.st_mode & 07777;
  return std::nullopt;
}

// Whether `path` lies in the machine's private state folder (where the volume stores are).
bool IsInsideStateFolder(const mcom::FilePath& root, const mcom::FilePath& path) {
  std::error_code error;
  const std::string state =
      std::filesystem::weakly_canonical(StateFolder(root).string(), error).string();
  if (error) return false;
  const std::string given = std::filesystem::weakly_canonical(path.string(), error).string();
  if (error) return false;
  return given == state || given.starts_with(state + "/");
}

// The mounted volume whose mount point is the directory `path` (an empty volume's mount
// point passes the emptiness check, and must not be replaced by another volume).
const Volume* VolumeMountedAt(const Model& model, const mcom::FilePath& path) {
  struct stat given {};
  if (::stat(path.c_str(), &given) != 0) return nullptr;
  for (const Volume& volume : model.volumes) {
    struct stat status {};
    if (volume.is_mounted() && ::stat(volume.mount_point.c_str(), &status) == 0 &&
        status.st_dev == given.st_dev && status.st_ino == given.st_ino) {
      return &volume;
    }
  }
  return nullptr;
}

std::vector<std::string> OptionsOf(const Volume& volume, const MountOptions& options) {
  std::vector<std::string> recorded;
  if (options.read_only || !volume.writable) recorded.push_back("ro");
  if (options.hidden) recorded.push_back("nobrowse");
  return recorded;
}

}  // namespace

mcom::FilePath DefaultMountPoint(const mcom::FilePath& root, const std::string& name) {
  std::string folder = name.empty() ? std::string("Untitled") : name;
  std::replace(folder.begin(), folder.end(), '/', ':');
  if (folder == "." || folder == "..") folder = "Untitled";
  const mcom::FilePath volumes = DefaultMountFolder(root);
  mcom::FilePath candidate = volumes.Join(folder);
  for (int suffix = 1; Exists(candidate); ++suffix) {
    candidate = volumes.Join(folder + " " + std::to_string(suffix));
  }
  return candidate;
}

MountOutcome Mount(const mcom::FilePath& root, Model& model, mcom::DiskName name,
                   const MountOptions& options) {
  Volume* volume = FindVolume(model, name);
  if (volume == nullptr)
    return Refuse(kDAReturnNotFound, "no such volume: " + mcom::FormatDiskName(name));

  if (volume == RunningSystemVolume(model) || volume == RunningDataVolume(model)) {
    const char* path =
        volume == RunningSystemVolume(model) ? kRunningSystemMountPoint : kRunningDataMountPoint;
    if (options.path && options.path->string() != path) {
      return Refuse(kDAReturnBusy, mcom::FormatDiskName(name) + " is already mounted at " + path);
    }
    return Mounted(mcom::FilePath(path));
  }
  if (volume->is_mounted()) {
    if (options.path && *options.path != mcom::FilePath(volume->mount_point)) {
      return Refuse(kDAReturnBusy,
                    mcom::FormatDiskName(name) + " is already mounted at " + volume->mount_point);
    }
    return Mounted(mcom::FilePath(volume->mount_point));
  }
  if (const std::optional<Blocker> blocker = FindBlocker(model, name)) {
    return Refuse(kDAReturnBusy, "mount of " + mcom::FormatDiskName(name) + " refused by process " +
                                     std::to_string(blocker->pid));
  }

  uint32_t given_mode = 0755;
  mcom::FilePath mount_point;
  if (options.path) {
    if (std::optional<MountOutcome> refusal = CheckGivenMountPoint(*options.path, &given_mode)) {
      return *refusal;
    }
    if (IsInsideStateFolder(root, *options.path)) {
      return Refuse(kDAReturnBadArgument,
                    "mount point is inside the machine's state: " + options.path->string());
    }
    if (const Volume* other = VolumeMountedAt(model, *options.path)) {
      return Refuse(kDAReturnBusy, options.path->string() + " is the mount point of " +
                                       mcom::FormatDiskName(other->disk));
    }
    mount_point = *options.path;
  } else {
    mount_point = DefaultMountPoint(root, volume->name);
  }

  // Renaming a directory onto an empty directory replaces it in one step.
  const mcom::FilePath store = VolumeStorePath(root, volume->store);
  if (::rename(store.c_str(), mount_point.c_str()) != 0) {
    const int error = errno;
    return Refuse(StatusOfRenameError(error), "cannot mount " + mcom::FormatDiskName(name) +
                                                  " at " + mount_point.string() + ": " +
                                                  std::strerror(error));
  }
  volume->mount_point = mount_point.string();
  volume->mount_options = OptionsOf(*volume, options);
  volume->mounted_at_given_path = options.path.has_value();
  volume->given_path_mode = given_mode;
  return Mounted(mount_point);
}

MountOutcome MountWholeDisk(const mcom::FilePath& root, Model& model, mcom::DiskName disk,
                            const MountOptions& options) {
  if (options.path) {
    return Refuse(kDAReturnBadArgument, "a whole disk cannot be mounted at one path");
  }
  const mcom::DiskName whole = disk.Whole();
  if (FindDisk(model, whole.disk) == nullptr && FindContainer(model, whole.disk) == nullptr) {
    return Refuse(kDAReturnNotFound, "no such disk: " + mcom::FormatDiskName(whole));
  }
  if (const std::optional<Blocker> blocker = FindBlocker(model, whole)) {
    return Refuse(kDAReturnBusy, "mount of " + mcom::FormatDiskName(whole) +
                                     " refused by process " + std::to_string(blocker->pid));
  }
  for (mcom::DiskName volume : VolumesOnDisk(model, whole)) {
    MountOutcome outcome = Mount(root, model, volume, options);
    if (!outcome.ok()) return outcome;
  }
  return MountOutcome{};
}

MountOutcome Unmount(const mcom::FilePath& root, Model& model, mcom::DiskName name) {
  Volume* volume = FindVolume(model, name);
  if (volume == nullptr)
    return Refuse(kDAReturnNotFound, "no such volume: " + mcom::FormatDiskName(name));
  if (IsRunningSystemVolume(model, *volume)) {
    return Refuse(kDAReturnBusy, mcom::FormatDiskName(name) + " belongs to the running system");
  }
  if (!volume->is_mounted()) {
    return Refuse(kDAReturnNotMounted, mcom::FormatDiskName(name) + " is not mounted");
  }
  const mcom::FilePath mount_point(volume->mount_point);
  const mcom::FilePath store = VolumeStorePath(root, volume->store);
  if (Exists(mount_point)) {
    if (::rename(mount_point.c_str(), store.c_str()) != 0) {
      const int error = errno;
      return Refuse(StatusOfRenameError(error),
                    "cannot unmount " + mcom::FormatDiskName(name) + ": " + std::strerror(error));
    }
  } else {
    // The files were removed behind the machine's back: the volume is empty now.
    CreateVolumeStore(root, volume->store);
  }
  if (volume->mounted_at_given_path) {
    ::mkdir(mount_point.c_str(), static_cast<mode_t>(volume->given_path_mode));
    ::chmod(mount_point.c_str(), static_cast<mode_t>(volume->given_path_mode));
  }
  volume->mount_point.clear();
  volume->mount_options.clear();
  volume->mounted_at_given_path = false;
  volume->given_path_mode = 0755;
  return MountOutcome{};
}

MountOutcome UnmountWholeDisk(const mcom::FilePath& root, Model& model, mcom::DiskName disk) {
  const mcom::DiskName whole = disk.Whole();
  if (FindDisk(model, whole.disk) == nullptr && FindContainer(model, whole.disk) == nullptr) {
    return Refuse(kDAReturnNotFound, "no such disk: " + mcom::FormatDiskName(whole));
  }
  const std::vector<mcom::DiskName> volumes = VolumesOnDisk(model, whole);
  for (mcom::DiskName name : volumes) {
    if (IsRunningSystemVolume(model, *FindVolume(model, name))) {
      return Refuse(kDAReturnBusy, mcom::FormatDiskName(whole) + " holds the running system");
    }
  }
  for (mcom::DiskName name : volumes) {
    if (!FindVolume(model, name)->is_mounted()) continue;
    MountOutcome outcome = Unmount(root, model, name);
    if (!outcome.ok()) return outcome;
  }
  return MountOutcome{};
}

MountOutcome Eject(const mcom::FilePath& root, Model& model, mcom::DiskName disk) {
  const std::vector<uint32_t> physical = PhysicalDisksOf(model, disk.Whole());
  if (physical.empty())
    return Refuse(kDAReturnNotFound, "no such disk: " + mcom::FormatDiskName(disk));
  for (uint32_t number : physical) {
    MountOutcome outcome = UnmountWholeDisk(root, model, mcom::DiskName{number});
    if (!outcome.ok()) return outcome;
  }
  for (uint32_t number : physical) {
    const Disk* found = FindDisk(model, number);
    if (found != nullptr && found->kind == DiskKind::kExternal) RemoveDisk(root, model, number);
  }
  return MountOutcome{};
}

std::vector<mcom::DiskName> VolumesOnDisk(const Model& model, mcom::DiskName disk) {
  const mcom::DiskName whole = disk.Whole();
  std::vector<mcom::DiskName> names;
  if (FindContainer(model, whole.disk) != nullptr) {
    for (const Volume* volume : VolumesOfContainer(model, whole.disk))
      names.push_back(volume->disk);
    return names;
  }
  const Disk* found = FindDisk(model, whole.disk);
  if (found == nullptr) return names;
  for (const Partition& partition : found->partitions) {
    const mcom::DiskName partition_name{found->number, partition.slice};
    if (VolumeOnPartition(model, partition_name) != nullptr) names.push_back(partition_name);
  }
  for (const Container& container : model.containers) {
    const std::vector<uint32_t> disks = PhysicalDisksOf(model, container.name());
    if (std::find(disks.begin(), disks.end(), found->number) == disks.end()) continue;
    for (const Volume* volume : VolumesOfContainer(model, container.number)) {
      names.push_back(volume->disk);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace sim
