#pragma once

// The fault-injection hooks of the simulated hdiutil, one per verb ("hdiutil.create",
// "hdiutil.attach", ...), set with "macsim set ROOT fault.hdiutil.<verb> VALUE" (README.md
// lists them). A value names the point where the verb fails, in the form the other simulated
// tools read too, optionally followed by ";status=S" (the exit status, 1 to 255; default 1)
// and ";message=TEXT" (the whole line after "hdiutil: "; everything after "message=" is the
// text, semicolons included):
//
//   fail-before-start      fails at once, before the verb's arguments are looked at
//   fail-at-start, fail    fails once the arguments are accepted, before any work
//   fail:TEXT              the same with the line "<verb> failed - TEXT"
//   fail-after-percent:P   convert: fails once its progress reaches P per cent (0 to 99),
//                          after the PERCENT lines before it, leaving no destination; the
//                          verbs that copy nothing fail at the start
//   fail-at-exit           does all the work (output printed, machine changed), then fails
//   hold-at-start          waits before any work while the hook still holds this value, so
//                          that a test can interrupt its caller while it runs; then works
//                          as without a hook
//
// Without a message the line is the verb's usual failure (DefaultFailureLine). Any other
// value fails the verb at the start with a line naming the value, so a mistyped hook is
// never taken for a success.

#include <optional>
#include <string>

#include "sim/tools/tool_context.h"

namespace sim::tools {

struct HdiutilFault {
  enum class Point { kBeforeStart, kAtStart, kAfterPercent, kAtExit };

  Point point = Point::kAtStart;
  double percent = 0;  // P of fail-after-percent
  int status = 1;
  std::optional<std::string> line;  // the line after "hdiutil: "; nothing for the usual one
};

// The fault `value` asks of `verb`. Throws HdiutilFailure for a value it does not understand.
HdiutilFault ParseHdiutilFault(const std::string& verb, const std::string& value);

// The fault the hook "hdiutil.<verb>" asks for, or nothing when the hook is not set (or holds
// hold-at-start, which is waited out here). Throws HdiutilFailure for a value it does not
// understand.
std::optional<HdiutilFault> ReadHdiutilFault(ToolContext& context, const std::string& verb);

// The line the real tool prints most often when `verb` fails ("attach failed - Device not
// configured").
std::string DefaultFailureLine(const std::string& verb);

// Throws the HdiutilFailure that `fault` asks for, with `usual_line` unless it gives one.
[[noreturn]] void ThrowFault(const HdiutilFault& fault, const std::string& usual_line);

// The start of a verb, once its arguments are accepted: throws when the hook of `verb` asks to
// fail at the start (or after a percentage, for a verb that copies nothing), with
// `usual_line`.
void CheckFailureHook(ToolContext& context, const std::string& verb, const std::string& usual_line);

}  // namespace sim::tools
