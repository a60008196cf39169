#pragma once

#include <string>
#include <vector>

#include "sim/machine/model.h"

namespace sim {

// The Mac paths at which the running system's volumes are listed.
inline constexpr const char* kRunningSystemMountPoint = "/";
inline constexpr const char* kRunningDataMountPoint = "/System/Volumes/Data";

// One mounted volume, as `mount` lists it.
struct MountTableEntry {
  std::string bsd_name;              // "disk1s5"
  std::string mount_point;           // a host path, or one of the two Mac paths above
  std::string file_system;           // "apfs", "hfs"
  std::vector<std::string> options;  // "ro", "nobrowse"
  std::string volume_uuid;
  // True for the running system's System and Data volumes: their files stay in their
  // stores and the mount point is the Mac path only (nothing is at ROOT/ or
  // ROOT/System/Volumes/Data), so copying a volume never recurses into the machine itself.
  // A system started by `macsim boot` is the exception: its entries are at ROOT
  // (root_view.h).
  bool running_system = false;
};

// The running system's System volume and the Data volume of its group; null when there is
// none.
const Volume* RunningSystemVolume(const Model& model);
const Volume* RunningDataVolume(const Model& model);
bool IsRunningSystemVolume(const Model& model, const Volume& volume);

// The mount table: the running system's volumes first ("/", then "/System/Volumes/Data"),
// then every mounted volume in BSD-name order.
std::vector<MountTableEntry> MountTable(const Model& model);

}  // namespace sim
