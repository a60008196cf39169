#include "sim/machine/volume_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/foundation/file_tree.h"
#include "sim/machine/folder_copy.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_paths.h"

namespace sim {
namespace {

bool Exists(const mcom::FilePath& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// Opens a folder to read its entries without touching its access time: measuring a volume
// must not change the times its files are later copied with. O_NOATIME is allowed to the
// folder's owner and to root only; for others the folder is opened as usual.
int OpenFolderQuietly(int parent, const char* name, bool follow) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  const int folder = ::openat(parent, name, flags | O_NOATIME);
  if (folder >= 0 || errno != EPERM) return folder;
  return ::openat(parent, name, flags);
}

// The allocated bytes of everything below the open `folder`, which it closes.
uint64_t UsedBytesIn(int folder) {
  DIR* const entries = ::fdopendir(folder);
  if (entries == nullptr) {
    ::close(folder);
    return 0;
  }
  uint64_t used = 0;
  while (const dirent* entry = ::readdir(entries)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    struct stat status {};
    if (::fstatat(::dirfd(entries), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(status.st_mode)) {
      const int child = OpenFolderQuietly(::dirfd(entries), entry->d_name, /*follow=*/false);
      if (child >= 0) used += UsedBytesIn(child);
    } else {
      used += static_cast<uint64_t>(status.st_blocks) * 512;
    }
  }
  ::closedir(entries);
  return used;
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
    throw MachineError("cannot remove the files of " + mcom::FormatDiskName(volume.disk) + " at " +
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
      throw MachineError("cannot erase " + mcom::FormatDiskName(volume.disk) + ": " +
                         removed.message());
    }
  }
  if (error)
    throw MachineError("cannot erase " + mcom::FormatDiskName(volume.disk) + ": " +
                       error.message());
  volume.used = 0;
}

void CopyVolumeFiles(const mcom::FilePath& root, Model& model, mcom::DiskName source,
                     mcom::DiskName target) {
  const Volume* from = FindVolume(model, source);
  Volume* to = FindVolume(model, target);
  if (from == nullptr) throw MachineError("no such volume: " + mcom::FormatDiskName(source));
  if (to == nullptr) throw MachineError("no such volume: " + mcom::FormatDiskName(target));
  if (from == to)
    throw MachineError("cannot copy a volume onto itself: " + mcom::FormatDiskName(source));
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
      throw MachineError("cannot copy " + mcom::FormatDiskName(source) + " to " +
                         mcom::FormatDiskName(target) + ": " + copied.message());
    }
  }
  if (error) {
    throw MachineError("cannot read " + mcom::FormatDiskName(source) + " at " + from_path.string() +
                       ": " + error.message());
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
  const int folder = OpenFolderQuietly(AT_FDCWD, path.c_str(), /*follow=*/true);
  return folder < 0 ? 0 : UsedBytesIn(folder);
}

void UpdateUsedBytes(const mcom::FilePath& root, Volume& volume) {
  volume.used = MeasureUsedBytes(VolumeFilesPath(root, volume));
}

}  // namespace sim
