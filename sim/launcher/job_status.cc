#include "sim/launcher/job_status.h"

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/property_list.h"
#include "sim/launcher/launcher_paths.h"
#include "sim/machine/atomic_file.h"

namespace sim::launcher {

namespace cf = mcom::cf;

std::error_code WriteLauncherStatus(const mcom::FilePath& root, const LauncherStatus& status) {
  const cf::Ref<cf::MutableArray> jobs = cf::MutableArray::Create();
  for (const JobStatus& job : status.jobs) {
    const cf::Ref<cf::MutableDictionary> entry = cf::MutableDictionary::Create();
    entry->SetValue("Label", cf::String::Create(job.label));
    if (job.pid) entry->SetValue("PID", cf::Number::CreateInteger(*job.pid));
    jobs->Append(entry);
  }
  const cf::Ref<cf::MutableDictionary> plist = cf::MutableDictionary::Create();
  plist->SetValue("PID", cf::Number::CreateInteger(status.pid));
  plist->SetValue("Loads", cf::Number::CreateUnsigned(status.loads));
  plist->SetValue("Jobs", jobs);
  const cf::Ref<cf::Data> data = cf::PropertyListToData(plist, cf::PropertyListFormat::kXML);
  if (!data) return std::make_error_code(std::errc::invalid_argument);
  return WriteFileAtomically(JobStatusPath(root), data->AsStringView(), 0644);
}

std::optional<LauncherStatus> ReadLauncherStatus(const mcom::FilePath& root) {
  const cf::Ref<cf::Dictionary> plist =
      cf::As<cf::Dictionary>(cf::PropertyListFromFile(JobStatusPath(root)));
  const std::optional<int64_t> pid = cf::GetInteger(plist, "PID");
  const std::optional<uint64_t> loads = plist ? plist->GetUnsigned("Loads") : std::nullopt;
  const cf::Ref<cf::Array> jobs = cf::GetArray(plist, "Jobs");
  if (!pid || !loads || !jobs) return std::nullopt;
  LauncherStatus status{static_cast<pid_t>(*pid), *loads, {}};
  for (size_t index = 0; index < jobs->Count(); ++index) {
    const cf::Ref<cf::Dictionary> job = jobs->Get<cf::Dictionary>(index);
    const std::optional<std::string> label = cf::GetString(job, "Label");
    if (!label) return std::nullopt;
    const std::optional<int64_t> job_pid = job->GetInteger("PID");
    status.jobs.push_back(
        {*label, job_pid ? std::optional<pid_t>(static_cast<pid_t>(*job_pid)) : std::nullopt});
  }
  return status;
}

}  // namespace sim::launcher
