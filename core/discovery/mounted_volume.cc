#include "core/discovery/mounted_volume.h"

#include <utility>

#include "core/foundation/cf_url.h"
#include "core/foundation/file_tree.h"
#include "core/foundation/temporary_directory.h"

namespace mcom::disk_arbitration {
namespace {

// The status bits of kDAReturnNotPermitted and kDAReturnNotPrivileged differ only in the
// lowest bit.
constexpr uint32_t kRetryAtDefaultPlace = 0xF8DA0009;

std::optional<FilePath> VolumePathOf(const Disk& disk) {
  const cf::Ref<cf::Dictionary> description = disk.Description();
  if (!description) return std::nullopt;
  return cf::PathFromURL(description->Get<cf::URL>(platform::kDADiskDescriptionVolumePathKey));
}

// Opens the volume's mount point; nothing when it cannot be opened.
std::optional<DirectoryHandle> OpenMountPoint(const std::optional<FilePath>& path) {
  if (!path) return std::nullopt;
  Result<DirectoryHandle> directory = OpenDirectory(*path);
  if (!directory) return std::nullopt;
  return std::move(*directory);
}

}  // namespace

MountedVolume::MountedVolume(DirectoryHandle directory, bool unmount, bool remove_directory)
    : directory_(std::move(directory)), unmount_(unmount), remove_directory_(remove_directory) {}

MountedVolume::~MountedVolume() { Release(); }

MountedVolume::MountedVolume(MountedVolume&& other) noexcept
    : directory_(std::move(other.directory_)),
      unmount_(std::exchange(other.unmount_, false)),
      remove_directory_(std::exchange(other.remove_directory_, false)) {}

MountedVolume& MountedVolume::operator=(MountedVolume&& other) noexcept {
  if (this != &other) {
    Release();
    directory_ = std::move(other.directory_);
    unmount_ = std::exchange(other.unmount_, false);
    remove_directory_ = std::exchange(other.remove_directory_, false);
  }
  return *this;
}

void MountedVolume::Release() {
  const bool unmount = std::exchange(unmount_, false);
  const bool remove_directory = std::exchange(remove_directory_, false);
  if (!unmount || !directory_.IsValid()) {
    (void)directory_.Release();
    return;
  }
  const Result<FilePath> path = directory_.Path();
  // Closed first: an open descriptor would keep the volume busy.
  (void)directory_.Release();
  if (!path) return;

  {
    Session session(dispatch::CreateQueue(""));
    if (std::optional<Disk> disk =
            Disk::FromVolumePath(session, cf::URLFromPath(*path, /*is_directory=*/true))) {
      (void)Unmount(*disk).get();
    }
  }
  if (remove_directory) (void)RemoveDirectory(*path);
}

std::optional<MountedVolume> MountVolume(const Disk& disk, uint32_t flags) {
  if (std::optional<DirectoryHandle> directory = OpenMountPoint(VolumePathOf(disk))) {
    return MountedVolume(std::move(*directory), /*unmount=*/false, /*remove_directory=*/false);
  }

  const Result<FilePath> temporary = MakeTemporaryDirectory();
  if (!temporary) return std::nullopt;
  const Optional<Dissenter> dissenter = MountWithOptions(disk, *temporary, flags).get();
  if (!dissenter) {
    if (std::optional<DirectoryHandle> directory = OpenMountPoint(*temporary)) {
      return MountedVolume(std::move(*directory), /*unmount=*/true, /*remove_directory=*/true);
    }
    // Mounted but not readable: it must not stay mounted on a directory nobody will remove.
    (void)Unmount(disk).get();
    (void)RemoveDirectory(*temporary);
    return std::nullopt;
  }

  // The directory the service refused is left empty; it is not the caller's to clean up.
  (void)RemoveDirectory(*temporary);
  if ((static_cast<uint32_t>(dissenter->status()) | 1u) != kRetryAtDefaultPlace) {
    return std::nullopt;
  }
  if (MountWithOptions(disk, std::nullopt, flags).get()) return std::nullopt;
  if (std::optional<DirectoryHandle> directory = OpenMountPoint(VolumePathOf(disk))) {
    return MountedVolume(std::move(*directory), /*unmount=*/true, /*remove_directory=*/false);
  }
  (void)Unmount(disk).get();
  return std::nullopt;
}

}  // namespace mcom::disk_arbitration
