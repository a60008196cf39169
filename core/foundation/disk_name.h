#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mcom {

// A BSD disk name: diskN for a whole disk or a container's synthesized disk, diskNsM for a
// partition or a volume. Disk names are the currency of every request between application
// and helper, of every tool command line and of every message.
struct DiskName {
  static constexpr uint32_t kNoSlice = 0xFFFFFFFF;

  uint32_t disk = 0;
  uint32_t slice = kNoSlice;

  bool has_slice() const { return slice != kNoSlice; }
  // The whole disk of this name: diskN for diskNsM, itself for diskN.
  DiskName Whole() const { return DiskName{disk, kNoSlice}; }
  friend auto operator<=>(const DiskName&, const DiskName&) = default;
};

// "disk%ds%d", or "disk%d" without a slice. Numbers above INT32_MAX print as the platform's
// signed conversion does (negative); they do not occur in practice.
std::string FormatDiskName(DiskName name);

// "disk0" → (0, no slice); "disk0s1" → (0, 1). The whole text must be consumed: a trailing
// character, a path or a second "s" fails, and a "/dev/" prefix must be stripped first.
// Every name has one spelling: a number with a leading zero ("disk01") and the slice
// 4294967295 (which would read back as no slice) fail.
std::optional<DiskName> ParseDiskName(std::string_view text);

}  // namespace mcom

// The name of an APFS container: the BSD name of its synthesized disk (disk1, while its
// volumes are disk1s1, disk1s2, ...). Formatted, parsed and transported like a DiskName.
struct APFSContainerName {
  mcom::DiskName name;

  friend auto operator<=>(const APFSContainerName&, const APFSContainerName&) = default;
};

inline std::string FormatDiskName(const APFSContainerName& container) {
  return mcom::FormatDiskName(container.name);
}
