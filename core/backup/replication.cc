#include "core/backup/replication.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>

#include "core/discovery/apfs_container.h"
#include "core/discovery/disk_arbitration.h"
#include "core/foundation/error.h"
#include "core/foundation/interruption.h"
#include "core/foundation/log.h"
#include "core/foundation/tool_run.h"

namespace {

constexpr char kAsr[] = "/usr/sbin/asr";

bool Contains(const std::optional<APFSVolumeRole>& role, APFSVolumeRole wanted) {
  return role && *role == wanted;
}

// Mounts the given volumes again after a replication; fire and forget, as the tool's own
// unmounts are.
void RemountVolumes(const std::vector<mcom::DiskName>& volumes) {
  mcom::disk_arbitration::Session session;
  for (const mcom::DiskName& volume : volumes) {
    if (std::optional<mcom::disk_arbitration::Disk> disk =
            mcom::disk_arbitration::Disk::FromBSDName(session, mcom::FormatDiskName(volume))) {
      disk->MountInBackground();
    }
  }
}

}  // namespace

ReplicationPlan PlanReplication(const std::vector<APFSVolumeInfo>& volumes) {
  // The volumes without a group sort first (an empty optional is less than any string), then
  // the groups in byte order of their UUID text; within a group the registry's order stays.
  std::map<std::optional<std::string>, std::vector<const APFSVolumeInfo*>> groups;
  ReplicationPlan plan;
  for (const APFSVolumeInfo& volume : volumes) {
    groups[volume.volume_group].push_back(&volume);
    if (!volume.role || *volume.role != APFSVolumeRole::kOther) plan.remount.push_back(volume.name);
  }
  std::vector<ReplicationPass> ungrouped_without_role;
  std::vector<ReplicationPass> ungrouped;
  std::vector<ReplicationPass> grouped;
  for (const auto& [group, members] : groups) {
    if (!group) {
      for (const APFSVolumeInfo* volume : members) {
        ungrouped.push_back({volume->uuid, 1});
        if (!volume->role) ungrouped_without_role.push_back({volume->uuid, 1});
      }
      continue;
    }
    const APFSVolumeInfo* start = members.front();
    for (const APFSVolumeInfo* volume : members) {
      if (Contains(volume->role, APFSVolumeRole::kSystem)) {
        start = volume;
        break;
      }
    }
    grouped.push_back({start->uuid, members.size()});
  }
  // A run with --sourcevolumeUUID copies that volume's group alone. Once the container needs
  // several runs, the ungrouped volumes with a role (Preboot, Recovery, VM) would be copied
  // by none of them, and a Mac restored without its Preboot volume cannot start: each gets a
  // run of its own then.
  const bool several_runs = ungrouped_without_role.size() + grouped.size() >= 2;
  plan.passes = several_runs ? ungrouped : ungrouped_without_role;
  plan.passes.insert(plan.passes.end(), grouped.begin(), grouped.end());
  plan.whole_container = plan.passes.size() < 2;
  for (const ReplicationPass& pass : plan.passes) plan.total += pass.volume_count;
  return plan;
}

void ReplicationProgress::StartVolume(double fraction) {
  current_pass_ = current_pass_ ? *current_pass_ + 1 : 0;
  // The plan counts the volumes of its passes; a whole-container run announces every volume
  // it copies, which may be more. The total grows with them, so no text ever reads (3/2).
  total_ = std::max(total_, *current_pass_ + 1);
  Fraction(fraction);
  char text[64];
  std::snprintf(text, sizeof text, "Replicating (%lu/%lu)\u2026",
                static_cast<unsigned long>(*current_pass_ + 1), static_cast<unsigned long>(total_));
  Text(text);
}

void ReplicationProgress::Fraction(double fraction) {
  if (!current_pass_) return;
  // A grown total would make the overall fraction drop; it holds where it was until the copy
  // catches up, so it never goes down and never passes 1.
  const double overall =
      (static_cast<double>(*current_pass_) + fraction) / static_cast<double>(total_);
  reported_ = std::clamp(overall, reported_, 1.0);
  if (callback_) callback_(reported_);
}

void ReplicationProgress::Text(std::string text) {
  if (callback_) callback_(std::move(text));
}

void ReplicationOutput::HandleLine(const std::string& line) {
  if (line.empty()) return;
  if (line[0] == '\t') {
    progress_.Text(line.substr(1));
    return;
  }
  unsigned done = 0;
  unsigned all = 0;
  if (std::sscanf(line.c_str(), "PSTT\t%u\t%u\t", &done, &all) == 2 && all != 0) {
    progress_.StartVolume(static_cast<double>(done) / static_cast<double>(all));
    return;
  }
  if (std::sscanf(line.c_str(), "PINF\t%u\t%u\t", &done, &all) == 2 && all != 0) {
    progress_.Fraction(static_cast<double>(done) / static_cast<double>(all));
    return;
  }
  if (line.compare(0, 5, "XSTA\t") == 0 || line.compare(0, 5, "PSTP\t") == 0) return;
  if (!collected_.empty()) collected_ += ": ";
  collected_ += line;
}

std::vector<std::string> ReplicationArguments(mcom::DiskName source,
                                              const std::optional<std::string>& volume_uuid,
                                              mcom::DiskName target, bool erase) {
  std::vector<std::string> arguments{"restore",
                                     "-s",
                                     "/dev/" + mcom::FormatDiskName(source),
                                     "-t",
                                     "/dev/" + mcom::FormatDiskName(target),
                                     "--useReplication",
                                     "--puppetstrings",
                                     "--noprompt"};
  if (volume_uuid) {
    arguments.push_back("--sourcevolumeUUID");
    arguments.push_back(*volume_uuid);
  }
  if (erase) arguments.push_back("--erase");
  return arguments;
}

void RunReplicationPass(mcom::DiskName source, const std::optional<std::string>& volume_uuid,
                        mcom::DiskName target, bool erase, ReplicationProgress& progress) {
  mcom::ThrowIfInterrupted("ReplicateContainer");
  mcom::log::Default("replicate %{public}s (%{public}s) -> %{public}s",
                     mcom::FormatDiskName(source), volume_uuid.value_or("whole"),
                     mcom::FormatDiskName(target));
  mcom::Result<mcom::LineReadingTool> tool =
      mcom::LineReadingTool::Start(kAsr, ReplicationArguments(source, volume_uuid, target, erase));
  if (!tool)
    throw Error("ReplicateContainer", "failed to run /usr/sbin/asr: " + tool.error().message());

  ReplicationOutput output(progress);
  while (std::optional<std::string> line = tool->ReadLine()) output.HandleLine(*line);
  if (const std::error_code status = tool->Wait()) {
    // A tool that dies without a word (a signal, a crash) must still leave a reason.
    throw Error("ReplicateContainer",
                output.collected().empty()
                    ? "asr exited with status " + std::to_string(status.value())
                    : output.collected());
  }
  std::cout << output.collected() << std::endl;
}

void ReplicateContainer(APFSContainerName source, APFSContainerName target,
                        ProgressCallback progress) {
  const ReplicationPlan plan =
      PlanReplication(mcom::iokit::AllValues(mcom::APFSVolumesOfContainer(source)));
  ReplicationProgress replication(plan.total, std::move(progress));
  if (plan.whole_container) {
    RunReplicationPass(source.name, std::nullopt, target.name, true, replication);
  } else {
    bool erase = true;
    for (const ReplicationPass& pass : plan.passes) {
      RunReplicationPass(source.name, pass.source_volume_uuid, target.name, erase, replication);
      erase = false;
    }
  }
  RemountVolumes(plan.remount);
}
