#include "sim/launcher/launch_job.h"

#include <optional>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "sim/machine/machine_error.h"

namespace sim::launcher {
namespace {

namespace cf = mcom::cf;

[[noreturn]] void Fail(const std::string& problem) { throw MachineError(problem); }

// The string at `key`, nothing when missing; present with another type is a problem.
std::optional<std::string> OptionalString(const cf::Dictionary& plist, const char* key) {
  if (!plist.Contains(key)) return std::nullopt;
  std::optional<std::string> value = plist.GetString(key);
  if (!value) Fail(std::string(key) + ": not a string");
  return value;
}

std::string OptionalPath(const cf::Dictionary& plist, const char* key) {
  std::string path = OptionalString(plist, key).value_or("");
  if (plist.Contains(key) && (path.empty() || path.front() != '/')) {
    Fail(std::string(key) + ": not an absolute path: " + path);
  }
  return path;
}

std::vector<std::string> ProgramArguments(const cf::Dictionary& plist) {
  std::vector<std::string> arguments;
  if (!plist.Contains("ProgramArguments")) return arguments;
  const cf::Ref<cf::Array> array = plist.GetArray("ProgramArguments");
  for (size_t index = 0; array && index < array->Count(); ++index) {
    const cf::Ref<cf::String> argument = array->Get<cf::String>(index);
    if (!argument) break;
    arguments.push_back(argument->utf8());
  }
  if (!array || arguments.size() != array->Count()) {
    Fail("ProgramArguments: not an array of strings");
  }
  return arguments;
}

bool IsServiceName(const std::string& name) {
  return !name.empty() && name.size() < 256 && name != "." && name != ".." &&
         name.find_first_of("/,") == std::string::npos;
}

std::vector<std::string> MachServices(const cf::Dictionary& plist) {
  std::vector<std::string> names;
  if (!plist.Contains("MachServices")) return names;
  const cf::Ref<cf::Dictionary> services = plist.GetDictionary("MachServices");
  if (!services) Fail("MachServices: not a dictionary");
  for (const auto& [name, value] : *services) {
    if (!IsServiceName(name)) Fail("MachServices: not a service name: " + name);
    const cf::Ref<cf::Boolean> flag = cf::As<cf::Boolean>(value);
    if (!cf::As<cf::Dictionary>(value) && !(flag && flag->value())) {
      Fail("MachServices." + name + ": neither true nor a dictionary");
    }
    names.push_back(name);
  }
  return names;
}

}  // namespace

LaunchJob ParseLaunchJob(const cf::Ref<cf::Object>& object) {
  const cf::Ref<cf::Dictionary> plist = cf::As<cf::Dictionary>(object);
  if (!plist) Fail("not a dictionary");
  LaunchJob job;
  job.label = OptionalString(*plist, "Label").value_or("");
  if (job.label.empty()) Fail("missing the required key Label");
  const std::optional<std::string> program = OptionalString(*plist, "Program");
  job.arguments = ProgramArguments(*plist);
  if (!program && job.arguments.empty()) {
    Fail("missing the required key Program or ProgramArguments");
  }
  job.program = program ? *program : job.arguments.front();
  if (job.program.empty() || job.program.front() != '/') {
    Fail("not an absolute program path: " + job.program);
  }
  if (job.arguments.empty()) job.arguments.push_back(job.program);
  job.mach_services = MachServices(*plist);
  job.standard_out_path = OptionalPath(*plist, "StandardOutPath");
  job.standard_error_path = OptionalPath(*plist, "StandardErrorPath");
  if (plist->Contains("ThrottleInterval")) {
    const std::optional<int64_t> interval = plist->GetInteger("ThrottleInterval");
    if (!interval || *interval < 0 || *interval > 86400) {
      Fail("ThrottleInterval: not a number of seconds from 0 to 86400");
    }
    job.throttle_interval = static_cast<int>(*interval);
  }
  return job;
}

}  // namespace sim::launcher
