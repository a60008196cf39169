#include "app/model/preboot_lookup.h"

#include <string>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_string.h"
#include "platform/iokit/io_kit_lib.h"

namespace app {
namespace {

namespace cf = mcom::cf;

std::optional<DiskName> BSDNameOf(const IOKit::Service& service) {
  const cf::Ref<cf::String> name = service.StringProperty(platform::kIOBSDNameKey);
  return name ? ParseDiskName(name->utf8()) : std::nullopt;
}

bool HasPrebootRole(const IOKit::Service& volume) {
  if (volume.ClassName() != "AppleAPFSVolume") return false;
  const cf::Ref<cf::Array> roles = cf::As<cf::Array>(volume.Property("Role"));
  if (!roles) return false;
  for (const cf::Ref<cf::Object>& role : *roles) {
    const cf::Ref<cf::String> text = cf::As<cf::String>(role);
    if (text && text->utf8() == "Preboot") return true;
  }
  return false;
}

}  // namespace

std::optional<IOKit::Service> ContainerMediaOnPartition(const DiskName& partition) {
  return IOKit::ServiceQuery::MatchingBSDName(FormatDiskName(partition))
      .Children(IOKit::HasClass("AppleAPFSContainerScheme"))
      .Children(IOKit::HasClass("AppleAPFSMedia"))
      .First();
}

std::optional<APFSContainerName> ContainerOnPartition(const DiskName& partition) {
  const std::optional<IOKit::Service> media = ContainerMediaOnPartition(partition);
  if (!media) return std::nullopt;
  const std::optional<DiskName> name = BSDNameOf(*media);
  if (!name) return std::nullopt;
  return APFSContainerName{*name};
}

std::optional<DiskName> PrebootVolumeOfContainer(const APFSContainerName& container) {
  IOKit::ServiceQuery::Cursor volumes =
      IOKit::ServiceQuery::MatchingBSDName(FormatDiskName(container.diskName))
          .Children(IOKit::HasClass("AppleAPFSContainer"))
          .Children(HasPrebootRole)
          .Iterate();
  while (std::optional<IOKit::Service> volume = volumes.Next()) {
    if (std::optional<DiskName> name = BSDNameOf(*volume)) return name;
  }
  return std::nullopt;
}

std::optional<DiskName> PrebootVolumeOfTarget(const RestoreTargetInfo& target) {
  if (const auto* container = std::get_if<APFSContainerInfo>(&target.target)) {
    return PrebootVolumeOfContainer(container->name);
  }
  const std::optional<APFSContainerName> container =
      ContainerOnPartition(std::get<PartitionInfo>(target.target).device);
  if (!container) return std::nullopt;
  return PrebootVolumeOfContainer(*container);
}

}  // namespace app
