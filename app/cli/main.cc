// dorvane: backs up an APFS container into a sparse disk image and restores one, from the
// command line. See dorvane_command.h.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/cli/descriptor_stream.h"
#include "app/cli/dorvane_command.h"

int main(int argc, char* argv[]) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const bool terminal = ::isatty(STDOUT_FILENO) == 1;

  // The engine and the tools it starts write notes of their own to standard output ("--- run
  // ...", what a tool prints). Standard output is kept for dorvane's progress alone, so that
  // it stays one bar, one line per update or valid JSON: the others write to standard error
  // instead.
  const int progress_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (progress_fd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    std::perror("dorvane: cannot set up standard output");
    return kExitFailure;
  }
  DescriptorStream progress(progress_fd);
  return RunDorvane(arguments, Console{progress, std::cerr, terminal});
}
