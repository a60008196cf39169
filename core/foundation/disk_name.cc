#include "core/foundation/disk_name.h"

#include <cstdio>
#include <string>

namespace mcom {

std::string FormatDiskName(DiskName name) {
  char text[32];
  if (name.has_slice()) {
    std::snprintf(text, sizeof text, "disk%ds%d", static_cast<int>(name.disk),
                  static_cast<int>(name.slice));
  } else {
    std::snprintf(text, sizeof text, "disk%d", static_cast<int>(name.disk));
  }
  return text;
}

namespace {

// Reads a run of decimal digits at `position` as an unsigned 32-bit value, as "%u" does:
// at least one digit, and values past 32 bits wrap the way the C library's scan does not
// guarantee, so they are refused instead. A leading zero is refused unless the number is 0
// itself, so that "disk01" is not taken for disk1, which the system would never call it.
std::optional<uint32_t> ReadNumber(std::string_view text, size_t& position) {
  const size_t start = position;
  if (position + 1 < text.size() && text[position] == '0' && text[position + 1] >= '0' &&
      text[position + 1] <= '9') {
    return std::nullopt;
  }
  uint64_t value = 0;
  while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
    value = value * 10 + static_cast<uint64_t>(text[position] - '0');
    if (value > 0xFFFFFFFFu) return std::nullopt;
    ++position;
  }
  if (position == start) return std::nullopt;
  return static_cast<uint32_t>(value);
}

}  // namespace

std::optional<DiskName> ParseDiskName(std::string_view text) {
  constexpr std::string_view kPrefix = "disk";
  if (!text.starts_with(kPrefix)) return std::nullopt;
  size_t position = kPrefix.size();
  const std::optional<uint32_t> disk = ReadNumber(text, position);
  if (!disk) return std::nullopt;
  if (position == text.size()) return DiskName{*disk, DiskName::kNoSlice};
  if (text[position] != 's') return std::nullopt;
  ++position;
  const std::optional<uint32_t> slice = ReadNumber(text, position);
  if (!slice || *slice == DiskName::kNoSlice || position != text.size()) return std::nullopt;
  return DiskName{*disk, *slice};
}

}  // namespace mcom
