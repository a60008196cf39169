#include "core/discovery/apfs_container.h"

#include "core/discovery/service_property.h"

namespace mcom {
namespace {

std::optional<APFSContainerName> FirstContainerName(iokit::ServiceQuery query) {
  const iokit::PropertyQuery<DiskName> names(std::move(query), iokit::BSDName);
  const std::optional<DiskName> name = iokit::FirstValue(names);
  if (!name) return std::nullopt;
  return APFSContainerName{*name};
}

}  // namespace

std::optional<APFSContainerName> FindAPFSContainerOnDisk(DiskName disk) {
  return FirstContainerName(iokit::ServiceQuery(disk)
                                .ChildNamed("AppleAPFSContainerScheme")
                                .ChildNamed("AppleAPFSMedia"));
}

std::optional<APFSContainerName> FindAPFSContainerOfVolume(DiskName volume) {
  return FirstContainerName(iokit::ServiceQuery(volume).Parents().Parents());
}

iokit::PropertyQuery<APFSVolumeInfo> APFSVolumesOfContainer(APFSContainerName container) {
  return iokit::PropertyQuery<APFSVolumeInfo>(iokit::ServiceQuery(container.name)
                                                  .ChildNamed("AppleAPFSContainer")
                                                  .ChildNamed("AppleAPFSVolume"),
                                              ReadAPFSVolumeInfo);
}

}  // namespace mcom
