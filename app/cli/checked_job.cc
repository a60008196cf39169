#include "app/cli/checked_job.h"

#include <sys/stat.h>

#include <string_view>
#include <variant>

#include "app/cli/disk_choice.h"
#include "core/backup/backup.h"
#include "core/backup/restore_target.h"
#include "core/discovery/service_query.h"
#include "core/foundation/error.h"

namespace {

// The disk named `text`, which the machine must have.
std::variant<mcom::DiskName, UsageError> ExistingDisk(const std::string& text) {
  const std::optional<mcom::DiskName> disk = mcom::ParseDiskName(text);
  if (!disk) return UsageError{"'" + text + "' is not a disk name (diskN or diskNsM)"};
  if (!mcom::iokit::ServiceQuery(*disk).Iterate().Next()) {
    return UsageError{"this Mac has no disk " + text};
  }
  return *disk;
}

bool IsFolder(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

std::variant<BackupJob, UsageError> CheckBackup(
    const BackupCommand& command, const std::vector<app::APFSContainerInfo>& sources) {
  BackupJob job{{}, mcom::FilePath(command.image), {}, {}};
  std::variant<app::APFSContainerInfo, std::string> source;
  if (command.source) {
    std::variant<mcom::DiskName, UsageError> disk = ExistingDisk(*command.source);
    if (UsageError* error = std::get_if<UsageError>(&disk)) return *error;
    source = ChooseBackupSource(sources, app::AppDiskName(std::get<mcom::DiskName>(disk)));
    if (const std::string* why = std::get_if<std::string>(&source)) return UsageError{*why};
  }
  if (command.image.empty() || command.image.back() == '/' || IsFolder(command.image)) {
    return UsageError{"--to needs the path of the image file to write, not a folder: '" +
                      command.image + "'"};
  }
  constexpr std::string_view kExtension = ".sparseimage";
  if (!command.image.ends_with(kExtension)) {
    job.image = mcom::FilePath(command.image + std::string(kExtension));
    if (IsFolder(job.image.string())) {
      return UsageError{"'" + job.image.string() + "' is a folder, not an image file"};
    }
    job.note = "writing the image to " + job.image.string() +
               " (sparse disk images always end in .sparseimage)";
  }
  const mcom::FilePath folder = job.image.Parent();
  if (!IsFolder(folder.string())) {
    return UsageError{"no folder '" + folder.string() + "' to write the image into"};
  }
  // The running system's container is looked for last, once the request is known to be good.
  if (!command.source) {
    const APFSContainerName system = FindSystemContainer([&job](ProgressUpdate update) {
      if (std::string* text = std::get_if<std::string>(&update)) {
        job.search_texts.push_back(std::move(*text));
      }
    });
    source = ChooseBackupSource(sources, app::AppDiskName(system.name));
    if (const std::string* why = std::get_if<std::string>(&source)) {
      return UsageError{"the running system's container: " + *why};
    }
  }
  job.source = std::get<app::APFSContainerInfo>(std::move(source));
  return job;
}

std::variant<RestoreJob, UsageError> CheckRestore(
    const RestoreCommand& command, const std::vector<app::RestoreTargetInfo>& targets) {
  struct stat status;
  if (::stat(command.image.c_str(), &status) != 0) {
    return UsageError{"no backup image at '" + command.image + "'"};
  }
  if (!S_ISREG(status.st_mode)) {
    return UsageError{"'" + command.image + "' is not a disk image file"};
  }
  std::variant<mcom::DiskName, UsageError> disk = ExistingDisk(command.target);
  if (UsageError* error = std::get_if<UsageError>(&disk)) return *error;
  const app::DiskName named = app::AppDiskName(std::get<mcom::DiskName>(disk));
  std::variant<app::RestoreTargetInfo, std::string> target =
      ChooseRestoreTarget(targets, named, DisksWithin(named));
  if (const std::string* why = std::get_if<std::string>(&target)) return UsageError{*why};
  // The pipeline's own rules (the running system, the image's own disk, a disk in use).
  const mcom::FilePath image(command.image);
  try {
    CheckRestoreTarget(image, std::get<mcom::DiskName>(disk));
  } catch (const Error& refusal) {
    return UsageError{refusal.message()};
  }
  return RestoreJob{image, std::get<app::RestoreTargetInfo>(std::move(target)), command.restart};
}
