#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/foundation/disk_name.h"

namespace app {

// A BSD disk name as the application shows and compares it: a disk number and an optional
// slice number ("disk1", "disk1s2"). Separate from the core library's mcom::DiskName: the
// application reads names more leniently ("disk1s" is disk 1) and keeps signed numbers, which
// is how they cross into the core library.
struct DiskName {
  int32_t major = 0;
  std::optional<int32_t> minor;

  friend bool operator==(const DiskName&, const DiskName&) = default;
};

// "disk" + major, then "s" + minor when there is a slice.
std::string FormatDiskName(const DiskName& name);

// The text must start with "disk"; the rest is split at every "s" with empty pieces dropped;
// one piece is a disk without slice, two are disk and slice, each a decimal number. A number
// must be a non-negative 32-bit value: a negative slice would cross into the core library as
// "no slice" and name the whole disk instead. Anything else is no disk name.
std::optional<DiskName> ParseDiskName(std::string_view text);

// The same name in the core library's form and back. The application's names never hold
// negative numbers (ParseDiskName refuses them), so nothing is lost either way.
DiskName AppDiskName(mcom::DiskName name);
mcom::DiskName CoreDiskName(const DiskName& name);

}  // namespace app

template <>
struct std::hash<app::DiskName> {
  size_t operator()(const app::DiskName& name) const noexcept;
};
