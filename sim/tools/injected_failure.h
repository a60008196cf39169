#pragma once

// The failures a tool's fault-injection hook asks for (macsim set ROOT fault.<tool>.<verb>
// VALUE), so that the system's failure paths can be driven end to end. A value names the
// point where the tool fails, optionally followed by ";status=S" (the exit status, 1 to 255;
// default 1) and ";message=TEXT" (the text after "<tool>: "; default the tool's usual words
// for that failure; everything after "message=" is the text, semicolons included):
//
//   fail-before-start      exits at once, before its arguments are looked at: nothing is
//                          read, printed or changed but the error line
//   fail-at-start          fails once its arguments are accepted, before any work
//   fail-after-percent:P   fails once P per cent (0 to 99) of the data it copies is done;
//                          only for the tools that copy (ditto), where nothing half made
//                          stays behind
//   fail-at-exit           does all its work (prints its output, makes its changes), then
//                          exits with the error
//   fail                   the same as fail-at-start
//   fail:TEXT              fail-at-start with the message TEXT
//
// For example "fail-at-exit;status=3;message=the firmware refused". A value of any other
// form fails at the start with the usual message and status 1, so a mistyped hook is
// noticed rather than ignored; fail-after-percent in a tool that copies nothing fails at the
// start too.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sim/tools/tool_context.h"

namespace sim::tools {

struct InjectedFailure {
  enum class Point { kBeforeStart, kAtStart, kAfterPercent, kAtExit };

  Point point = Point::kAtStart;
  uint32_t percent = 0;  // P of fail-after-percent
  int status = 1;
  std::optional<std::string> message;  // nothing: the tool's usual words

  // Whether a copy fails once `done` of `total` bytes are copied.
  bool FailsAfter(uint64_t done, uint64_t total) const;
};

// The failure `value` asks for; fail-at-start with status 1 and the usual message for a value
// of another form.
InjectedFailure ParseInjectedFailure(std::string_view value);

// The failure the hook "<tool>.<verb>" asks for, or nothing when the hook is not set.
std::optional<InjectedFailure> ReadInjectedFailure(ToolContext& context, const std::string& verb);

// When `failure` asks to fail at `point`: writes "<tool>: <message>" (`usual_message` where
// the hook gives none) and returns the status to exit with. Nothing otherwise.
std::optional<int> FailIfAt(ToolContext& context, const std::optional<InjectedFailure>& failure,
                            InjectedFailure::Point point, std::string_view usual_message);

// For a tool that copies nothing: `failure` with a fail-after-percent point moved to the
// start, so that the hook still fails the tool.
std::optional<InjectedFailure> WithoutCopyPoint(std::optional<InjectedFailure> failure);

}  // namespace sim::tools
