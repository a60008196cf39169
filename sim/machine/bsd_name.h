#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// A BSD disk name as the machine hands them out: diskN for a whole disk or a container's
// synthesized disk, diskNsM for a partition or a volume. (The system has its own DiskName;
// the simulated machine keeps a small copy so that it depends on nothing but the foundation.)
struct BSDName {
  static constexpr uint32_t kNoSlice = 0xFFFFFFFF;
  uint32_t disk = 0;
  uint32_t slice = kNoSlice;

  bool has_slice() const { return slice != kNoSlice; }
  // The whole disk of this name: diskN for diskNsM, itself for diskN.
  BSDName Whole() const { return BSDName{disk, kNoSlice}; }
  // "disk2s1" or "disk2".
  std::string Format() const;
  // "disk0" and "disk0s1" parse; anything else ("disk0s", "/dev/disk0", "disk01x") does not.
  static std::optional<BSDName> Parse(std::string_view text);

  friend auto operator<=>(const BSDName&, const BSDName&) = default;
};

}  // namespace sim
