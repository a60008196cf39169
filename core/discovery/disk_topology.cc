#include "core/discovery/disk_topology.h"

#include <algorithm>

#include "core/discovery/apfs_container.h"
#include "core/discovery/property_query.h"
#include "core/discovery/service_property.h"
#include "core/discovery/service_query.h"
#include "core/discovery/whole_disk.h"

namespace mcom {
namespace {

iokit::ServiceQuery::Predicate OfClass(std::string name) {
  return [name = std::move(name)](const iokit::Service& service) {
    return iokit::ClassName(service) == name;
  };
}

}  // namespace

std::optional<MediaKind> KindOfMedia(DiskName disk) {
  const std::optional<iokit::Service> media = iokit::ServiceQuery(disk).Iterate().Next();
  if (!media) return std::nullopt;
  const std::string class_name = iokit::ClassName(*media);
  if (class_name == "AppleAPFSVolume") return MediaKind::kVolume;
  if (class_name == "AppleAPFSMedia") return MediaKind::kContainer;
  return iokit::PropertyIsTrue(*media, "Whole") ? MediaKind::kWholeDisk : MediaKind::kPartition;
}

std::optional<std::string> MediaContent(DiskName disk) {
  const std::optional<iokit::Service> media = iokit::ServiceQuery(disk).Iterate().Next();
  if (!media) return std::nullopt;
  const cf::Ref<cf::String> content = iokit::StringProperty(*media, "Content");
  if (!content) return std::nullopt;
  return content->utf8();
}

std::vector<DiskName> PhysicalStoresOfContainer(APFSContainerName container) {
  return iokit::AllValues(iokit::PropertyQuery<DiskName>(
      iokit::ServiceQuery(container.name).Filter(OfClass("AppleAPFSMedia")).Parents().Parents(),
      iokit::BSDName));
}

std::vector<DiskName> PhysicalWholeDisksOf(DiskName disk) {
  const std::optional<MediaKind> kind = KindOfMedia(disk);
  if (!kind) return {};
  std::vector<DiskName> stores;
  switch (*kind) {
    case MediaKind::kWholeDisk:
      return {disk};
    case MediaKind::kPartition:
      return {WholeDiskForDisk(disk).value_or(disk)};
    case MediaKind::kVolume:
      if (const std::optional<APFSContainerName> container = FindAPFSContainerOfVolume(disk)) {
        stores = PhysicalStoresOfContainer(*container);
      }
      break;
    case MediaKind::kContainer:
      stores = PhysicalStoresOfContainer(APFSContainerName{disk});
      break;
  }
  std::vector<DiskName> disks;
  disks.reserve(stores.size());
  for (const DiskName store : stores) disks.push_back(WholeDiskForDisk(store).value_or(store));
  std::sort(disks.begin(), disks.end());
  disks.erase(std::unique(disks.begin(), disks.end()), disks.end());
  return disks;
}

std::vector<DiskName> PartitionsOfDisk(DiskName whole) {
  const auto partition = [](const iokit::Service& service) {
    return iokit::ClassName(service) == "IOMedia" && iokit::PropertyIsFalse(service, "Whole");
  };
  return iokit::AllValues(iokit::PropertyQuery<DiskName>(
      iokit::ServiceQuery(whole).Children().Children().Filter(partition), iokit::BSDName));
}

}  // namespace mcom
