#include "app/cli/checked_job.h"

#include <sys/stat.h>

#include <string_view>
#include <variant>

#include "core/backup/restore_target.h"
#include "core/discovery/container_size.h"
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

std::variant<BackupJob, UsageError> CheckBackup(const BackupCommand& command) {
  BackupJob job{std::nullopt, mcom::FilePath(command.image), {}};
  if (command.source) {
    std::variant<mcom::DiskName, UsageError> disk = ExistingDisk(*command.source);
    if (UsageError* error = std::get_if<UsageError>(&disk)) return *error;
    const APFSContainerName container{std::get<mcom::DiskName>(disk)};
    if (std::holds_alternative<Error>(mcom::GetContainerSize(container))) {
      return UsageError{*command.source + " is not an APFS container's disk"};
    }
    job.source = container;
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
  return job;
}

std::variant<RestoreJob, UsageError> CheckRestore(const RestoreCommand& command) {
  struct stat status;
  if (::stat(command.image.c_str(), &status) != 0) {
    return UsageError{"no backup image at '" + command.image + "'"};
  }
  if (!S_ISREG(status.st_mode)) {
    return UsageError{"'" + command.image + "' is not a disk image file"};
  }
  std::variant<mcom::DiskName, UsageError> disk = ExistingDisk(command.target);
  if (UsageError* error = std::get_if<UsageError>(&disk)) return *error;
  const mcom::FilePath image(command.image);
  try {
    CheckRestoreTarget(image, std::get<mcom::DiskName>(disk));
  } catch (const Error& refusal) {
    return UsageError{refusal.message()};
  }
  return RestoreJob{image, APFSContainerName{std::get<mcom::DiskName>(disk)}};
}
