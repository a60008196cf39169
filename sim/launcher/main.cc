// simlaunchd: the launcher of a simulated Mac (launcher.h).
//
//   simlaunchd ROOT [--ready-fd FD]
//
// ROOT is the machine's root, absolute. `macsim start` runs it detached and waits on FD: once
// every service listens, or when the launcher cannot run, it writes one line there, "ready"
// or the reason, and closes it. Without FD the reason goes to standard error. Exit status 0
// after SIGTERM or SIGINT, 1 when it cannot run, 64 for a bad command line.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <charconv>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>

#include "core/foundation/system_path.h"
#include "sim/launcher/launcher.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_layout.h"

namespace {

// Writes `line` to the ready descriptor and closes it; to standard error without one.
void Report(int* ready_fd, const std::string& line) {
  if (*ready_fd < 0) {
    if (line != "ready") std::cerr << "simlaunchd: " << line << "\n";
    return;
  }
  const std::string text = line + "\n";
  [[maybe_unused]] const ssize_t written = ::write(*ready_fd, text.data(), text.size());
  ::close(*ready_fd);
  *ready_fd = -1;
}

}  // namespace

int main(int argc, char** argv) {
  int ready_fd = -1;
  const std::string_view usage = "usage: simlaunchd ROOT [--ready-fd FD]\n";
  if (argc != 2 && !(argc == 4 && std::string_view(argv[2]) == "--ready-fd")) {
    std::cerr << usage;
    return EX_USAGE;
  }
  if (argc == 4) {
    const std::string_view number(argv[3]);
    const auto [end, error] =
        std::from_chars(number.data(), number.data() + number.size(), ready_fd);
    if (error != std::errc() || end != number.data() + number.size() || ready_fd < 0) {
      std::cerr << usage;
      return EX_USAGE;
    }
    ::fcntl(ready_fd, F_SETFD, FD_CLOEXEC);
  }

  // The standard streams stay taken, so that no descriptor the launcher opens becomes one.
  for (int fd = ::open("/dev/null", O_RDWR); fd >= 0; fd = ::open("/dev/null", O_RDWR)) {
    if (fd > STDERR_FILENO) {
      ::close(fd);
      break;
    }
  }
  ::umask(022);
  sigset_t handled;
  ::sigemptyset(&handled);
  for (const int signal : {SIGCHLD, SIGHUP, SIGINT, SIGTERM}) ::sigaddset(&handled, signal);
  ::sigprocmask(SIG_BLOCK, &handled, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  try {
    const mcom::FilePath root(argv[1]);
    if (!root.string().starts_with('/'))
      throw sim::MachineError("the machine root is not absolute");
    sim::CheckMachineRoot(root);
    mcom::SetSystemRoot(root);
    sim::launcher::Launcher launcher(root);
    launcher.Start();
    Report(&ready_fd, "ready");
    return launcher.Run();
  } catch (const std::exception& error) {
    Report(&ready_fd, error.what());
    return 1;
  }
}
