#pragma once

// Test support for the disk-arbitration stand-in and its wrappers: disks made for the cases
// the tests need, a recorder for callbacks, and a helper process that holds something while
// the test looks.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "core/foundation/disk_name.h"
#include "core/foundation/file.h"
#include "core/foundation/file_path.h"
#include "platform/posix/child_process.h"
#include "sim/machine/machine.h"

namespace da_testing {

// Adds an external USB disk laid out for the blocker cases and returns its number N (2 on a
// machine made from the "intel-mac" fixture): diskNs1 an HFS+ volume "Blocked Volume"
// (unmounted), diskNs2 the store of an APFS container disk(N+1) whose volume
// disk(N+1)s1 "Other Volume" is unmounted.
uint32_t AddBlockerTestDisk(sim::Machine& machine);

// Attaches a disk image (as `hdiutil attach` does, without a real image file) holding one
// APFS container with one volume "Image Volume", mounted; returns the image's disk number.
uint32_t AttachTestImage(sim::Machine& machine);

// Collects lines written from any thread and lets the test wait for them.
class Recorder {
 public:
  void Add(std::string line);
  // Waits until `count` lines have been added (a generous time, only so a fault cannot hang
  // the test); returns all lines so far.
  std::vector<std::string> WaitFor(size_t count);
  std::vector<std::string> Lines();
  // Waits until a line equal to `line` has been added; false when it never came.
  bool WaitForLine(const std::string& line);

 private:
  std::mutex mutex_;
  std::condition_variable added_;
  std::vector<std::string> lines_;
};

// A child process started from the test binary in child mode `name`, with its standard input
// and output connected to the test. The child says "ready" on a line of its own when it has
// done its work, and ends when its standard input is closed.
class HelperProcess {
 public:
  HelperProcess(const std::string& name, const std::vector<std::string>& arguments);
  ~HelperProcess();

  // Reads the child's first line; true when it is "ready".
  bool WaitUntilReady();
  // Closes the child's standard input and waits for it; returns its exit status (0 = ok).
  int Finish();

  // In the child: says "ready" and waits for the end of standard input.
  static void ReadyAndWait();

 private:
  mcom::ChildProcess child_;
  mcom::File input_;   // the child's standard input
  mcom::File output_;  // the child's standard output
};

// How long waits in tests may last before they count as hung.
inline constexpr std::chrono::seconds kPatience{60};

}  // namespace da_testing
