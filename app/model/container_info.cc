#include "app/model/container_info.h"

#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/discovery/service_property.h"
#include "core/foundation/cf_dictionary.h"
#include "platform/disk_arbitration/da_disk.h"
#include "platform/iokit/apfs.h"
#include "platform/iokit/io_kit_lib.h"

namespace app {
namespace {

namespace cf = mcom::cf;

using SpaceEntries = std::unordered_map<DiskName, cf::Ref<cf::Dictionary>>;

// The extended space answer keyed by disk name; names that do not parse are skipped.
std::optional<SpaceEntries> QuerySpace(const std::string& bsd_name) {
  cf::Ref<cf::Dictionary> answer;
  if (platform::APFSExtendedSpaceInfo(bsd_name.c_str(), &answer) != platform::kIOReturnSuccess ||
      !answer) {
    return std::nullopt;
  }
  SpaceEntries entries;
  for (const auto& [key, value] : *answer) {
    const std::optional<DiskName> name = ParseDiskName(key);
    const cf::Ref<cf::Dictionary> counts = cf::As<cf::Dictionary>(value);
    if (name && counts) entries.emplace(*name, counts);
  }
  return entries;
}

std::optional<std::string> BSDNameOf(const IOKit::Service& service) {
  const cf::Ref<cf::String> name = service.StringProperty(platform::kIOBSDNameKey);
  if (!name) return std::nullopt;
  return name->utf8();
}

std::string VolumeName(const mcom::disk_arbitration::Session& session,
                       const std::string& bsd_name) {
  const std::optional<mcom::disk_arbitration::Disk> disk =
      mcom::disk_arbitration::Disk::FromBSDName(session, bsd_name);
  if (!disk) return {};
  const cf::Ref<cf::Dictionary> description = disk->Description();
  if (!description) return {};
  return description->GetString(platform::kDADiskDescriptionVolumeNameKey).value_or("");
}

std::vector<VolumeInfo> Volumes(const mcom::disk_arbitration::Session& session,
                                const IOKit::Service& media, const SpaceEntries& space) {
  std::vector<VolumeInfo> volumes;
  IOKit::Iterator containers = IOKit::Iterator::Children(media);
  while (std::optional<IOKit::Service> container = containers.Next()) {
    if (container->ClassName() != "AppleAPFSContainer") continue;
    IOKit::Iterator children = IOKit::Iterator::Children(*container);
    while (std::optional<IOKit::Service> volume = children.Next()) {
      if (volume->ClassName() != "AppleAPFSVolume") continue;
      const std::optional<std::string> bsd_name = BSDNameOf(*volume);
      const std::optional<DiskName> name = bsd_name ? ParseDiskName(*bsd_name) : std::nullopt;
      if (!name) continue;
      VolumeInfo info{VolumeName(session, *bsd_name), 0, ""};
      if (const auto counts = space.find(*name); counts != space.end()) {
        info.spaceConsumed = counts->second->GetInteger("fs_used").value_or(0);
      }
      if (const cf::Ref<cf::String> uuid = volume->StringProperty("UUID")) info.uuid = uuid->utf8();
      volumes.push_back(std::move(info));
    }
  }
  return volumes;
}

struct PhysicalDisk {
  std::string name;
  bool isInternal = false;
  bool isMainTier = false;
};

bool IsWholeMedia(const IOKit::Service& service) {
  return service.ClassName() == "IOMedia" && mcom::iokit::PropertyIsTrue(service.handle(), "Whole");
}

// Whether the device under the disk is attached internally: the nearest ancestor that
// describes its protocol says so.
bool IsInternal(const IOKit::Service& disk) {
  std::optional<IOKit::Service> ancestor = disk.Parent();
  for (int depth_left = 32; ancestor && depth_left > 0; --depth_left) {
    const cf::Ref<cf::Dictionary> protocol =
        cf::As<cf::Dictionary>(ancestor->Property("Protocol Characteristics"));
    if (protocol) return protocol->GetString("Physical Interconnect Location") == "Internal";
    ancestor = ancestor->Parent();
  }
  return false;
}

uint64_t RegistryID(const IOKit::Service& service) {
  uint64_t id = 0;
  platform::IORegistryEntryGetRegistryEntryID(service.handle().get(), &id);
  return id;
}

// Walks up from `service` (the container's disk, its scheme, the physical stores and the
// partition schemes above them) to the whole disks, each noted once, in registry order.
// Every entry is visited once, so a registry whose entries lead round in a circle ends too.
void CollectPhysicalDisks(const IOKit::Service& service, std::set<uint64_t>& visited,
                          std::vector<PhysicalDisk>& disks) {
  IOKit::Iterator parents = IOKit::Iterator::Parents(service);
  while (std::optional<IOKit::Service> parent = parents.Next()) {
    if (!visited.insert(RegistryID(*parent)).second) continue;
    if (!IsWholeMedia(*parent)) {
      CollectPhysicalDisks(*parent, visited, disks);
      continue;
    }
    const cf::Ref<cf::String> tier = parent->StringProperty("TierType");
    disks.push_back({parent->Name(), IsInternal(*parent), tier && tier->utf8() == "Main"});
  }
}

}  // namespace

std::optional<APFSContainerInfo> MakeAPFSContainerInfo(
    const mcom::disk_arbitration::Session& session, const IOKit::Service& media) {
  const std::optional<std::string> bsd_name = BSDNameOf(media);
  const std::optional<DiskName> name = bsd_name ? ParseDiskName(*bsd_name) : std::nullopt;
  if (!name) return std::nullopt;
  if (!mcom::disk_arbitration::Disk::FromBSDName(session, *bsd_name)) return std::nullopt;

  const std::optional<SpaceEntries> space = QuerySpace(*bsd_name);
  if (!space) return std::nullopt;
  const auto own = space->find(*name);
  if (own == space->end()) return std::nullopt;
  const std::optional<int64_t> size = own->second->GetInteger("size");
  const std::optional<int64_t> used = own->second->GetInteger("used");
  if (!size || !used) return std::nullopt;

  std::vector<PhysicalDisk> disks;
  std::set<uint64_t> visited;
  CollectPhysicalDisks(media, visited, disks);
  if (disks.empty()) return std::nullopt;
  // The main tier of a Fusion drive is the disk the container is shown on; a container on
  // one disk (which carries no tier) is shown on that disk.
  size_t main = 0;
  for (size_t index = 0; index < disks.size(); ++index) {
    if (disks[index].isMainTier) {
      main = index;
      break;
    }
  }

  APFSContainerInfo info;
  info.physicalDiskName = disks[main].name;
  info.isInternal = disks[main].isInternal;
  for (size_t index = 0; index < disks.size(); ++index) {
    if (index != main) info.secondaryPhysicalDiskNames.push_back(disks[index].name);
  }
  info.size = *size;
  info.spaceUsed = *used;
  info.volumes = Volumes(session, media, *space);
  info.name = APFSContainerName{*name};
  // The media icon names a resource inside a kernel extension's bundle, and the platform
  // layer has no look-up from bundle identifiers to kernel extensions: no icon, so the
  // screens show the root folder's.
  info.iconURL = std::nullopt;
  return info;
}

}  // namespace app
