#pragma once

// The "system entities" hdiutil reports for an attached image: one per disk, partition,
// container and volume it brought, in the property lists of "attach -plist" and
// "info -plist" and in their text forms.

#include <cstdint>
#include <string>
#include <vector>

#include "core/foundation/cf_dictionary.h"
#include "sim/machine/model.h"

namespace sim::tools {

struct SystemEntity {
  std::string dev_entry;  // "/dev/disk5s1"
  std::string content_hint;
  std::string unmapped_content_hint;
  bool potentially_mountable = false;  // a volume
  std::string mount_point;             // empty when not mounted
  std::string volume_kind;             // "apfs", "hfs" for volumes
};

// The entities "hdiutil attach" reports for the image whose whole disk is `disk`, in the
// real tool's order: the whole disk first, then its partitions, then for each container its
// volumes followed by the container's synthesized disk. A partition's content hint is its
// hdiutil name ("Apple_APFS", "Apple_HFS") with the type GUID unmapped; an HFS+ partition
// is the volume itself. The whole disk's hint is "GUID_partition_scheme", or "" for a disk
// without a partition map. Empty when `disk` is not in the model.
std::vector<SystemEntity> AttachEntities(const Model& model, uint32_t disk);

// The entities "hdiutil info" reports for the same image: the whole disk, its partitions,
// then each container followed by its volumes, the content hints being the raw types.
std::vector<SystemEntity> InfoEntities(const Model& model, uint32_t disk);

// One entity of "attach -plist": "content-hint", "dev-entry", "potentially-mountable",
// "unmapped-content-hint", and for a mounted volume "mount-point" and "volume-kind".
mcom::cf::Ref<mcom::cf::Dictionary> AttachEntityDictionary(const SystemEntity& entity);

// One entity of "info -plist": "content-hint", "dev-entry" and, when mounted, "mount-point".
mcom::cf::Ref<mcom::cf::Dictionary> InfoEntityDictionary(const SystemEntity& entity);

// One line of the text forms: the device padded to 20 columns, a tab, the content hint cut
// or padded to 31 columns, a tab, the mount point.
std::string EntityLine(const SystemEntity& entity);

}  // namespace sim::tools
