// dorvane: backs up an APFS container into a sparse disk image and restores one, from the
// command line. See dorvane_command.h.

#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "app/cli/dorvane_command.h"

int main(int argc, char* argv[]) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return RunDorvane(arguments, Console{std::cout, std::cerr, ::isatty(STDOUT_FILENO) == 1});
}
