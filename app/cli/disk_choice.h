#pragma once

#include <string>
#include <variant>
#include <vector>

#include "app/model/disk_records.h"

// Which of the disks the application offers a command names: dorvane backs up and restores
// onto exactly what the application's selection screens list (dorvane list), so that the
// rules for sources and targets have one home. A name that is not offered is refused with
// the reason and what could be named instead.

// The container whose disk is `disk`, among `sources`; else why not, naming the sources.
std::variant<app::APFSContainerInfo, std::string> ChooseBackupSource(
    const std::vector<app::APFSContainerInfo>& sources, const app::DiskName& disk);

// The target whose disk is `disk`, among `targets`; else why not. `within` holds the disks
// that `disk` leads to (DisksWithin), so that a whole disk or a partition holding a
// container points to the targets on it.
std::variant<app::RestoreTargetInfo, std::string> ChooseRestoreTarget(
    const std::vector<app::RestoreTargetInfo>& targets, const app::DiskName& disk,
    const std::vector<app::DiskName>& within);

// From the registry: for a partition, the container on it; for a whole disk, each of its
// partitions as the container on it or as itself.
std::vector<app::DiskName> DisksWithin(const app::DiskName& disk);
