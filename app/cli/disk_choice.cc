#include "app/cli/disk_choice.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "app/model/io_kit.h"
#include "app/model/preboot_lookup.h"
#include "core/foundation/cf_string.h"
#include "platform/iokit/io_kit_lib.h"

namespace {

// "disk1 (APFS Container on APPLE SSD AP0512M Media), disk3s2 (USB HFS on …)".
template <typename Info>
std::string Listed(const std::vector<Info>& disks) {
  std::string text;
  for (const Info& disk : disks) {
    if (!text.empty()) text += ", ";
    if constexpr (std::is_same_v<Info, app::APFSContainerInfo>) {
      text += app::FormatDiskName(disk.name.diskName);
    } else {
      text += app::FormatDiskName(app::DiskNameOf(disk));
    }
    text += " (" + app::TargetDescription(disk) + ")";
  }
  return text;
}

}  // namespace

std::variant<app::APFSContainerInfo, std::string> ChooseBackupSource(
    const std::vector<app::APFSContainerInfo>& sources, const app::DiskName& disk) {
  for (const app::APFSContainerInfo& source : sources) {
    if (source.name.diskName == disk) return source;
  }
  const std::string refusal =
      app::FormatDiskName(disk) + " is not an APFS container that can be backed up";
  if (sources.empty()) return refusal + "; this Mac has none";
  return refusal + "; the backup sources are " + Listed(sources);
}

std::variant<app::RestoreTargetInfo, std::string> ChooseRestoreTarget(
    const std::vector<app::RestoreTargetInfo>& targets, const app::DiskName& disk,
    const std::vector<app::DiskName>& within) {
  std::vector<app::RestoreTargetInfo> inside;
  for (const app::RestoreTargetInfo& target : targets) {
    const app::DiskName name = app::DiskNameOf(target);
    if (name == disk) return target;
    if (std::find(within.begin(), within.end(), name) != within.end()) inside.push_back(target);
  }
  const std::string name = app::FormatDiskName(disk);
  if (!inside.empty()) {
    const std::string what =
        disk.minor ? name + " holds an APFS container" : name + " is a whole disk";
    return what + "; restore onto " +
           (inside.size() == 1 ? "the restore target on it: "
                               : "one of the restore targets on it: ") +
           Listed(inside);
  }
  const std::string refusal =
      name + " is not a restore target (an APFS container's disk or a partition)";
  if (targets.empty()) return refusal + "; this Mac has none";
  return refusal + "; the restore targets are " + Listed(targets);
}

std::vector<app::DiskName> DisksWithin(const app::DiskName& disk) {
  std::vector<app::DiskName> found;
  const auto lead = [&found](const app::DiskName& partition) {
    const std::optional<app::APFSContainerName> container = app::ContainerOnPartition(partition);
    found.push_back(container ? container->diskName : partition);
  };
  if (disk.minor) {
    if (std::optional<app::APFSContainerName> container = app::ContainerOnPartition(disk)) {
      found.push_back(container->diskName);
    }
    return found;
  }
  app::IOKit::ServiceQuery::Cursor partitions =
      app::IOKit::ServiceQuery::MatchingBSDName(app::FormatDiskName(disk))
          .Children(app::IOKit::HasClass("IOGUIDPartitionScheme"))
          .Children(app::IOKit::HasClass("IOMedia"))
          .Iterate();
  while (std::optional<app::IOKit::Service> partition = partitions.Next()) {
    const mcom::cf::Ref<mcom::cf::String> bsd_name =
        partition->StringProperty(platform::kIOBSDNameKey);
    if (!bsd_name) continue;
    if (const std::optional<app::DiskName> name = app::ParseDiskName(bsd_name->utf8())) lead(*name);
  }
  return found;
}
