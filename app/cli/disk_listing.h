#pragma once

#include <string>
#include <vector>

#include "app/model/disk_records.h"

// What `dorvane list` prints: the backup sources and restore targets as the application
// shows them.

// For people: a heading for each list, a line per disk with its name and description, and a
// line of its sizes and volumes.
std::string DiskListingText(const std::vector<app::APFSContainerInfo>& sources,
                            const std::vector<app::RestoreTargetInfo>& targets);

// One JSON object: {"type":"disks","sources":[...],"targets":[...]}, sizes in bytes.
std::string DiskListingJson(const std::vector<app::APFSContainerInfo>& sources,
                            const std::vector<app::RestoreTargetInfo>& targets);
