#pragma once

#include <optional>

#include "app/model/disk_records.h"
#include "app/model/io_kit.h"
#include "core/discovery/disk_arbitration.h"

namespace app {

// The record of an APFS container's synthesized disk (an "AppleAPFSMedia" service), or
// nothing when its BSD name, its disk-arbitration disk, its space or its physical disk
// cannot be found.
std::optional<APFSContainerInfo> MakeAPFSContainerInfo(
    const mcom::disk_arbitration::Session& session, const IOKit::Service& media);

}  // namespace app
