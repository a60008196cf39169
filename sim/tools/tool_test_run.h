#pragma once

// Test support: running programs, and the tools of a test machine, with both output streams
// captured.

#include <string>
#include <vector>

#include "core/foundation/file_path.h"

namespace sim::testing {

struct ProgramRun {
  int status = -1;  // the exit status (the signal number for a child killed by one); -1 when
                    // the program could not be started
  std::string out;
  std::string err;
};

// Runs `program` (an absolute host path) with `arguments` and an empty environment, and
// waits for it.
ProgramRun RunProgram(const mcom::FilePath& program, const std::vector<std::string>& arguments);

// Runs the tool at `mac_path` ("/usr/sbin/bless") of the machine at mcom::SystemRoot(), as
// the system starts it.
ProgramRun RunTool(const char* mac_path, const std::vector<std::string>& arguments = {});

// The lines of `text`, without their line breaks.
std::vector<std::string> Lines(const std::string& text);

}  // namespace sim::testing
