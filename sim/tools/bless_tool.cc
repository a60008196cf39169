// bless: records the machine's boot settings.
//
//   bless --folder DIR --bootefi FILE   blesses DIR, a folder on a mounted volume, with the boot
//                                       loader FILE (an existing file); recorded as the boot
//                                       settings' Folder and BootEFI (real paths, links
//                                       resolved), and the volume they lie on with both
//                                       paths from its root, where the firmware finds them
//                                       (FolderVolume, FolderInVolume, BootEFIInVolume)
//   bless --device /dev/DISK --setBoot  makes DISK, a volume or a partition, the start-up
//                                       disk; recorded as the boot settings' Device ("diskNsM")
//
// The options of each form may come in either order; no other option is accepted. Nothing
// is printed on success; a refusal is one line on standard error and status 1, and changes
// nothing.
//
// Fault-injection hooks (injected_failure.h): fail-before-start, fail-at-start (before
// anything is checked or recorded) or fail-at-exit (the setting is recorded, and yet the tool
// fails). The usual messages are "Can't bless folder DIR" and "Can't set boot device DEVICE".
//   bless.folder   the --folder form
//   bless.device   the --device form (an argument list holding "--device", even before it
//                  is checked)

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>

#include "sim/machine/model.h"
#include "sim/machine/mount_table.h"
#include "sim/tools/injected_failure.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace {

constexpr const char* kUsage =
    "bless --folder DIR --bootefi FILE\n"
    "       bless --device /dev/DISK --setBoot";

constexpr std::string_view kDevicePrefix = "/dev/";

// The option list as given: each value option ("--folder") with its value, each flag
// ("--setBoot") with an empty value. Nothing for an unknown or repeated option or a
// missing value.
std::optional<std::map<std::string, std::string>> ParseOptions(
    const std::vector<std::string>& arguments) {
  std::map<std::string, std::string> options;
  for (size_t index = 0; index < arguments.size(); ++index) {
    const std::string& option = arguments[index];
    std::string value;
    if (option == "--folder" || option == "--bootefi" || option == "--device") {
      if (index + 1 >= arguments.size()) return std::nullopt;
      value = arguments[++index];
      if (value.empty()) return std::nullopt;
    } else if (option != "--setBoot") {
      return std::nullopt;
    }
    if (!options.emplace(option, std::move(value)).second) return std::nullopt;
  }
  return options;
}

bool HasExactly(const std::map<std::string, std::string>& options,
                std::initializer_list<const char*> names) {
  if (options.size() != names.size()) return false;
  for (const char* name : names) {
    if (!options.contains(name)) return false;
  }
  return true;
}

// `path` with every link resolved, or nothing (errno set).
std::optional<std::string> RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

bool IsInside(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  return path == folder || (path.starts_with(folder) && path[folder.size()] == '/');
}

// The mounted volume `folder` (a real path) lies on, with the volume's real mount point;
// null when none. The running system's volumes are listed at their Mac paths only and hold no
// files under the root, so only the volumes mounted at a host path count.
const Volume* MountedVolumeOf(const Model& model, const std::string& folder,
                              std::string* mount_point) {
  for (const MountTableEntry& entry : MountTable(model)) {
    if (entry.running_system) continue;
    const std::optional<std::string> real = RealPath(entry.mount_point);
    if (real && IsInside(folder, *real)) {
      *mount_point = *real;
      return FindVolumeByUUID(model, entry.volume_uuid);
    }
  }
  return nullptr;
}

// `path` below `mount_point` as a path from the volume's root ("/X/boot.efi").
std::string InVolume(const std::string& path, const std::string& mount_point) {
  const std::string rest = mount_point == "/" ? path : path.substr(mount_point.size());
  return rest.empty() ? "/" : rest;
}

using Point = InjectedFailure::Point;

int BlessFolder(ToolContext& context, const std::string& folder, const std::string& boot_efi,
                const std::optional<InjectedFailure>& failure) {
  const std::string usual_failure = "Can't bless folder " + folder;
  if (auto status = FailIfAt(context, failure, Point::kAtStart, usual_failure)) return *status;
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) {
    return context.Fail("Can't access folder \"" + folder + "\": " + std::strerror(errno));
  }
  if (!S_ISDIR(status.st_mode)) return context.Fail("\"" + folder + "\" is not a directory");
  if (::stat(boot_efi.c_str(), &status) != 0) {
    return context.Fail("Can't access boot file \"" + boot_efi + "\": " + std::strerror(errno));
  }
  if (!S_ISREG(status.st_mode)) return context.Fail("\"" + boot_efi + "\" is not a file");
  const std::optional<std::string> real_folder = RealPath(folder);
  const std::optional<std::string> real_boot_efi = RealPath(boot_efi);
  if (!real_folder || !real_boot_efi) {
    return context.Fail("Can't resolve \"" + folder + "\": " + std::strerror(errno));
  }

  // Checked again under the machine's lock, so that a volume unmounted meanwhile is noticed.
  const bool recorded = context.machine().Change([&](Model& model) {
    std::string mount_point;
    const Volume* volume = MountedVolumeOf(model, *real_folder, &mount_point);
    if (volume == nullptr) return false;
    model.boot.folder = *real_folder;
    model.boot.boot_efi = *real_boot_efi;
    model.boot.folder_volume = volume->uuid;
    model.boot.folder_in_volume = InVolume(*real_folder, mount_point);
    // A boot loader off that volume cannot be found from it again.
    model.boot.boot_efi_in_volume =
        IsInside(*real_boot_efi, mount_point) ? InVolume(*real_boot_efi, mount_point) : "";
    return true;
  });
  if (!recorded) return context.Fail("\"" + folder + "\" is not on a mounted volume");
  if (auto failed = FailIfAt(context, failure, Point::kAtExit, usual_failure)) return *failed;
  return 0;
}

int BlessDevice(ToolContext& context, const std::string& device,
                const std::optional<InjectedFailure>& failure) {
  const std::string usual_failure = "Can't set boot device " + device;
  if (auto status = FailIfAt(context, failure, Point::kAtStart, usual_failure)) return *status;
  if (!device.starts_with(kDevicePrefix)) {
    return context.Fail("Can't access device \"" + device + "\": not a device path");
  }
  const std::optional<mcom::DiskName> name =
      mcom::ParseDiskName(device.substr(kDevicePrefix.size()));
  if (!name) return context.Fail("Can't access device \"" + device + "\": no such device");

  enum class Outcome { kRecorded, kUnknown, kWholeDisk };
  const Outcome outcome = context.machine().Change([&](Model& model) {
    if (FindVolume(model, *name) == nullptr && FindPartition(model, *name) == nullptr) {
      const bool whole =
          FindDisk(model, name->disk) != nullptr || FindContainer(model, name->disk) != nullptr;
      return whole && !name->has_slice() ? Outcome::kWholeDisk : Outcome::kUnknown;
    }
    model.boot.device = mcom::FormatDiskName(*name);
    return Outcome::kRecorded;
  });
  switch (outcome) {
    case Outcome::kRecorded:
      if (auto status = FailIfAt(context, failure, Point::kAtExit, usual_failure)) return *status;
      return 0;
    case Outcome::kWholeDisk:
      return context.Fail("\"" + device + "\" is a whole disk, not a volume or partition");
    case Outcome::kUnknown:
      break;
  }
  return context.Fail("Can't access device \"" + device + "\": no such device");
}

}  // namespace

int RunBless(ToolContext& context) {
  const std::vector<std::string>& arguments = context.arguments();
  // The form asked for picks the hook, so that it can fail before the arguments are read.
  const bool device_form =
      std::find(arguments.begin(), arguments.end(), "--device") != arguments.end();
  const auto failure =
      WithoutCopyPoint(ReadInjectedFailure(context, device_form ? "device" : "folder"));
  if (auto status = FailIfAt(context, failure, Point::kBeforeStart,
                             device_form ? "Can't set boot device" : "Can't bless folder")) {
    return *status;
  }
  const auto options = ParseOptions(arguments);
  if (!options) return context.UsageError(kUsage);
  if (HasExactly(*options, {"--folder", "--bootefi"})) {
    return BlessFolder(context, options->at("--folder"), options->at("--bootefi"), failure);
  }
  if (HasExactly(*options, {"--device", "--setBoot"})) {
    return BlessDevice(context, options->at("--device"), failure);
  }
  return context.UsageError(kUsage);
}

}  // namespace sim::tools
