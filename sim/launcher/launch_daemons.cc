#include "sim/launcher/launch_daemons.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "core/foundation/property_list.h"
#include "sim/launcher/launcher_paths.h"
#include "sim/machine/machine_error.h"

namespace sim::launcher {
namespace {

std::vector<std::string> PlistNames(const mcom::FilePath& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder.string(), error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 6 && name.ends_with(".plist")) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<LaunchJob> ReadLaunchDaemons(const mcom::FilePath& root,
                                         std::vector<std::string>* problems) {
  const mcom::FilePath folder = LaunchDaemonsFolder(root);
  std::vector<LaunchJob> jobs;
  std::map<std::string, std::string> files_by_label;
  for (const std::string& name : PlistNames(folder)) {
    const mcom::FilePath path = folder.Join(name);
    const std::string mac_path = "/Library/LaunchDaemons/" + name;
    const auto skip = [&](const std::string& problem) {
      problems->push_back(mac_path + ": skipped: ");
      problems->back() += problem;
    };
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
      skip("not a regular file");
      continue;
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      skip("dubious permissions: writable by group or others");
      continue;
    }
    const mcom::cf::Ref<mcom::cf::Object> plist = mcom::cf::PropertyListFromFile(path);
    if (!plist) {
      skip("not a property list");
      continue;
    }
    try {
      LaunchJob job = ParseLaunchJob(plist);
      const auto [taken, inserted] = files_by_label.emplace(job.label, mac_path);
      if (!inserted) {
        skip("the label " + job.label + " is taken by " + taken->second);
        continue;
      }
      jobs.push_back(std::move(job));
    } catch (const MachineError& error) {
      skip(error.what());
    }
  }
  return jobs;
}

}  // namespace sim::launcher
