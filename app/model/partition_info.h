#pragma once

#include <optional>

#include "app/model/disk_name.h"
#include "app/model/disk_records.h"
#include "core/discovery/disk_arbitration.h"

namespace app {

// The record of the partition `partition` from disk arbitration, or nothing when the
// partition or its whole disk is unknown or has no size or media name.
std::optional<PartitionInfo> MakePartitionInfo(const mcom::disk_arbitration::Session& session,
                                               const DiskName& partition);

}  // namespace app
