#include "sim/launcher/launcher.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix/posix_error.h"
#include "sim/launcher/job_spawn.h"
#include "sim/launcher/job_status.h"
#include "sim/launcher/launch_daemons.h"
#include "sim/launcher/launcher_log.h"
#include "sim/launcher/launcher_paths.h"
#include "sim/machine/machine_error.h"
#include "transport/mach_stand_in_linux.h"

namespace sim::launcher {
namespace {

// How long stopping jobs get to end on their own before they are killed.
constexpr std::chrono::seconds kStopGrace(5);

// Milliseconds until `when` for poll(), rounded up so that a wake-up is never early.
int MillisecondsUntil(std::chrono::steady_clock::time_point when) {
  const auto left = when - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

std::string DescribeExit(int wait_status) {
  if (WIFSIGNALED(wait_status)) {
    return "exited due to signal " + std::to_string(WTERMSIG(wait_status));
  }
  return "exited with status " + std::to_string(WEXITSTATUS(wait_status));
}

}  // namespace

Launcher::Launcher(mcom::FilePath root) : root_(std::move(root)) {
  sigset_t handled;
  ::sigemptyset(&handled);
  for (const int signal : {SIGCHLD, SIGHUP, SIGINT, SIGTERM}) ::sigaddset(&handled, signal);
  signals_ = mcom::ScopedFD(::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signals_.is_valid()) {
    throw MachineError(std::string("cannot watch the launcher's signals: ") + std::strerror(errno));
  }
}

Launcher::~Launcher() = default;

void Launcher::Start() {
  pid_file_ = PidFile::Acquire(root_);
  try {
    LoadJobs(/*fatal=*/true);
  } catch (...) {
    for (const std::unique_ptr<Job>& job : jobs_) Unload(*job);
    jobs_.clear();
    ::unlink(JobStatusPath(root_).c_str());
    pid_file_->Remove();
    throw;
  }
}

void Launcher::LoadJobs(bool fatal) {
  std::vector<std::string> problems;
  const std::vector<LaunchJob> wanted = ReadLaunchDaemons(root_, &problems);
  for (const std::string& problem : problems) LogError(problem);
  // Jobs that are gone or changed go first, so that a changed job takes its services anew.
  for (auto job = jobs_.begin(); job != jobs_.end();) {
    const LaunchJob& loaded = (*job)->description;
    if (std::find(wanted.begin(), wanted.end(), loaded) != wanted.end()) {
      ++job;
      continue;
    }
    Unload(**job);
    job = jobs_.erase(job);
  }
  for (const LaunchJob& description : wanted) {
    const bool loaded =
        std::any_of(jobs_.begin(), jobs_.end(), [&](const std::unique_ptr<Job>& job) {
          return job->description.label == description.label;
        });
    if (!loaded) Load(description, fatal);
  }
  ++loads_;
  WriteStatus();
}

void Launcher::Load(const LaunchJob& description, bool fatal) {
  for (const std::string& name : description.mach_services) {
    for (const std::unique_ptr<Job>& job : jobs_) {
      for (const auto& socket : job->sockets) {
        if (socket.first != name) continue;
        LogError(description.label + ": skipped: the service " + name + " belongs to " +
                 job->description.label);
        return;
      }
    }
  }
  auto job = std::make_unique<Job>();
  job->description = description;
  for (const std::string& name : description.mach_services) {
    int fd = -1;
    const kern_return_t made = mach_stand_in::CreateServiceListener(name.c_str(), &fd);
    if (made == KERN_SUCCESS) {
      job->sockets.emplace_back(name, mcom::ScopedFD(fd));
      continue;
    }
    Unload(*job);
    const std::string problem =
        made == BOOTSTRAP_SERVICE_ACTIVE
            ? "the service " + name + " of " + description.label + " is served by another process"
            : "cannot make the socket of the service " + name + " of " + description.label;
    if (fatal) throw MachineError(problem);
    LogError(description.label + ": skipped: " + problem);
    return;
  }
  jobs_.push_back(std::move(job));
}

void Launcher::Unload(Job& job) {
  for (auto& [name, socket] : job.sockets) {
    // A running job keeps its copy of the socket; once the name is gone nobody reaches it.
    ::unlink(ServiceSocketPath(root_, name).c_str());
    (void)socket.Close();
  }
  job.sockets.clear();
  job.start_at.reset();
  if (job.pid > 0) {
    ::kill(job.pid, SIGTERM);
    departed_.emplace(job.pid, job.description.label);
    job.pid = 0;
  }
}

void Launcher::RequestStart(Job& job) {
  const Clock::time_point now = Clock::now();
  const std::chrono::seconds interval(job.description.throttle_interval);
  if (job.started && now - *job.started < interval) {
    const auto ran = std::chrono::floor<std::chrono::seconds>(now - *job.started);
    LogDefault(job.description.label + ": Service only ran for " + std::to_string(ran.count()) +
               " seconds. Pushing respawn out by " + std::to_string((interval - ran).count()) +
               " seconds.");
    job.start_at = *job.started + interval;
    return;
  }
  Spawn(job);
}

void Launcher::Spawn(Job& job) {
  job.start_at.reset();
  job.started = Clock::now();
  std::vector<ServiceSocket> sockets;
  for (const auto& [name, socket] : job.sockets) sockets.emplace_back(name, socket.get());
  const mcom::Result<pid_t> pid = SpawnJob(job.description, sockets);
  if (!pid) {
    LogError(job.description.label + ": could not start " + job.description.program + ": " +
             pid.error().message());
    return;
  }
  job.pid = *pid;
  WriteStatus();
}

void Launcher::Reap(bool block) {
  for (;;) {
    int wait_status = 0;
    const pid_t pid =
        mcom::RetryOnInterrupt([&] { return ::waitpid(-1, &wait_status, block ? 0 : WNOHANG); });
    if (pid <= 0) return;
    Exited(pid, wait_status);
  }
}

void Launcher::Exited(pid_t pid, int wait_status) {
  const auto job =
      std::find_if(jobs_.begin(), jobs_.end(),
                   [pid](const std::unique_ptr<Job>& loaded) { return loaded->pid == pid; });
  if (job != jobs_.end()) {
    (*job)->pid = 0;
    LogDefault((*job)->description.label + ": " + DescribeExit(wait_status));
    WriteStatus();
    return;
  }
  if (const auto departed = departed_.find(pid); departed != departed_.end()) {
    LogDefault(departed->second + ": " + DescribeExit(wait_status));
    departed_.erase(departed);
  }
}

bool Launcher::HasChildren() const {
  return !departed_.empty() ||
         std::any_of(jobs_.begin(), jobs_.end(),
                     [](const std::unique_ptr<Job>& job) { return job->pid > 0; });
}

bool Launcher::HandleSignals() {
  bool any = false, child = false, reload = false;
  signalfd_siginfo info{};
  while (::read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    any = true;
    switch (info.ssi_signo) {
      case SIGCHLD:
        child = true;
        break;
      case SIGHUP:
        reload = true;
        break;
      default:  // SIGINT, SIGTERM
        stopping_ = true;
        break;
    }
  }
  if (child) Reap(/*block=*/false);
  if (reload && !stopping_) LoadJobs(/*fatal=*/false);
  return any;
}

int Launcher::Run() {
  while (!stopping_) {
    std::vector<pollfd> watched{{signals_.get(), POLLIN, 0}};
    std::vector<Job*> owners{nullptr};
    std::optional<Clock::time_point> next_start;
    for (const std::unique_ptr<Job>& job : jobs_) {
      if (job->pid > 0) continue;  // the job accepts on its sockets itself
      if (job->start_at) {
        next_start = next_start ? std::min(*next_start, *job->start_at) : *job->start_at;
        continue;
      }
      for (const auto& socket : job->sockets) {
        watched.push_back({socket.second.get(), POLLIN, 0});
        owners.push_back(job.get());
      }
    }
    const int timeout = next_start ? MillisecondsUntil(*next_start) : -1;
    if (::poll(watched.data(), watched.size(), timeout) < 0 && errno != EINTR) {
      LogError(std::string("launcher: poll failed: ") + std::strerror(errno));
      stopping_ = true;
      break;
    }
    // A reload may have replaced the jobs the descriptors belong to: look again.
    if (watched[0].revents != 0 && HandleSignals()) continue;
    for (size_t index = 1; index < watched.size(); ++index) {
      Job& job = *owners[index];
      if (watched[index].revents != 0 && job.pid == 0 && !job.start_at) RequestStart(job);
    }
    const Clock::time_point now = Clock::now();
    for (const std::unique_ptr<Job>& job : jobs_) {
      if (job->pid == 0 && job->start_at && *job->start_at <= now) Spawn(*job);
    }
  }
  Shutdown();
  return 0;
}

void Launcher::Shutdown() {
  for (const std::unique_ptr<Job>& job : jobs_) {
    if (job->pid > 0) ::kill(job->pid, SIGTERM);
  }
  for (const auto& departed : departed_) ::kill(departed.first, SIGTERM);
  const Clock::time_point deadline = Clock::now() + kStopGrace;
  for (;;) {
    Reap(/*block=*/false);
    if (!HasChildren() || Clock::now() >= deadline) break;
    pollfd signals{signals_.get(), POLLIN, 0};
    ::poll(&signals, 1, MillisecondsUntil(deadline));
    signalfd_siginfo info{};
    while (::read(signals_.get(), &info, sizeof info) > 0) {
    }
  }
  if (HasChildren()) {
    for (const std::unique_ptr<Job>& job : jobs_) {
      if (job->pid > 0) ::kill(job->pid, SIGKILL);
    }
    for (const auto& departed : departed_) ::kill(departed.first, SIGKILL);
    Reap(/*block=*/true);
  }
  for (const std::unique_ptr<Job>& job : jobs_) Unload(*job);
  jobs_.clear();
  ::unlink(JobStatusPath(root_).c_str());
  pid_file_->Remove();
}

void Launcher::WriteStatus() {
  LauncherStatus status{::getpid(), loads_, {}};
  for (const std::unique_ptr<Job>& job : jobs_) {
    status.jobs.push_back(
        {job->description.label, job->pid > 0 ? std::optional<pid_t>(job->pid) : std::nullopt});
  }
  if (const std::error_code error = WriteLauncherStatus(root_, status)) {
    LogError("cannot write the job status: " + error.message());
  }
}

}  // namespace sim::launcher
