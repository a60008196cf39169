#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/foundation/file.h"
#include "platform/posix/child_process.h"

namespace testing {

// A running program whose standard input, output and error are pipes of the test: it is
// told what to do line by line and answers line by line. Destroying it kills the program if
// it still runs and reaps it.
class InteractiveChild {
 public:
  // Child mode `mode` of this test binary (DORVANE_TEST_CHILD) with `arguments`.
  InteractiveChild(const std::string& mode, const std::vector<std::string>& arguments);
  // `program` with the arguments of child mode `mode`: a copy of this test binary.
  InteractiveChild(const std::string& program, const std::string& mode,
                   const std::vector<std::string>& arguments);

  pid_t pid() const { return child_.pid(); }

  // The next line of standard output (without its newline); empty when the stream ended or
  // nothing came within `timeout` (a guard against hangs, not a timing check).
  std::string ReadLine(std::chrono::seconds timeout = std::chrono::seconds(60));
  // Everything written to standard error until the child exited (call after Wait).
  std::string ReadStandardError();
  void WriteLine(const std::string& line);
  // Ends the child's standard input.
  void CloseInput();
  // Waits for the child to end and returns its exit status or the number of the signal that
  // ended it; -1 when it was still running after `timeout` and was killed.
  int Wait(std::chrono::seconds timeout = std::chrono::seconds(60));

 private:
  mcom::ChildProcess child_;
  mcom::File input_;
  mcom::File output_;
  mcom::File error_;
  std::string buffered_;
};

}  // namespace testing
