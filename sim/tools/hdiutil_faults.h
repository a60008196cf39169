#pragma once

// The fault-injection hooks of the simulated hdiutil, set with
// "macsim set ROOT fault.hdiutil.<hook> VALUE" (README.md lists them). The values every
// failure hook understands:
//   "fail"       the verb fails with the error the real tool gives most often for it;
//   "fail:TEXT"  the verb fails with "hdiutil: <verb> failed - TEXT".
// Hooks with values of their own (attach-output, convert's "fail-at:N") read them first and
// hand the rest to ThrowForFault.

#include <optional>
#include <string>

#include "sim/tools/tool_context.h"

namespace sim::tools {

// Throws HdiutilFailure for the hook value `value` of the verb `verb`: `default_line` (the
// text after "hdiutil: ") for "fail", the given text for "fail:TEXT", and a failure naming
// the value for anything else, so that a mistyped hook never passes unnoticed.
[[noreturn]] void ThrowForFault(const std::string& verb, const std::string& value,
                                const std::string& default_line);

// Reads the hook `hook` and throws as ThrowForFault when it is set.
void CheckFailureHook(ToolContext& context, const std::string& hook, const std::string& verb,
                      const std::string& default_line);

}  // namespace sim::tools
