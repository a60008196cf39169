#include "app/model/disk_model.h"

#include <optional>
#include <string>
#include <string_view>

#include "app/model/container_info.h"
#include "app/model/io_kit.h"
#include "app/model/partition_info.h"
#include "app/model/preboot_lookup.h"
#include "core/discovery/disk_arbitration.h"
#include "core/foundation/cf_string.h"
#include "platform/iokit/io_kit_lib.h"

namespace app {
namespace {

// The partition type of an EFI system partition, which holds the firmware's boot files.
constexpr std::string_view kEFISystemPartitionType = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";

bool IsOfferablePartition(const IOKit::Service& service) {
  if (service.ClassName() != "IOMedia") return false;
  const mcom::cf::Ref<mcom::cf::String> content = service.StringProperty("Content");
  return !content || content->utf8() != kEFISystemPartitionType;
}

}  // namespace

std::vector<APFSContainerInfo> SourceContainers() {
  std::vector<APFSContainerInfo> containers;
  const mcom::disk_arbitration::Session session;
  if (session.get() == nullptr) return containers;
  IOKit::ServiceQuery::Cursor media =
      IOKit::ServiceQuery::MatchingClass("AppleAPFSMedia").Iterate();
  while (std::optional<IOKit::Service> service = media.Next()) {
    if (std::optional<APFSContainerInfo> info = MakeAPFSContainerInfo(session, *service)) {
      containers.push_back(std::move(*info));
    }
  }
  return containers;
}

std::vector<RestoreTargetInfo> RestoreTargets() {
  std::vector<RestoreTargetInfo> targets;
  const mcom::disk_arbitration::Session session;
  if (session.get() == nullptr) return targets;
  IOKit::ServiceQuery::Cursor partitions = IOKit::ServiceQuery::MatchingClass("IOMedia")
                                               .Children(IOKit::HasClass("IOGUIDPartitionScheme"))
                                               .Children(IsOfferablePartition)
                                               .Iterate();
  while (std::optional<IOKit::Service> partition = partitions.Next()) {
    const mcom::cf::Ref<mcom::cf::String> bsd_name =
        partition->StringProperty(platform::kIOBSDNameKey);
    const std::optional<DiskName> name = bsd_name ? ParseDiskName(bsd_name->utf8()) : std::nullopt;
    if (!name) continue;

    std::optional<APFSContainerInfo> container;
    if (const std::optional<IOKit::Service> media = ContainerMediaOnPartition(*name)) {
      container = MakeAPFSContainerInfo(session, *media);
    }
    if (container) {
      // The second store of a Fusion container leads to the same container again.
      bool listed = false;
      for (const RestoreTargetInfo& target : targets) {
        listed = listed || DiskNameOf(target) == container->name.diskName;
      }
      if (!listed) targets.push_back(RestoreTargetInfo::apfsContainer(std::move(*container)));
    } else if (std::optional<PartitionInfo> info = MakePartitionInfo(session, *name)) {
      targets.push_back(RestoreTargetInfo::partition(std::move(*info)));
    }
  }
  return targets;
}

}  // namespace app
