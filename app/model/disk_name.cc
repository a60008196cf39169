#include "app/model/disk_name.h"

#include <charconv>
#include <cstdio>
#include <vector>

namespace app {
namespace {

std::optional<int32_t> ParseNumber(std::string_view text) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::string FormatDiskName(const DiskName& name) {
  char text[32];
  if (name.minor) {
    std::snprintf(text, sizeof text, "disk%ds%d", static_cast<int>(name.major),
                  static_cast<int>(*name.minor));
  } else {
    std::snprintf(text, sizeof text, "disk%d", static_cast<int>(name.major));
  }
  return text;
}

std::optional<DiskName> ParseDiskName(std::string_view text) {
  constexpr std::string_view kPrefix = "disk";
  if (!text.starts_with(kPrefix)) return std::nullopt;
  text.remove_prefix(kPrefix.size());

  std::vector<std::string_view> pieces;
  while (!text.empty()) {
    const size_t separator = text.find('s');
    const std::string_view piece = text.substr(0, separator);
    if (!piece.empty()) pieces.push_back(piece);
    if (separator == std::string_view::npos) break;
    text.remove_prefix(separator + 1);
  }
  if (pieces.empty() || pieces.size() > 2) return std::nullopt;

  const std::optional<int32_t> major = ParseNumber(pieces[0]);
  if (!major) return std::nullopt;
  if (pieces.size() == 1) return DiskName{*major, std::nullopt};
  const std::optional<int32_t> minor = ParseNumber(pieces[1]);
  if (!minor) return std::nullopt;
  return DiskName{*major, *minor};
}

DiskName AppDiskName(mcom::DiskName name) {
  DiskName converted{.major = static_cast<int32_t>(name.disk), .minor = std::nullopt};
  if (name.has_slice()) converted.minor = static_cast<int32_t>(name.slice);
  return converted;
}

mcom::DiskName CoreDiskName(const DiskName& name) {
  return mcom::DiskName{static_cast<uint32_t>(name.major),
                        name.minor ? static_cast<uint32_t>(*name.minor) : mcom::DiskName::kNoSlice};
}

}  // namespace app

size_t std::hash<app::DiskName>::operator()(const app::DiskName& name) const noexcept {
  // An absent slice hashes apart from every present one, slice 0 included.
  const uint64_t minor = name.minor ? static_cast<uint32_t>(*name.minor) : uint64_t{1} << 32;
  const uint64_t major = static_cast<uint32_t>(name.major);
  return std::hash<uint64_t>()((major << 33) ^ minor);
}
