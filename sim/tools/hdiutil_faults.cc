#include "sim/tools/hdiutil_faults.h"

#include "sim/tools/hdiutil_commands.h"

namespace sim::tools {

void ThrowForFault(const std::string& verb, const std::string& value,
                   const std::string& default_line) {
  if (value == "fail") throw HdiutilFailure(default_line);
  constexpr std::string_view kFailWithText = "fail:";
  if (value.starts_with(kFailWithText) && value.size() > kFailWithText.size()) {
    throw HdiutilFailure(verb + " failed - " + value.substr(kFailWithText.size()));
  }
  throw HdiutilFailure(verb + " failed - fault hook value not understood: " + value);
}

void CheckFailureHook(ToolContext& context, const std::string& hook, const std::string& verb,
                      const std::string& default_line) {
  if (const std::optional<std::string> value = context.Fault(hook)) {
    ThrowForFault(verb, *value, default_line);
  }
}

}  // namespace sim::tools
