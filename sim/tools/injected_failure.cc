#include "sim/tools/injected_failure.h"

#include <charconv>

namespace sim::tools {

InjectedFailure ParseInjectedFailure(std::string_view value, std::string_view usual_message) {
  InjectedFailure failure{1, std::string(usual_message)};
  if (value.starts_with("fail:")) {
    value.remove_prefix(5);
    if (!value.empty()) failure.message = std::string(value);
  } else if (value.starts_with("exit:")) {
    value.remove_prefix(5);
    const size_t colon = value.find(':');
    const std::string_view number = value.substr(0, colon);
    int status = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), status);
    // A status outside 1...255 could not reach the parent as a failure.
    if (error == std::errc() && end == number.data() + number.size() && status >= 1 &&
        status <= 255) {
      failure.status = status;
    }
    if (colon != std::string_view::npos && colon + 1 < value.size()) {
      failure.message = std::string(value.substr(colon + 1));
    }
  }
  return failure;
}

std::optional<InjectedFailure> InjectedFailureAt(ToolContext& context, const std::string& verb,
                                                 std::string_view usual_message) {
  const std::optional<std::string> value = context.Fault(verb);
  if (!value) return std::nullopt;
  return ParseInjectedFailure(*value, usual_message);
}

}  // namespace sim::tools
