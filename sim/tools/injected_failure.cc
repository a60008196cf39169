#include "sim/tools/injected_failure.h"

#include <charconv>

namespace sim::tools {
namespace {

using Point = InjectedFailure::Point;

// The number `text` is in full, within [minimum, maximum]; nothing otherwise.
std::optional<uint32_t> Number(std::string_view text, uint32_t minimum, uint32_t maximum) {
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < minimum ||
      value > maximum) {
    return std::nullopt;
  }
  return value;
}

// The point of `text` ("fail-at-exit", "fail-after-percent:40"), or nothing.
bool ParsePoint(std::string_view text, InjectedFailure* failure) {
  constexpr std::string_view kAfterPercent = "fail-after-percent:";
  if (text == "fail" || text == "fail-at-start") {
    failure->point = Point::kAtStart;
  } else if (text == "fail-before-start") {
    failure->point = Point::kBeforeStart;
  } else if (text == "fail-at-exit") {
    failure->point = Point::kAtExit;
  } else if (text.starts_with(kAfterPercent)) {
    const std::optional<uint32_t> percent = Number(text.substr(kAfterPercent.size()), 0, 99);
    if (!percent) return false;
    failure->point = Point::kAfterPercent;
    failure->percent = *percent;
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool InjectedFailure::FailsAfter(uint64_t done, uint64_t total) const {
  if (point != Point::kAfterPercent) return false;
  // An empty copy is complete from its start.
  if (total == 0) return true;
  // done * 100 >= percent * total, without overflow for any size a file can have.
  return static_cast<double>(done) / static_cast<double>(total) * 100.0 >= percent;
}

InjectedFailure ParseInjectedFailure(std::string_view value) {
  const InjectedFailure mistyped;
  InjectedFailure failure;
  if (value.starts_with("fail:")) {
    if (value.size() > 5) failure.message = std::string(value.substr(5));
    return failure;
  }
  const size_t message_at = value.find(";message=");
  if (message_at != std::string_view::npos) {
    failure.message = std::string(value.substr(message_at + 9));
    if (failure.message->empty()) failure.message.reset();
    value = value.substr(0, message_at);
  }
  const size_t status_at = value.find(";status=");
  if (status_at != std::string_view::npos) {
    // A status outside 1...255 could not reach the parent as a failure.
    const std::optional<uint32_t> status = Number(value.substr(status_at + 8), 1, 255);
    if (!status) return mistyped;
    failure.status = static_cast<int>(*status);
    value = value.substr(0, status_at);
  }
  if (!ParsePoint(value, &failure)) return mistyped;
  return failure;
}

std::optional<InjectedFailure> ReadInjectedFailure(ToolContext& context, const std::string& verb) {
  const std::optional<std::string> value = context.Fault(verb);
  if (!value) return std::nullopt;
  return ParseInjectedFailure(*value);
}

std::optional<int> FailIfAt(ToolContext& context, const std::optional<InjectedFailure>& failure,
                            InjectedFailure::Point point, std::string_view usual_message) {
  if (!failure || failure->point != point) return std::nullopt;
  return context.Fail(failure->message.value_or(std::string(usual_message)), failure->status);
}

std::optional<InjectedFailure> WithoutCopyPoint(std::optional<InjectedFailure> failure) {
  if (failure && failure->point == Point::kAfterPercent) {
    failure->point = Point::kAtStart;
  }
  return failure;
}

}  // namespace sim::tools
