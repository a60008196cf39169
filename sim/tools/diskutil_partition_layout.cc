#include "sim/tools/diskutil_partition_layout.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "sim/tools/diskutil_size.h"

namespace sim::tools::diskutil {
namespace {

std::string Upper(std::string_view text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper;
}

std::optional<PartitionFormat> ParseFormat(std::string_view text) {
  const std::string upper = Upper(text);
  if (upper == "JHFS+" || upper == "HFS+" || upper == "JOURNALED HFS+") {
    return PartitionFormat::kJournaledHFS;
  }
  if (upper == "APFS") return PartitionFormat::kAPFS;
  return std::nullopt;
}

bool IsCount(std::string_view text) {
  return !text.empty() && text.size() < 4 &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

}  // namespace

std::variant<PartitionLayout, LayoutError> ParsePartitionLayout(
    std::span<const std::string> arguments) {
  size_t next = 0;
  std::optional<size_t> count;
  if (next < arguments.size() && IsCount(arguments[next])) {
    count = std::stoul(arguments[next]);
    ++next;
  }
  if (next >= arguments.size()) return LayoutError{"missing partition scheme", true};
  const std::string scheme = Upper(arguments[next]);
  if (scheme == "MBR" || scheme == "MBRFORMAT" || scheme == "APM" || scheme == "APMFORMAT") {
    return LayoutError{arguments[next] + " is not supported on this machine; use GPT", false};
  }
  if (scheme != "GPT" && scheme != "GPTFORMAT") {
    return LayoutError{arguments[next] + " is not a valid partition scheme", true};
  }
  ++next;

  const std::span<const std::string> triplets = arguments.subspan(next);
  if (triplets.empty() || triplets.size() % 3 != 0) {
    return LayoutError{"each partition needs a format, a name and a size", true};
  }
  const size_t given = triplets.size() / 3;
  if (count && *count != given) {
    return LayoutError{"the number of partitions (" + std::to_string(*count) +
                           ") does not match the partitions given (" + std::to_string(given) + ")",
                       true};
  }

  PartitionLayout layout;
  for (size_t i = 0; i < given; ++i) {
    const std::string& format_text = triplets[3 * i];
    const std::string& name = triplets[3 * i + 1];
    const std::string& size_text = triplets[3 * i + 2];
    const std::optional<PartitionFormat> format = ParseFormat(format_text);
    if (!format) {
      return LayoutError{format_text + " does not appear to be a valid file system format", false};
    }
    if (name.empty()) return LayoutError{"a partition needs a name", false};
    PlannedPartition partition{*format, name, 0};
    if (size_text == "R" || size_text == "r") {
      if (i + 1 != given) {
        return LayoutError{"only the last partition can take the rest of the disk (R)", false};
      }
    } else {
      const std::optional<uint64_t> size = ParseSize(size_text);
      if (!size) return LayoutError{size_text + " is not a valid size", false};
      partition.size = *size;
    }
    layout.partitions.push_back(partition);
  }
  return layout;
}

}  // namespace sim::tools::diskutil
