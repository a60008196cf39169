#include "sim/machine/volume_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <vector>

#include "core/foundation/file_tree.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_paths.h"

namespace sim {
namespace {

bool Exists(const mcom::FilePath& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

}  // namespace

mcom::FilePath VolumeFilesPath(const mcom::FilePath& root, const Volume& volume) {
  if (volume.is_mounted()) return mcom::FilePath(volume.mount_point);
  return VolumeStorePath(root, volume.store);
}

void CreateVolumeStore(const mcom::FilePath& root, const std::string& store_id) {
  const mcom::FilePath path = VolumeStorePath(root, store_id);
  if (::mkdir(path.c_str(), 0755) != 0) {
    throw MachineError("cannot make the volume store " + path.string() + ": " +
                       std::strerror(errno));
  }
}

void RemoveVolumeFiles(const mcom::FilePath& root, const Volume& volume) {
  const mcom::FilePath files = VolumeFilesPath(root, volume);
  if (!Exists(files)) return;
  if (std::error_code error = mcom::RemoveRecursively(files)) {
    throw MachineError("cannot remove the files of " + volume.disk.Format() + " at " +
                       files.string() + ": " + error.message());
  }
  if (volume.is_mounted() && volume.mounted_at_given_path) {
    ::mkdir(files.c_str(), static_cast<mode_t>(volume.given_path_mode));
    ::chmod(files.c_str(), static_cast<mode_t>(volume.given_path_mode));
  }
}

void EraseVolumeFiles(const mcom::FilePath& root, Volume& volume) {
  const mcom::FilePath files = VolumeFilesPath(root, volume);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(files.string(), error)) {
    if (std::error_code removed = mcom::RemoveRecursively(mcom::FilePath(entry.path().string()))) {
      throw MachineError("cannot erase " + volume.disk.Format() + ": " + removed.message());
    }
  }
  if (error) throw MachineError("cannot erase " + volume.disk.Format() + ": " + error.message());
  volume.used = 0;
}

void CopyVolumeFiles(const mcom::FilePath& root, Model& model, BSDName source, BSDName target) {
  const Volume* from = FindVolume(model, source);
  Volume* to = FindVolume(model, target);
  if (from == nullptr) throw MachineError("no such volume: " + source.Format());
  if (to == nullptr) throw MachineError("no such volume: " + target.Format());
  if (from == to) throw MachineError("cannot copy a volume onto itself: " + source.Format());
  EraseVolumeFiles(root, *to);
  const mcom::FilePath from_path = VolumeFilesPath(root, *from);
  const mcom::FilePath to_path = VolumeFilesPath(root, *to);
  // Copy the entries, not the folder, so that the target folder (perhaps a mount point)
  // stays the one it is; then give it the source folder's mode and times.
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(from_path.string(), error)) {
    const std::string name = entry.path().filename().string();
    if (std::error_code copied =
            mcom::CopyTree(mcom::FilePath(entry.path().string()), to_path.Join(name))) {
      throw MachineError("cannot copy " + source.Format() + " to " + target.Format() + ": " +
                         copied.message());
    }
  }
  if (error) {
    throw MachineError("cannot read " + source.Format() + " at " + from_path.string() + ": " +
                       error.message());
  }
  struct stat status {};
  if (::stat(from_path.c_str(), &status) == 0) {
    ::chmod(to_path.c_str(), status.st_mode & 07777);
    const timespec times[2] = {status.st_atim, status.st_mtim};
    ::utimensat(AT_FDCWD, to_path.c_str(), times, 0);
  }
  UpdateUsedBytes(root, *to);
}

uint64_t MeasureUsedBytes(const mcom::FilePath& path) {
  // Walked by hand rather than with a directory iterator, so that each folder is opened
  // without updating its access time: measuring a volume must not change the times its
  // files were given.
  uint64_t used = 0;
  std::vector<std::string> folders = {path.string()};
  while (!folders.empty()) {
    const std::string folder = std::move(folders.back());
    folders.pop_back();
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    DIR* stream = ::fdopendir(fd);
    if (stream == nullptr) {
      ::close(fd);
      continue;
    }
    while (const dirent* item = ::readdir(stream)) {
      const std::string_view name = item->d_name;
      if (name == "." || name == "..") continue;
      struct stat status {};
      if (::fstatat(::dirfd(stream), item->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISDIR(status.st_mode)) {
        folders.push_back(folder + "/" + item->d_name);
      } else {
        used += static_cast<uint64_t>(status.st_blocks) * 512;
      }
    }
    ::closedir(stream);
  }
  return used;
}

void UpdateUsedBytes(const mcom::FilePath& root, Volume& volume) {
  volume.used = MeasureUsedBytes(VolumeFilesPath(root, volume));
}

}  // namespace sim
