#ifndef __linux__
#error "This file answers statfs for the simulated Mac's volumes on Linux only."
#endif

#include "platform/disk_arbitration/file_system_space.h"

#include <sys/stat.h>

#include <cerrno>
#include <optional>

#include "core/foundation/file_path.h"
#include "core/foundation/system_path.h"
#include "platform/disk_arbitration/machine_disks_linux.h"
#include "sim/machine/model.h"

namespace platform {
namespace {

// The volume whose mount point is `path` or its nearest ancestor that is one.
std::optional<mcom::DiskName> VolumeHolding(const sim::Model& model, const mcom::FilePath& root,
                                            mcom::FilePath path) {
  for (;;) {
    if (std::optional<mcom::DiskName> volume = da_internal::VolumeMountedAt(model, root, path)) {
      return volume;
    }
    mcom::FilePath parent = path.Parent();
    if (parent.string() == path.string() || parent.empty()) return std::nullopt;
    path = std::move(parent);
  }
}

std::optional<FileSystemSpace> SpaceOf(const sim::Model& model, const sim::Volume& volume) {
  if (volume.file_system == "hfs") {
    const sim::Partition* partition = sim::FindPartition(model, volume.disk);
    if (partition == nullptr) return std::nullopt;
    return FileSystemSpace{partition->size,
                           volume.used < partition->size ? partition->size - volume.used : 0};
  }
  const sim::Container* container = sim::FindContainer(model, volume.disk.disk);
  if (container == nullptr) return std::nullopt;
  uint64_t used = 0;
  for (const sim::Volume* member : sim::VolumesOfContainer(model, container->number)) {
    used += member->used;
  }
  return FileSystemSpace{container->size, used < container->size ? container->size - used : 0};
}

}  // namespace

int GetFileSystemSpace(const char* path, FileSystemSpace* space) {
  if (path == nullptr || space == nullptr) return EINVAL;
  struct stat status {};
  if (::stat(path, &status) != 0) return errno;
  const mcom::FilePath root = mcom::SystemPath("/");
  const std::optional<sim::Model> model = da_internal::ReadMachine(root);
  if (!model) return ENOENT;
  const std::optional<mcom::DiskName> name = VolumeHolding(*model, root, mcom::FilePath(path));
  if (!name) return ENOENT;
  const sim::Volume* volume = sim::FindVolume(*model, *name);
  if (volume == nullptr) return ENOENT;
  const std::optional<FileSystemSpace> answer = SpaceOf(*model, *volume);
  if (!answer) return ENOENT;
  *space = *answer;
  return 0;
}

}  // namespace platform
