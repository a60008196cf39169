#pragma once

#include <string>
#include <vector>

namespace testing {

// What a finished program left behind.
struct ProgramResult {
  // The exit status, or 128 + the signal number when a signal ended it; -1 when it could
  // not be started.
  int status = -1;
  std::string output;  // standard output
};

// Runs `program` (an absolute path) with `arguments` after the program path, inheriting the
// environment and standard error, feeds it `input` on standard input, and waits for it.
// Independent of the foundation's own process functions, so that tests of those (and of
// anything below them) can use it.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& input = {});

}  // namespace testing
