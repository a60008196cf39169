#pragma once

#include <optional>

#include "core/foundation/disk_name.h"

namespace mcom {

// The whole disk that `disk` is a part of, from the registry: the services whose BSD name is
// `disk` and whose "Whole" is absent or false, their parents' parents (partition → partition
// scheme → whole media; volume → container → the container's synthesized disk), of those
// the ones whose "Whole" is true, and the first BSD name among them that parses.
//
// So a partition (disk0s2) gives its disk (disk0), and an APFS volume (disk1s1) gives its
// container's synthesized disk (disk1), not the physical disk under the container. A disk
// that is whole itself gives nothing, as does a name the registry does not know: callers
// then keep the disk they had. Throws std::system_error (category "mcom::iokit") when the
// registry cannot be read.
std::optional<DiskName> WholeDiskForDisk(DiskName disk);

}  // namespace mcom
