#include "app/model/partition_info.h"

#include <cstdint>
#include <limits>
#include <string>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_url.h"
#include "platform/disk_arbitration/da_disk.h"
#include "platform/disk_arbitration/file_system_space.h"

namespace app {
namespace {

namespace cf = mcom::cf;

// The mounted volume on the partition: its name, and the partition's size less the free
// space of its file system.
std::optional<PartitionInfo::VolumeInfo> MountedVolume(const cf::Dictionary& description,
                                                       int64_t media_size) {
  const std::optional<std::string> name =
      description.GetString(platform::kDADiskDescriptionVolumeNameKey);
  if (!name) return std::nullopt;
  const std::optional<mcom::FilePath> path =
      cf::PathFromURL(description.Get<cf::URL>(platform::kDADiskDescriptionVolumePathKey));
  if (!path) return std::nullopt;
  platform::FileSystemSpace space;
  if (platform::GetFileSystemSpace(path->c_str(), &space) != 0) return std::nullopt;
  if (space.free > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return std::nullopt;
  }
  return PartitionInfo::VolumeInfo{*name, media_size - static_cast<int64_t>(space.free)};
}

}  // namespace

std::optional<PartitionInfo> MakePartitionInfo(const mcom::disk_arbitration::Session& session,
                                               const DiskName& partition) {
  const std::optional<mcom::disk_arbitration::Disk> disk =
      mcom::disk_arbitration::Disk::FromBSDName(session, FormatDiskName(partition));
  if (!disk) return std::nullopt;
  const cf::Ref<cf::Dictionary> description = disk->Description();
  if (!description) return std::nullopt;
  const std::optional<int64_t> size =
      description->GetInteger(platform::kDADiskDescriptionMediaSizeKey);
  if (!size) return std::nullopt;

  const std::optional<mcom::disk_arbitration::Disk> whole = disk->WholeDisk();
  const cf::Ref<cf::Dictionary> whole_description = whole ? whole->Description() : nullptr;
  if (!whole_description) return std::nullopt;
  const std::optional<std::string> media_name =
      whole_description->GetString(platform::kDADiskDescriptionMediaNameKey);
  if (!media_name) return std::nullopt;
  // The device is the partition itself, from its own description: a restore erases what
  // the target holds, and the whole disk's name would take every other partition with it.
  const std::optional<std::string> bsd_name =
      description->GetString(platform::kDADiskDescriptionMediaBSDNameKey);
  const std::optional<DiskName> device = bsd_name ? ParseDiskName(*bsd_name) : std::nullopt;
  if (!device) return std::nullopt;

  return PartitionInfo{*media_name, *size, MountedVolume(*description, *size), *device,
                       std::nullopt};
}

}  // namespace app
