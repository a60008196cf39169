#include "core/foundation/process.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>

#include "core/foundation/error.h"
#include "core/foundation/system_path.h"
#include "platform/libc.h"
#include "platform/posix/child_process.h"
#include "platform/posix/posix_error.h"

namespace mcom {

FileActions::FileActions() {
  if (const int error = ::posix_spawn_file_actions_init(&actions_); error != 0) {
    throw std::system_error(error, std::generic_category(), "posix_spawn_file_actions_init");
  }
}

FileActions::~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }

std::error_code FileActions::AddDuplicate(int fd, int target) {
  const int error = ::posix_spawn_file_actions_adddup2(&actions_, fd, target);
  return std::error_code(error, std::generic_category());
}

Result<pid_t> SpawnProcess(const char* program, const std::vector<std::string>& arguments,
                           const FileActions& actions) {
  // posix_spawn takes non-const pointers for historical reasons only; it never writes
  // through them, so the caller's strings serve as the argument vector without copies.
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(program));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  // The tools must not depend on the caller's locale, search path or home folder, so the
  // child starts with no environment at all.
  char* const environment[] = {nullptr};

  // A process group of its own: a Ctrl-C at the terminal reaches the caller alone, which
  // decides what to stop (interruption.h); a detach cut off by the terminal's signal would
  // leave an image attached. Signals start with their default actions and unblocked,
  // whatever the caller set up for itself.
  posix_spawnattr_t attributes;
  if (const int error = ::posix_spawnattr_init(&attributes); error != 0) {
    return std::error_code(error, std::generic_category());
  }
  sigset_t defaults;
  sigset_t unblocked;
  sigemptyset(&defaults);
  sigemptyset(&unblocked);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT}) sigaddset(&defaults, signal);
  ::posix_spawnattr_setflags(
      &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  ::posix_spawnattr_setpgroup(&attributes, 0);
  ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  ::posix_spawnattr_setsigmask(&attributes, &unblocked);

  pid_t pid = -1;
  const int error =
      ::posix_spawn(&pid, program, actions.get(), &attributes, argv.data(), environment);
  ::posix_spawnattr_destroy(&attributes);
  if (error != 0) return std::error_code(error, std::generic_category());
  return pid;
}

std::error_code WaitForProcess(pid_t pid) {
  return ChildProcess(pid, ChildProcess::WhenDestroyed::kWait).Wait();
}

Result<FilePath> ExecutablePathOfProcess(pid_t pid) {
  if (pid < 1) return std::error_code(EINVAL, std::system_category());
  std::string path;
  if (std::error_code error = platform::ExecutablePathOfProcess(pid, &path)) {
    return std::error_code(error.value(), std::system_category());
  }
  return FilePath(std::move(path));
}

std::error_code RunInherited(const char* program, const std::vector<std::string>& arguments) {
  const FileActions inherit_both_streams;
  const Result<pid_t> pid =
      SpawnProcess(SystemPath(program).c_str(), arguments, inherit_both_streams);
  if (!pid) throw std::system_error(pid.error());
  return WaitForProcess(*pid);
}

void RunAndCheck(const char* program, const std::vector<std::string>& arguments) {
  std::error_code status;
  try {
    status = RunInherited(program, arguments);
  } catch (const std::system_error& failure) {
    throw Error(program, failure.code().message());
  }
  if (status) {
    throw Error(program, "program did exit with error code " + std::to_string(status.value()));
  }
}

}  // namespace mcom
