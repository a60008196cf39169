#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <string>
#include <system_error>
#include <vector>

#include "core/foundation/file_path.h"
#include "core/foundation/result.h"

namespace mcom {

// Owner of a posix_spawn file-actions list: the descriptor redirections of a child. The
// constructor throws std::system_error when the list cannot be set up (out of memory).
class FileActions {
 public:
  FileActions();
  ~FileActions();
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  // In the child, `fd` is duplicated onto `target` (1 for standard output, 2 for standard
  // error). Streams without an entry are inherited from the calling process.
  std::error_code AddDuplicate(int fd, int target);

  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// Starts `program` (an absolute path, never looked up on a search path) with `arguments`
// after the program path, the redirections of `actions` and an empty environment: the child
// sees no PATH, no locale and no HOME. The child runs in a process group of its own (so the
// terminal's Ctrl-C does not reach it directly) with default signal actions and no signal
// blocked. Returns the process id, or the value posix_spawn returned in the generic category
// (ENOENT for a missing program).
Result<pid_t> SpawnProcess(const char* program, const std::vector<std::string>& arguments,
                           const FileActions& actions);

// Waits for the child and returns, in the system category: 0 when it exited with status 0,
// the exit status otherwise, or the number of the signal that ended it. A failed wait
// returns its errno.
std::error_code WaitForProcess(pid_t pid);

// The executable a process runs; EINVAL in the system category for an id below 1, the
// look-up's errno in the system category otherwise.
Result<FilePath> ExecutablePathOfProcess(pid_t pid);

// Runs `program` (a macOS path, resolved under the machine root) with both streams
// inherited, so that its words reach this process's log, and waits for it. A failure to
// start is thrown as std::system_error; the exit status is returned (WaitForProcess).
std::error_code RunInherited(const char* program, const std::vector<std::string>& arguments);

// Runs `program` as RunInherited does. Throws Error with the program path as operation: the code's
// message when it cannot be started, "program did exit with error code N" when it fails.
void RunAndCheck(const char* program, const std::vector<std::string>& arguments);

}  // namespace mcom
