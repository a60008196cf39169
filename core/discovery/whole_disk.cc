#include "core/discovery/whole_disk.h"

#include "core/discovery/property_query.h"
#include "core/discovery/service_property.h"

namespace mcom {

std::optional<DiskName> WholeDiskForDisk(DiskName disk) {
  const auto not_whole = [](const iokit::Service& service) {
    return !iokit::CopyProperty(service, "Whole") || iokit::PropertyIsFalse(service, "Whole");
  };
  const auto whole = [](const iokit::Service& service) {
    return iokit::PropertyIsTrue(service, "Whole");
  };
  const iokit::PropertyQuery<DiskName> query(
      iokit::ServiceQuery(disk).Filter(not_whole).Parents().Parents().Filter(whole),
      iokit::BSDName);
  return iokit::FirstValue(query);
}

}  // namespace mcom
