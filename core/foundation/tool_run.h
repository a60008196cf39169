#pragma once

// Running the operating system's disk tools.
//
// The system changes disks only through command-line tools of the operating system, started
// by absolute path with an empty environment. What it relies on from each tool:
//
//   /usr/bin/hdiutil   create, attach, detach of backup images; resize, attach with a shadow
//                      file, detach and convert of the recovery image; "info" for the logs.
//                      Exit status 0 means success; error text on standard error; the
//                      attach "-plist" property list with "system-entities", "dev-entry",
//                      "mount-point"; convert's "PERCENT:%lf" lines.
//   /usr/sbin/diskutil "apfs" "createContainer"; "unmountDisk" "force", "partitionDisk",
//                      "list" "-plist" for recovery media; listings for the logs. Exit
//                      status; error text on standard error; the "list" property list with
//                      "AllDisks".
//   /usr/sbin/asr      container replication; restoring the recovery system onto a
//                      partition. Exit status; the "--puppetstrings" lines
//                      "PSTT\t%u\t%u\t", "PINF\t%u\t%u\t", "XSTA\t", "PSTP\t" and
//                      tab-prefixed text lines.
//   /usr/sbin/bless    boot folder of a recovery disk; start-up disk after a restore. Exit
//                      status only.
//   /sbin/reboot       restart after a restore. Nothing.
//   /usr/bin/ditto, /usr/bin/log
//                      packing the log archive, exporting the system log. Exit status.
//   /usr/sbin/ioreg, /sbin/dmesg, /sbin/mount, /usr/bin/sw_vers
//                      diagnostic output for the logs, saved as it comes.
//
// A tool that cannot be started, or that exits with a status other than 0, is a failure of
// the step that started it, reported in that step's words; the diagnostic tools of the log
// collection only log their failures. Every other output form is the tool's own business.
//
// The functions below are the recurring shapes of a tool run. Each takes the tool's macOS
// path ("/usr/bin/hdiutil"), resolves it under the machine root and starts it with an empty
// environment. A start failure is returned as the Result's error (the code posix_spawn gave,
// in the generic category); the caller words it as "failed to run <tool>: <message>". The
// exit status is returned as WaitForProcess gives it, for the caller to judge. A pipe that
// cannot be created is thrown as std::system_error (generic category). Every descriptor is
// closed and every child waited for on every path.

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "core/foundation/file.h"
#include "core/foundation/interruption.h"
#include "core/foundation/result.h"
#include "platform/posix/child_process.h"

namespace mcom {

// What a finished tool run left behind.
struct ToolRun {
  std::error_code exit_status;        // WaitForProcess's result; 0 means success
  std::vector<char> standard_output;  // empty when not captured
  std::vector<char> standard_error;   // empty when not captured
  std::error_code output_read_error;  // set when reading standard output failed
};

// What happens when reading the captured standard error fails.
enum class ErrorReadFailure {
  kDiscardText,  // drop what was read so far ("hdiutil create")
  kKeepText,     // keep what was read so far ("diskutil apfs createContainer")
};

// Standard output inherited, standard error captured until a read returns 0 (or fails).
Result<ToolRun> RunCapturingStandardError(const char* tool,
                                          const std::vector<std::string>& arguments,
                                          ErrorReadFailure on_read_failure);

// Both streams captured ("hdiutil attach"). Both pipes are read as data arrives, standard
// output first in each turn, so a tool that fills one pipe while the other is quiet can
// never block the run. A failed standard-output read (or a failed wait for data) ends the
// run with output_read_error set (the child is still waited for); a failed standard-error
// read only ends the reading of that stream, keeping what it gave so far, so a persistent
// failure cannot make the loop spin.
Result<ToolRun> RunCapturingBothStreams(const char* tool,
                                        const std::vector<std::string>& arguments);

// A running tool whose standard output is read line by line as it comes ("asr restore");
// standard error is inherited. Such tools run long, so each is stoppable while it runs: an
// interruption (interruption.h) sends it SIGTERM.
class LineReadingTool {
 public:
  static Result<LineReadingTool> Start(const char* tool, const std::vector<std::string>& arguments);

  LineReadingTool(LineReadingTool&&) noexcept;
  LineReadingTool& operator=(LineReadingTool&&) noexcept;
  // A tool that was not waited for is waited for here, after its output was closed (a tool
  // that still writes then fails on the closed pipe and ends).
  ~LineReadingTool();

  // The next "\n"-separated line without its separator (the last one may lack it); empty once
  // the output has ended or a read failed.
  std::optional<std::string> ReadLine();

  pid_t pid() const { return child_.pid(); }

  // Closes the output and waits for the tool; returns WaitForProcess's result. Call once: a
  // second call returns ECHILD in the system category.
  std::error_code Wait();

 private:
  LineReadingTool(pid_t pid, File output);

  ChildProcess child_;
  File output_;
  std::string unread_;  // read from the output, not yet handed out as lines
  std::unique_ptr<StoppableChild> stoppable_;
};

// The command line of `tool` (resolved under the machine root) and `arguments`, quoted for
// the shell where needed: how a run is shown to people and in logs.
std::string ShellCommand(const char* tool, const std::vector<std::string>& arguments);

// A tool's captured text as a message: the bytes without trailing white space (the tools end
// their error lines with a newline).
std::string ToolText(const std::vector<char>& bytes);

}  // namespace mcom
