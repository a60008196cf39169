#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "app/cli/progress_display.h"

// dorvane's exit statuses.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;            // the operation failed; the Error is printed
inline constexpr int kExitUsage = 64;             // bad arguments or a refused target (EX_USAGE)
inline constexpr int kExitInterruptedBase = 128;  // + the signal that stopped the operation

// Where dorvane writes, and how it tells time (injectable for tests).
struct Console {
  std::ostream& out;
  std::ostream& err;
  bool out_is_terminal = false;
  ProgressDisplay::Clock clock = std::chrono::steady_clock::now;
};

// Runs one dorvane command line (`arguments` without the program name) to the end and
// returns the exit status. Progress goes to `out` (with --json, JSON alone, ending with one
// result object whatever the status); refusals and failures, one line each, to `err`, after
// the tools' output when a step failed. Sets the machine root when --root is given.
int RunDorvane(const std::vector<std::string>& arguments, Console console);
