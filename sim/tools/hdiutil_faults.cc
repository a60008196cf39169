#include "sim/tools/hdiutil_faults.h"

#include <cstdlib>
#include <map>
#include <string_view>

#include "sim/tools/hdiutil_commands.h"

namespace sim::tools {
namespace {

[[noreturn]] void NotUnderstood(const std::string& verb, const std::string& value) {
  throw HdiutilFailure(verb + " failed - fault hook value not understood: " + value);
}

// P of "fail-after-percent:P": a number from 0 to 99.
std::optional<double> ParsePercent(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) {
    return std::nullopt;
  }
  char* end = nullptr;
  const double percent = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !(percent >= 0 && percent < 100)) return std::nullopt;
  return percent;
}

}  // namespace

HdiutilFault ParseHdiutilFault(const std::string& verb, const std::string& value) {
  HdiutilFault fault;
  std::string point = value;
  // ";message=" takes the rest of the value; ";status=" may stand before it.
  constexpr std::string_view kMessage = ";message=";
  if (const size_t message = point.find(kMessage); message != std::string::npos) {
    fault.line = point.substr(message + kMessage.size());
    if (fault.line->empty()) NotUnderstood(verb, value);
    point.erase(message);
  }
  constexpr std::string_view kStatus = ";status=";
  if (const size_t status = point.find(kStatus); status != std::string::npos) {
    const std::string digits = point.substr(status + kStatus.size());
    if (digits.empty() || digits.size() > 3 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      NotUnderstood(verb, value);
    }
    fault.status = std::atoi(digits.c_str());
    if (fault.status < 1 || fault.status > 255) NotUnderstood(verb, value);
    point.erase(status);
  }

  constexpr std::string_view kFailWithText = "fail:";
  constexpr std::string_view kAfterPercent = "fail-after-percent:";
  if (point == "fail-before-start") {
    fault.point = HdiutilFault::Point::kBeforeStart;
  } else if (point == "fail-at-start" || point == "fail") {
    fault.point = HdiutilFault::Point::kAtStart;
  } else if (point == "fail-at-exit") {
    fault.point = HdiutilFault::Point::kAtExit;
  } else if (point.starts_with(kAfterPercent)) {
    const std::optional<double> percent = ParsePercent(point.substr(kAfterPercent.size()));
    if (!percent) NotUnderstood(verb, value);
    fault.point = HdiutilFault::Point::kAfterPercent;
    fault.percent = *percent;
  } else if (point.starts_with(kFailWithText) && point.size() > kFailWithText.size() &&
             !fault.line) {
    fault.point = HdiutilFault::Point::kAtStart;
    fault.line = verb + " failed - " + point.substr(kFailWithText.size());
  } else {
    NotUnderstood(verb, value);
  }
  return fault;
}

std::optional<HdiutilFault> ReadHdiutilFault(ToolContext& context, const std::string& verb) {
  const std::optional<std::string> value = context.Fault(verb);
  if (!value) return std::nullopt;
  if (*value == "hold-at-start") {
    context.HoldWhileFaultIs(verb, *value);
    return std::nullopt;
  }
  return ParseHdiutilFault(verb, *value);
}

std::string DefaultFailureLine(const std::string& verb) {
  static const std::map<std::string, std::string> lines{
      {"attach", "attach failed - Device not configured"},
      {"convert", "convert failed - Input/output error"},
      {"create", "create failed - No space left on device"},
      {"detach", "detach failed - Resource busy"},
      {"info", "info failed - Device not configured"},
      {"resize", "resize failed - Resource busy"},
  };
  const auto line = lines.find(verb);
  return line != lines.end() ? line->second : verb + " failed - Input/output error";
}

void ThrowFault(const HdiutilFault& fault, const std::string& usual_line) {
  throw HdiutilFailure(fault.line.value_or(usual_line), fault.status);
}

void CheckFailureHook(ToolContext& context, const std::string& verb,
                      const std::string& usual_line) {
  const std::optional<HdiutilFault> fault = ReadHdiutilFault(context, verb);
  if (!fault) return;
  const bool copies = verb == "convert";
  if (fault->point == HdiutilFault::Point::kAtStart ||
      (fault->point == HdiutilFault::Point::kAfterPercent && !copies)) {
    ThrowFault(*fault, usual_line);
  }
}

}  // namespace sim::tools
