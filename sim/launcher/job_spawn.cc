#include "sim/launcher/job_spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/foundation/file.h"
#include "core/foundation/system_path.h"
#include "platform/posix/posix_error.h"
#include "sim/launcher/launcher_log.h"
#include "sim/machine/machine_facts.h"

namespace sim::launcher {
namespace {

// The first descriptor of the hand-over, after the three standard streams.
constexpr int kFirstSocket = 3;

mcom::File OpenNull(int flags) { return mcom::File(::open("/dev/null", flags | O_CLOEXEC)); }

// The job's file at Mac path `path`, or /dev/null for none or one that cannot be opened.
mcom::File OpenOutput(const LaunchJob& job, const std::string& path, const char* key) {
  if (path.empty()) return OpenNull(O_WRONLY);
  mcom::File file(::open(mcom::SystemPath(path).c_str(),
                         O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
  if (file) return file;
  LogError(job.label + ": cannot open the " + key + " " + path + ": " + std::strerror(errno));
  return OpenNull(O_WRONLY);
}

std::vector<std::string> JobEnvironment(const std::vector<ServiceSocket>& sockets) {
  std::vector<std::string> environment{"DORVANE_SYSTEM_ROOT=" + mcom::SystemRoot().string(),
                                       "PATH=/usr/bin:/bin:/usr/sbin:/sbin"};
  if (ReadRecoveryEnvironment(mcom::SystemRoot())) {
    environment.push_back("__OSINSTALL_ENVIRONMENT=1");
  }
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) {
      environment.push_back(std::string(name) + "=" + value);
    }
  }
  std::string handed;
  for (size_t index = 0; index < sockets.size(); ++index) {
    if (!handed.empty()) handed += ",";
    handed += sockets[index].first + "=" + std::to_string(kFirstSocket + index);
  }
  environment.push_back("MACSIM_LAUNCHD_SOCKETS=" + handed);
  return environment;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& string : strings) pointers.push_back(string.data());
  pointers.push_back(nullptr);
  return pointers;
}

// In the forked child: only calls that are safe after fork, then the exec. On failure the
// errno goes to `report` and the child ends. `sockets` is the child's own copy of the
// parent's list, changed in place.
[[noreturn]] void ExecJob(const char* program, char* const* argv, char* const* envp,
                          const int streams[3], std::vector<int>& sockets, int report,
                          pid_t launcher) {
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &default_action, nullptr);
  ::setsid();
  // A launcher that died before the request took effect sends nothing: check once more.
  if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != launcher) ::_exit(127);

  int error = 0;
  for (int target = 0; target < 3 && error == 0; ++target) {
    // dup2 onto itself would keep the descriptor close-on-exec.
    const int placed =
        streams[target] == target ? ::fcntl(target, F_SETFD, 0) : ::dup2(streams[target], target);
    if (placed < 0) error = errno;
  }
  // The sockets and the report go above the hand-over's range first, so that placing one
  // can never overwrite another that still has to be placed.
  const int first_free = kFirstSocket + static_cast<int>(sockets.size());
  report = ::fcntl(report, F_DUPFD_CLOEXEC, first_free);
  if (report < 0) ::_exit(127);
  for (size_t index = 0; index < sockets.size() && error == 0; ++index) {
    sockets[index] = ::fcntl(sockets[index], F_DUPFD_CLOEXEC, first_free);
    if (sockets[index] < 0) error = errno;
  }
  // dup2 leaves the placed copies inheritable.
  for (size_t index = 0; index < sockets.size() && error == 0; ++index) {
    if (::dup2(sockets[index], kFirstSocket + static_cast<int>(index)) < 0) error = errno;
  }
  if (error == 0 &&
      ::close_range(static_cast<unsigned>(first_free), ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    error = errno;
  }
  if (error == 0) {
    ::execve(program, argv, envp);
    error = errno;
  }
  [[maybe_unused]] const ssize_t written = ::write(report, &error, sizeof error);
  ::_exit(127);
}

}  // namespace

mcom::Result<pid_t> SpawnJob(const LaunchJob& job, const std::vector<ServiceSocket>& sockets) {
  const std::string program = mcom::SystemPath(job.program).string();
  std::vector<std::string> arguments = job.arguments;
  std::vector<std::string> environment = JobEnvironment(sockets);
  const std::vector<char*> argv = Pointers(arguments);
  const std::vector<char*> envp = Pointers(environment);
  const mcom::File input = OpenNull(O_RDONLY);
  const mcom::File output = OpenOutput(job, job.standard_out_path, "StandardOutPath");
  const mcom::File error_output = OpenOutput(job, job.standard_error_path, "StandardErrorPath");
  if (!input || !output || !error_output) return mcom::LastError();
  const int streams[3] = {input.get(), output.get(), error_output.get()};
  std::vector<int> socket_fds;
  socket_fds.reserve(sockets.size());
  for (const ServiceSocket& socket : sockets) socket_fds.push_back(socket.second);

  mcom::Result<mcom::Pipe> report = mcom::CreatePipe();
  if (!report) return report.error();
  const pid_t launcher = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return mcom::LastError();
  if (pid == 0) {
    ExecJob(program.c_str(), argv.data(), envp.data(), streams, socket_fds, report->write.get(),
            launcher);
  }
  (void)report->write.Close();
  // The report's end closes with the exec; an errno arrives when the exec failed.
  int exec_error = 0;
  const ssize_t read = mcom::RetryOnInterrupt(
      [&] { return ::read(report->read.get(), &exec_error, sizeof exec_error); });
  if (read != static_cast<ssize_t>(sizeof exec_error)) return pid;
  mcom::RetryOnInterrupt([&] { return ::waitpid(pid, nullptr, 0); });
  return std::error_code(exec_error, std::generic_category());
}

}  // namespace sim::launcher
