#include "core/backup/backup.h"

#include <variant>

#include "core/backup/image_tools.h"
#include "core/discovery/apfs_container.h"
#include "core/discovery/container_size.h"
#include "core/discovery/disk_arbitration.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/error.h"
#include "core/foundation/file.h"
#include "core/foundation/log.h"
#include "core/foundation/scope_guard.h"
#include "core/foundation/system_path.h"

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

  if (const std::error_code error = mcom::Unlink(image_path);
      error && error != std::errc::no_such_file_or_directory) {
    throw Error("PerformBackup", "failed to remove existing image: " + error.message());
  }
  CreateSparseImage(std::get<uint64_t>(size), image_path);

  // Declared before the attached image, so that it runs after the image has been detached.
  mcom::ScopeFail remove_image_on_failure([&] { (void)mcom::Unlink(image_path); });
  const AttachedImage image = AttachImage(image_path, kAttachReadWrite);
  const APFSContainerName container = CreateAPFSContainer(image.disk);
  replicator(*source, container, progress);
}

}  // namespace backup
