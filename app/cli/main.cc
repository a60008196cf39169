// dorvane: backs up an APFS container into a sparse disk image and restores one, from the
// command line. See dorvane_command.h.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/descriptor_stream.h"
#include "app/cli/dorvane_command.h"
#include "core/foundation/interruption.h"

int main(int argc, char* argv[]) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const bool terminal = ::isatty(STDOUT_FILENO) == 1;

  // Standard output and standard error are dorvane's own: its progress (one bar, one line per
  // update or valid JSON) and its messages. The engine and the tools it starts write notes of
  // their own ("--- run ...", what a tool prints) to descriptors 1 and 2, which are therefore
  // lent to them, pointing at standard error until an operation captures them.
  const int progress_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  const int message_fd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (progress_fd < 0 || message_fd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    std::perror("dorvane: cannot set up standard output");
    return kExitFailure;
  }
  // A signal stops the operation at its next step, after which its clean-up runs and
  // dorvane exits with 128 + the signal.
  mcom::InstallInterruptionHandlers();
  DescriptorStream progress(progress_fd);
  DescriptorStream messages(message_fd);
  return RunDorvane(arguments, Console{progress, messages, terminal});
}
