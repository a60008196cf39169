#include "core/backup/backup.h"

#include <fcntl.h>
#include <unistd.h>

#include <variant>

#include "core/backup/image_tools.h"
#include "core/backup/partial_image.h"
#include "core/discovery/apfs_container.h"
#include "core/discovery/container_size.h"
#include "core/discovery/disk_arbitration.h"
#include "core/discovery/property_query.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/error.h"
#include "core/foundation/file.h"
#include "core/foundation/interruption.h"
#include "core/foundation/log.h"
#include "core/foundation/scope_guard.h"
#include "core/foundation/system_path.h"
#include "platform/posix/posix_error.h"

namespace {

void Report(const ProgressCallback& progress, std::string text) {
  if (progress) progress(std::move(text));
}

}  // namespace

APFSContainerName FindSystemContainer(const ProgressCallback& progress) {
  Report(progress, "no target specified. looking for system APFS container");
  mcom::disk_arbitration::Session session;
  const std::optional<mcom::disk_arbitration::Disk> disk =
      mcom::disk_arbitration::Disk::FromVolumePath(
          session, mcom::cf::URLFromPath(mcom::SystemPath("/"), /*is_directory=*/true));
  const std::optional<std::string> name = disk ? disk->BSDName() : std::nullopt;
  if (!name) throw Error("FindSystemContainer", "failed to get system disk with DiskArbitration");
  Report(progress, "found system disk " + *name);

  const std::optional<mcom::DiskName> volume = mcom::ParseDiskName(*name);
  if (!volume) throw Error("FindSystemContainer", "invalid system disk BSD name '" + *name + "'");
  const std::optional<APFSContainerName> container = mcom::FindAPFSContainerOfVolume(*volume);
  if (!container) {
    throw Error("FindSystemContainer", "failed to get name of APFS container for '" + *name + "'");
  }
  Report(progress, "found system APFS container " + FormatDiskName(*container));
  return *container;
}

namespace {

// Makes the finished image the user's backup: its data is flushed, then it replaces whatever
// was at `image_path` in one step, so there is always either the old backup or the new one.
void MoveIntoPlace(const mcom::FilePath& partial, const mcom::FilePath& image_path) {
  if (const mcom::File image{::open(partial.c_str(), O_RDONLY | O_CLOEXEC)};
      !image || ::fsync(image.get()) != 0) {
    throw Error("PerformBackup", "failed to flush the new image " + partial.string() + ": " +
                                     mcom::LastError().message());
  }
  if (::rename(partial.c_str(), image_path.c_str()) != 0) {
    throw Error("PerformBackup", "failed to move the new image to " + image_path.string() + ": " +
                                     mcom::LastError().message());
  }
  if (const mcom::File folder{
          ::open(image_path.Parent().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)}) {
    (void)::fsync(folder.get());
  }
}

// Attaches the detached image read-only and counts its volumes: a backup is done only when
// the file on disk holds every volume of the source.
void CheckImage(const mcom::FilePath& partial, APFSContainerName source, size_t volumes,
                const ProgressCallback& progress) {
  Report(progress, "Checking the new image\u2026");
  AttachedImage image = AttachImage(partial, kAttachReadOnly);
  const std::optional<APFSContainerName> container = mcom::FindAPFSContainerOnDisk(image.disk);
  const size_t found =
      container ? mcom::iokit::AllValues(mcom::APFSVolumesOfContainer(*container)).size() : 0;
  DetachImage(image);
  if (found != volumes) {
    throw Error("PerformBackup", "the new image holds " + std::to_string(found) + " of the " +
                                     std::to_string(volumes) + " volumes of " +
                                     FormatDiskName(source));
  }
}

}  // namespace

namespace backup {

void PerformBackup(std::optional<APFSContainerName> source, const mcom::FilePath& image_path,
                   const ReplicatorFunction& replicator, const ProgressCallback& progress) {
  mcom::log::Default("PerformBackup: %{public}s -> %{public}s",
                     source ? FormatDiskName(*source) : std::string("(null)"), image_path);
  if (!source) source = FindSystemContainer(progress);

  const std::variant<uint64_t, Error> size = mcom::GetContainerSize(*source);
  if (const Error* error = std::get_if<Error>(&size)) {
    throw Error("backup", "failed to get size of source container " + FormatDiskName(*source),
                *error);
  }
  const size_t volumes = mcom::iokit::AllValues(mcom::APFSVolumesOfContainer(*source)).size();
  if (volumes == 0) {
    throw Error("PerformBackup", FormatDiskName(*source) + " holds no volumes to back up");
  }

  // The new image is made beside the old one and replaces it only once it is complete.
  const mcom::FilePath partial = PartialImagePath(image_path, ::getpid());
  mcom::ThrowIfInterrupted("PerformBackup");
  (void)mcom::Unlink(partial);  // left by an earlier process that had our pid
  // The name is ours alone, so whatever is there after a failure (even a file the tool made
  // before it failed) may go.
  mcom::ScopeFail remove_partial_image([&] { (void)mcom::Unlink(partial); });
  CreateSparseImage(std::get<uint64_t>(size), partial);
  {
    AttachedImage image = AttachImage(partial, kAttachReadWrite);
    mcom::ThrowIfInterrupted("PerformBackup");
    const APFSContainerName container = CreateAPFSContainer(image.disk);
    mcom::ThrowIfInterrupted("PerformBackup");
    replicator(*source, container, progress);
    // Written into the file only now: a detach that fails leaves no backup.
    DetachImage(image);
  }
  mcom::ThrowIfInterrupted("PerformBackup");
  CheckImage(partial, *source, volumes, progress);
  mcom::ThrowIfInterrupted("PerformBackup");
  MoveIntoPlace(partial, image_path);
}

}  // namespace backup
