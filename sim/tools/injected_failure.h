#pragma once

// The failures a tool's fault-injection hooks ask for (macsim set ROOT fault.<tool>.<verb>
// VALUE). A hook's value is one of:
//
//   fail               the tool fails there with its usual message and status 1
//   fail:MESSAGE       ... with MESSAGE
//   exit:N             ... with status N (1 to 255)
//   exit:N:MESSAGE     ... with status N and MESSAGE
//
// Any other value fails with the usual message and status 1, so a mistyped hook is noticed
// rather than ignored.

#include <optional>
#include <string>
#include <string_view>

#include "sim/tools/tool_context.h"

namespace sim::tools {

struct InjectedFailure {
  int status = 1;
  std::string message;
};

// The failure `value` asks for; `usual_message` where the value names none.
InjectedFailure ParseInjectedFailure(std::string_view value, std::string_view usual_message);

// The failure the hook "<tool>.<verb>" asks for, or nothing when the hook is not set.
std::optional<InjectedFailure> InjectedFailureAt(ToolContext& context, const std::string& verb,
                                                 std::string_view usual_message);

}  // namespace sim::tools
