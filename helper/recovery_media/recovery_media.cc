#include "helper/recovery_media/recovery_media.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/discovery/disk_arbitration.h"
#include "core/discovery/disk_topology.h"
#include "core/discovery/mounted_volume.h"
#include "core/discovery/service_property.h"
#include "core/discovery/service_query.h"
#include "core/foundation/cf_array.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/dispatch.h"
#include "core/foundation/error.h"
#include "core/foundation/error_category.h"
#include "core/foundation/file.h"
#include "core/foundation/log.h"
#include "core/foundation/process.h"
#include "core/foundation/property_list.h"
#include "core/foundation/system_path.h"
#include "core/foundation/tool_run.h"
#include "core/recovery/recovery_source.h"
#include "helper/recovery_media/boot_files.h"
#include "platform/iokit/io_kit_lib.h"

namespace {

namespace cf = mcom::cf;
namespace da = mcom::disk_arbitration;

constexpr char kDiskutil[] = "/usr/sbin/diskutil";
constexpr char kAsr[] = "/usr/sbin/asr";
constexpr char kRecoveryPartitionName[] = "Recovery";

[[noreturn]] void ThrowInvalid(const char* text) {
  throw std::system_error(EINVAL, std::system_category(), text);
}

using mcom::RunInherited;

// The BSD names of everything on the whole disk `target`: its partitions, then the
// containers' disks and volumes on them.
std::vector<std::string> NamesOnDisk(mcom::DiskName target) {
  const mcom::iokit::ServiceQuery partitions =
      mcom::iokit::ServiceQuery(target).ChildNamed("IOGUIDPartitionScheme").ChildNamed("IOMedia");
  const mcom::iokit::ServiceQuery containers =
      partitions.ChildNamed("AppleAPFSContainerScheme").ChildNamed("AppleAPFSMedia");
  std::vector<std::string> names;
  for (const mcom::iokit::ServiceQuery& query : {partitions, containers}) {
    mcom::iokit::ServiceQuery::Iterator services = query.Iterate();
    while (const std::optional<mcom::iokit::Service> service = services.Next()) {
      if (const std::optional<mcom::DiskName> name = mcom::iokit::BSDName(*service)) {
        names.push_back(mcom::FormatDiskName(*name));
      }
    }
  }
  return names;
}

// Nothing may hold the disk open while it is partitioned. Failures do not matter here: the
// partitioning that follows fails on a disk still in use.
void UnmountEverythingOn(const char* target) {
  const std::optional<mcom::DiskName> disk = mcom::ParseDiskName(target);
  if (!disk) return;
  std::vector<std::string> names;
  try {
    names = NamesOnDisk(*disk);
  } catch (const std::system_error&) {
    // A registry that cannot be read leaves the whole-disk unmount below.
  }
  names.push_back(target);
  for (const std::string& name : names) {
    try {
      (void)RunInherited(kDiskutil, {"unmountDisk", "force", name});
    } catch (const std::system_error&) {
    }
  }
}

// "diskutil list -plist TARGET", its standard output read whole.
std::vector<char> ListDisk(const char* target) {
  mcom::Result<mcom::Pipe> pipe = mcom::CreatePipe();
  if (!pipe) throw std::system_error(pipe.error());
  mcom::FileActions actions;
  if (const std::error_code error = actions.AddDuplicate(pipe->write.get(), 1)) {
    throw std::system_error(error);
  }
  const mcom::Result<pid_t> pid =
      mcom::SpawnProcess(mcom::SystemPath(kDiskutil).c_str(), {"list", "-plist", target}, actions);
  if (!pid) throw std::system_error(pid.error());
  (void)pipe->write.Close();
  const mcom::Result<std::vector<char>> output = pipe->read.ReadAll();
  (void)pipe->read.Close();
  const std::error_code status = mcom::WaitForProcess(*pid);
  if (!output) throw std::system_error(output.error());
  mcom::ThrowIfError(status);
  return *output;
}

// The Base System image restored onto the partition, which becomes a Base System volume.
void RestoreBaseSystem(const RecoverySource& source, const char* partition,
                       const RecoveryProgressCallback& progress) {
  const mcom::Result<mcom::File> folder =
      source.volume.directory().OpenFile(source.folder.c_str(), mcom::kOpenRead);
  if (!folder) throw std::system_error(folder.error());
  const mcom::Result<mcom::FilePath> path = mcom::PathOf(folder->get());
  if (!path) throw std::system_error(path.error());
  mcom::Result<mcom::LineReadingTool> asr =
      mcom::LineReadingTool::Start(kAsr, {"restore", "-s", path->Join("BaseSystem.dmg").string(),
                                          "-t", std::string("/dev/") + partition, "--erase",
                                          "--noprompt", "--puppetstrings", "--noverify"});
  if (!asr) throw std::system_error(asr.error());
  while (const std::optional<std::string> line = asr->ReadLine()) {
    unsigned percent = 0;
    int end = 0;
    if (std::sscanf(line->c_str(), "PINF\t%u\t100%n", &percent, &end) == 1 && end > 0) {
      progress(percent / 100.0);
    }
  }
  mcom::ThrowIfError(asr->Wait());
}

}  // namespace

bool HasT2Controller() {
  static std::once_flag once;
  static bool has_t2 = false;
  std::call_once(once, [] {
    const platform::io_service_t service = platform::IOServiceGetMatchingService(
        platform::kIOMainPortDefault, platform::IOServiceNameMatching("Apple T2 Controller"));
    has_t2 = service != platform::IO_OBJECT_NULL;
    if (has_t2) (void)platform::IOObjectRelease(service);
  });
  return has_t2;
}

void CheckRecoveryTarget(mcom::DiskName target) {
  const std::string name = mcom::FormatDiskName(target);
  const auto refuse = [](const std::string& reason) { throw Error("BuildRecovery", reason); };
  const std::optional<mcom::MediaKind> kind = mcom::KindOfMedia(target);
  if (!kind) refuse("this Mac has no disk " + name);
  if (*kind != mcom::MediaKind::kWholeDisk) {
    refuse(name + " is not a whole disk; a recovery disk takes a whole external disk");
  }
  const auto holds = [target](mcom::DiskName disk) {
    const std::vector<mcom::DiskName> wholes = mcom::PhysicalWholeDisksOf(disk);
    return std::find(wholes.begin(), wholes.end(), target) != wholes.end();
  };
  // The disk of the volume at "/", whatever it is: an APFS volume on an internal disk, or the
  // Base System of a recovery disk this Mac was started from, which has no container.
  const da::Session session;
  const auto disk_at = [&session](const mcom::FilePath& path) -> std::optional<mcom::DiskName> {
    const std::optional<da::Disk> volume =
        da::Disk::FromVolumePath(session, cf::URLFromPath(path, /*is_directory=*/true));
    const std::optional<std::string> volume_name = volume ? volume->BSDName() : std::nullopt;
    return volume_name ? mcom::ParseDiskName(*volume_name) : std::nullopt;
  };
  if (const std::optional<mcom::DiskName> system = disk_at(mcom::SystemPath("/"));
      system && holds(*system)) {
    refuse(name + " holds the running system");
  }

  const std::optional<RecoverySource> source = FindRecoverySource();
  if (!source) {
    mcom::log::Error("failed to build RMB: no base system volume");
    refuse(std::generic_category().message(ENOENT));
  }
  const mcom::Result<mcom::FilePath> mounted = source->volume.Path();
  const std::optional<mcom::DiskName> recovery = mounted ? disk_at(*mounted) : std::nullopt;
  if (recovery && holds(*recovery)) {
    refuse(name + " holds the recovery system the recovery disk is made from (" +
           mcom::FormatDiskName(*recovery) + ")");
  }
}

namespace recovery_media_internal {

// The Recovery partition the layout step made: the partition of `target` named "Recovery"
// in the listing. Taken by name, never by position, so that a listing of another shape can
// never make the whole disk or another partition the place the recovery system goes.
std::string RecoveryPartitionInListing(const std::vector<char>& listing, const char* target) {
  const cf::Ref<cf::Object> parsed = cf::PropertyListFromBytes(listing.data(), listing.size());
  if (!parsed) ThrowInvalid("failed to parse diskutil output");
  const cf::Ref<cf::Dictionary> root = cf::As<cf::Dictionary>(parsed);
  if (!root) ThrowInvalid("invalid diskutil output format");
  const cf::Ref<cf::Array> disks = root->GetArray("AllDisksAndPartitions");
  if (!disks) ThrowInvalid("no disks in diskutil output");
  std::string whole = target;
  if (whole.starts_with("/dev/")) whole.erase(0, 5);
  cf::Ref<cf::Array> partitions;
  for (const cf::Ref<cf::Object>& entry : *disks) {
    const cf::Ref<cf::Dictionary> disk = cf::As<cf::Dictionary>(entry);
    if (disk && disk->GetString("DeviceIdentifier") == whole) {
      partitions = disk->GetArray("Partitions");
    }
  }
  if (!partitions) ThrowInvalid("no partitions of the target in diskutil output");
  for (const cf::Ref<cf::Object>& entry : *partitions) {
    const cf::Ref<cf::Dictionary> partition = cf::As<cf::Dictionary>(entry);
    if (!partition || partition->GetString("VolumeName") != kRecoveryPartitionName) continue;
    // Only a partition of the target itself will do.
    const std::optional<std::string> name = partition->GetString("DeviceIdentifier");
    const std::optional<mcom::DiskName> partition_name =
        name ? mcom::ParseDiskName(*name) : std::nullopt;
    const std::optional<mcom::DiskName> target_disk = mcom::ParseDiskName(whole);
    if (!partition_name || !partition_name->has_slice() ||
        (target_disk && partition_name->disk != target_disk->disk)) {
      ThrowInvalid("invalid disk name format in diskutil output");
    }
    return *name;
  }
  ThrowInvalid("no Recovery partition in diskutil output");
}

std::error_code BuildRecoveryMedia(const char* target, bool t2, CustomizeCallback customize,
                                   RecoveryProgressCallback progress) {
  std::string partition;
  try {
    UnmountEverythingOn(target);
    mcom::ThrowIfError(RunInherited(
        kDiskutil, {"partitionDisk", target, "2", "GPT", "jhfs+", kRecoveryPartitionName,
                    t2 ? "2200M" : "800M", "jhfs+", "User Data", "R"}));
    partition = recovery_media_internal::RecoveryPartitionInListing(ListDisk(target), target);
  } catch (const std::system_error& failure) {
    // Only the code reaches the application; the words stay in the log.
    mcom::log::Error("failed to build RMB: %{public}s", failure.what());
    return failure.code();
  }
  return InstallRecoveryPartition(partition.c_str(), t2, std::move(customize), std::move(progress));
}

std::error_code InstallRecoveryPartition(const char* partition, bool t2,
                                         CustomizeCallback customize,
                                         RecoveryProgressCallback progress) {
  mcom::log::Default("build recovery on %{public}s", partition);
  // Declared in the reverse order of their release: the mounted partition first, then its
  // disk, the source, and the session with its queue.
  const da::Session session(dispatch::CreateQueue("com.halvex-software.librmb"));
  std::optional<RecoverySource> source = FindRecoverySource();
  if (!source) {
    mcom::log::Error("failed to build RMB: no base system volume");
    return std::error_code(ENOENT, std::generic_category());
  }
  try {
    if (t2) RestoreBaseSystem(*source, partition, progress);
    const std::optional<da::Disk> disk = da::Disk::FromBSDName(session, partition);
    if (!disk) {
      mcom::log::Error("failed to build RMB: media %{public}s not found", partition);
      return std::error_code(EINVAL, std::generic_category());
    }
    const std::optional<da::MountedVolume> mounted =
        da::MountVolume(*disk, da::kMountWritable | da::kMountNotBrowsable);
    if (!mounted) {
      mcom::log::Error("failed to build RMB: failed to mount media");
      return std::error_code(EBUSY, std::generic_category());
    }
    if (t2) {
      if (customize) {
        const mcom::Result<mcom::FilePath> root = mounted->Path();
        if (!root) throw std::system_error(root.error());
        if (const std::error_code error = customize(*root)) throw std::system_error(error);
      }
    } else {
      InstallBootFiles(*source, *mounted, customize, progress);
    }
  } catch (const std::system_error& failure) {
    mcom::log::Error("failed to build RMB: %{public}s", failure.what());
    return failure.code();
  }
  return std::error_code(0, std::system_category());
}

}  // namespace recovery_media_internal

std::error_code BuildRecoveryMedia(const char* target, CustomizeCallback customize,
                                   RecoveryProgressCallback progress) {
  return recovery_media_internal::BuildRecoveryMedia(target, HasT2Controller(),
                                                     std::move(customize), std::move(progress));
}

std::error_code InstallRecoveryPartition(const char* partition, CustomizeCallback customize,
                                         RecoveryProgressCallback progress) {
  return recovery_media_internal::InstallRecoveryPartition(
      partition, HasT2Controller(), std::move(customize), std::move(progress));
}
