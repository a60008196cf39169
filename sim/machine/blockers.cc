#include "sim/machine/blockers.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string>

namespace sim {

bool IsProcessAlive(pid_t pid) {
  if (pid <= 0) return false;
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  // A process that has exited but was not waited for yet (its parent was killed, and the
  // host's init is slow to reap) holds nothing any more; the third field of its stat line
  // says so.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const size_t name_end = line.rfind(')');
  return name_end == std::string::npos || line.compare(name_end + 1, 3, " Z ") != 0;
}

void AddBlocker(Model& model, pid_t pid, std::string_view bsd_name) {
  const std::string name = mcom::FormatDiskName(ParseDiskNameOrThrow(bsd_name));
  for (const Blocker& blocker : model.blockers) {
    if (blocker.pid == pid && blocker.bsd_name == name) return;
  }
  model.blockers.push_back(Blocker{pid, name});
}

void RemoveBlocker(Model& model, pid_t pid, std::string_view bsd_name) {
  const std::optional<mcom::DiskName> parsed =
      mcom::ParseDiskName(bsd_name.starts_with("/dev/") ? bsd_name.substr(5) : bsd_name);
  if (!parsed) return;
  const std::string name = mcom::FormatDiskName(*parsed);
  std::erase_if(model.blockers, [&](const Blocker& blocker) {
    return blocker.pid == pid && blocker.bsd_name == name;
  });
}

std::optional<Blocker> FindBlocker(const Model& model, mcom::DiskName name) {
  const std::string own = mcom::FormatDiskName(name);
  const std::string whole = mcom::FormatDiskName(name.Whole());
  for (const Blocker& blocker : model.blockers) {
    if ((blocker.bsd_name == own || blocker.bsd_name == whole) && IsProcessAlive(blocker.pid)) {
      return blocker;
    }
  }
  return std::nullopt;
}

void AddClaim(Model& model, pid_t pid, std::string_view bsd_name) {
  const std::string name = mcom::FormatDiskName(ParseDiskNameOrThrow(bsd_name));
  for (const Claim& claim : model.claims) {
    if (claim.pid == pid && claim.bsd_name == name) return;
  }
  model.claims.push_back(Claim{pid, name});
}

void RemoveClaim(Model& model, pid_t pid, std::string_view bsd_name) {
  const std::optional<mcom::DiskName> parsed =
      mcom::ParseDiskName(bsd_name.starts_with("/dev/") ? bsd_name.substr(5) : bsd_name);
  if (!parsed) return;
  const std::string name = mcom::FormatDiskName(*parsed);
  std::erase_if(model.claims,
                [&](const Claim& claim) { return claim.pid == pid && claim.bsd_name == name; });
}

void DropDeadBlockers(Model& model) {
  std::erase_if(model.blockers,
                [](const Blocker& blocker) { return !IsProcessAlive(blocker.pid); });
  std::erase_if(model.claims, [](const Claim& claim) { return !IsProcessAlive(claim.pid); });
}

}  // namespace sim
