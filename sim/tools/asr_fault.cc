#include "sim/tools/asr_fault.h"

#include <charconv>
#include <string_view>

namespace sim::tools {
namespace {

std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t limit) {
  uint32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [rest, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || rest != end || value > limit) return std::nullopt;
  return value;
}

}  // namespace

std::optional<AsrFault> ParseAsrFault(const std::string& value) {
  std::string_view text(value);
  const size_t separator = text.find(';');
  const std::string_view point = text.substr(0, separator);
  std::string_view options = separator == std::string_view::npos ? "" : text.substr(separator);

  AsrFault fault;
  fault.value = value;
  if (point == "fail-before-start") {
    fault.point = AsrFault::Point::kBeforeStart;
  } else if (point == "fail-at-start") {
    fault.point = AsrFault::Point::kAtStart;
  } else if (point == "fail-at-exit") {
    fault.point = AsrFault::Point::kAtExit;
  } else if (point.starts_with("fail-after-volume:")) {
    fault.point = AsrFault::Point::kAfterVolume;
    const auto count = ParseNumber(point.substr(18), 100000);
    if (!count) return std::nullopt;
    fault.count = *count;
  } else if (point.starts_with("fail-after-percent:")) {
    fault.point = AsrFault::Point::kAfterPercent;
    const auto percent = ParseNumber(point.substr(19), 99);
    if (!percent) return std::nullopt;
    fault.count = *percent;
  } else if (point.starts_with("hold-after-percent:")) {
    fault.point = AsrFault::Point::kHoldAfterPercent;
    const auto percent = ParseNumber(point.substr(19), 99);
    if (!percent) return std::nullopt;
    fault.count = *percent;
  } else {
    return std::nullopt;
  }

  while (!options.empty()) {
    options.remove_prefix(1);  // the ';'
    if (options.starts_with("message=")) {
      fault.message = std::string(options.substr(8));
      if (fault.message.empty() || fault.message.find('\n') != std::string::npos) {
        return std::nullopt;
      }
      break;
    }
    if (!options.starts_with("status=")) return std::nullopt;
    const size_t end = options.find(';');
    const auto status = ParseNumber(
        options.substr(7, end == std::string_view::npos ? std::string_view::npos : end - 7), 255);
    if (!status || *status == 0) return std::nullopt;
    fault.status = static_cast<int>(*status);
    options = end == std::string_view::npos ? "" : options.substr(end);
  }
  return fault;
}

}  // namespace sim::tools
