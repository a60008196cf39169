#include "sim/launcher/running_launcher.h"

#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/property_list.h"
#include "sim/launcher/job_status.h"
#include "sim/launcher/launcher_control.h"
#include "sim/launcher/launcher_paths.h"
#include "sim/launcher/pid_file.h"
#include "sim/machine/atomic_file.h"
#include "tests/support/child_process.h"

namespace sim::launcher::testing {
namespace {

namespace cf = mcom::cf;

// Runs macsim; its standard output, or std::runtime_error with its message.
std::string RunMacsim(const std::string& verb, const mcom::FilePath& root) {
  const ::testing::ChildRun run = ::testing::RunCapturing(MACSIM_PATH, {verb, root.string()});
  if (!run.status) return run.output;
  std::string message =
      run.error.empty() ? "macsim " + verb + ": " + run.status.message() : run.error;
  if (message.starts_with("macsim: ")) message.erase(0, 8);
  while (!message.empty() && message.back() == '\n') message.pop_back();
  throw std::runtime_error(message);
}

cf::Ref<cf::Object> Strings(const std::vector<std::string>& values) {
  cf::Array::Values strings;
  for (const std::string& value : values) strings.push_back(cf::String::Create(value));
  return cf::Array::Create(std::move(strings));
}

}  // namespace

void WriteJob(const mcom::FilePath& root, const JobDescription& job) {
  const cf::Ref<cf::MutableDictionary> plist = cf::MutableDictionary::Create();
  plist->SetValue("Label", cf::String::Create(job.label));
  std::vector<std::string> arguments{job.program};
  arguments.insert(arguments.end(), job.arguments.begin(), job.arguments.end());
  plist->SetValue("ProgramArguments", Strings(arguments));
  if (!job.mach_services.empty()) {
    const cf::Ref<cf::MutableDictionary> services = cf::MutableDictionary::Create();
    for (const std::string& name : job.mach_services) services->SetValue(name, cf::Boolean::True());
    plist->SetValue("MachServices", services);
  }
  if (!job.standard_out_path.empty()) {
    plist->SetValue("StandardOutPath", cf::String::Create(job.standard_out_path));
  }
  if (!job.standard_error_path.empty()) {
    plist->SetValue("StandardErrorPath", cf::String::Create(job.standard_error_path));
  }
  if (job.throttle_interval) {
    plist->SetValue("ThrottleInterval", cf::Number::CreateInteger(*job.throttle_interval));
  }
  const cf::Ref<cf::Data> data = cf::PropertyListToData(plist, cf::PropertyListFormat::kXML);
  const mcom::FilePath path = LaunchDaemonsFolder(root).Join(job.label + ".plist");
  const std::error_code error = data ? WriteFileAtomically(path, data->AsStringView(), 0644)
                                     : std::make_error_code(std::errc::invalid_argument);
  if (error) throw std::runtime_error("cannot write " + path.string() + ": " + error.message());
}

void RemoveJob(const mcom::FilePath& root, const std::string& label) {
  ::unlink(LaunchDaemonsFolder(root).Join(label + ".plist").c_str());
}

RunningLauncher::RunningLauncher(const mcom::FilePath& root) : root_(root) {
  const std::string output = RunMacsim("start", root);
  pid_ = static_cast<pid_t>(std::stol(output));
}

RunningLauncher::~RunningLauncher() {
  try {
    if (!stopped_) Stop();
  } catch (const std::exception&) {
  }
}

void RunningLauncher::Reload() { ReloadLauncher(root_); }

void RunningLauncher::Stop() {
  stopped_ = true;
  RunMacsim("stop", root_);
}

JobPids ReadJobPids(const mcom::FilePath& root) {
  JobPids pids;
  if (!RunningLauncherPid(root)) return pids;
  const std::optional<LauncherStatus> status = ReadLauncherStatus(root);
  if (!status) return pids;
  for (const JobStatus& job : status->jobs) pids[job.label] = job.pid;
  return pids;
}

JobPids WaitForJobPids(const mcom::FilePath& root,
                       const std::function<bool(const JobPids&)>& condition,
                       std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    JobPids pids = ReadJobPids(root);
    if (condition(pids)) return pids;
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("the jobs of " + root.string() + " never got there");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace sim::launcher::testing
