#pragma once

// The fault-injection hook of the simulated `asr`: "asr.restore", set with
// `macsim set ROOT fault.asr.restore VALUE`. The value is a point, optionally followed by
// ";status=S" (the exit status, 1 to 255; default 1) and ";message=TEXT" (the error text
// after "asr: "; default "Could not restore - Input/output error"; everything after
// "message=" is the text, semicolons included):
//
//   fail-before-start      exit at once, before any output
//   fail-at-start          fail after the "XSTA\tstart" line, before anything is checked
//   fail-after-volume:N    fail once N volumes have been copied (0: before the first)
//   fail-after-percent:P   fail during a volume's copy once P per cent (0 to 99) of it is
//                          copied (the first volume's, as it is the first to get there);
//                          the half-made copy is removed as after a real failure
//   fail-at-exit           do all the work, then fail
//   hold-after-percent:P   pause a volume's copy at P per cent while the hook still holds
//                          this value, so that a test can interrupt the copy half-way;
//                          the copy goes on once the hook changes
//
// For example "fail-after-volume:1;status=5;message=Could not restore - Bad file descriptor".

#include <cstdint>
#include <optional>
#include <string>

namespace sim::tools {

struct AsrFault {
  enum class Point {
    kBeforeStart,
    kAtStart,
    kAfterVolume,
    kAfterPercent,
    kAtExit,
    kHoldAfterPercent
  };

  Point point = Point::kAtStart;
  uint32_t count = 0;  // N of fail-after-volume, P of fail-after-percent and hold-after-percent
  int status = 1;
  std::string message = "Could not restore - Input/output error";
  std::string value;  // the hook's value as it was read

  // Whether the run fails once `copied` volumes are done.
  bool FailsAfterVolume(uint32_t copied) const {
    return point == Point::kAfterVolume && count == copied;
  }
  // Whether a volume's copy fails once `percent` of it is done.
  bool FailsAtPercent(uint32_t percent) const {
    return point == Point::kAfterPercent && percent >= count;
  }
  bool HoldsAtPercent(uint32_t percent) const {
    return point == Point::kHoldAfterPercent && percent >= count;
  }
};

// Parses a hook value; nothing for a value of another form.
std::optional<AsrFault> ParseAsrFault(const std::string& value);

}  // namespace sim::tools
