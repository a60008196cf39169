#include "sim/macsim/machine_report.h"

#include <cstdio>
#include <sstream>

#include "sim/launcher/job_status.h"
#include "sim/launcher/pid_file.h"
#include "sim/machine/blockers.h"
#include "sim/machine/mount_table.h"

namespace macsim {
namespace {

const char* YesNo(bool value) { return value ? "yes" : "no"; }

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

std::string Join(const std::vector<std::string>& values, const char* separator) {
  std::string joined;
  for (const std::string& value : values) {
    if (!joined.empty()) joined += separator;
    joined += value;
  }
  return joined;
}

void ReportFacts(std::ostream& out, const sim::Facts& facts) {
  out << "Facts:\n"
      << "  model: " << facts.model << "\n"
      << "  T2 controller: " << YesNo(facts.has_t2) << "\n"
      << "  system: " << facts.product_name << " " << facts.product_version << " ("
      << facts.build_version << ")\n"
      << "  host name: " << facts.host_name << "\n"
      << "  full disk access: " << YesNo(facts.full_disk_access) << "\n"
      << "  administrator approves: " << YesNo(facts.administrator_approves) << "\n"
      << "  recovery environment: " << YesNo(facts.recovery_environment) << "\n";
}

std::string VolumeLine(const sim::Model& model, const sim::Volume& volume) {
  std::string line =
      mcom::FormatDiskName(volume.disk) + "  \"" + volume.name + "\"  " + volume.file_system;
  if (!volume.roles.empty()) line += "  roles " + Join(volume.roles, ",");
  if (!volume.group_uuid.empty()) line += "  group " + volume.group_uuid;
  line += "  used " + FormatSize(volume.used);
  if (sim::IsRunningSystemVolume(model, volume)) {
    line += "  running system";
  } else if (volume.is_mounted()) {
    line += "  mounted at " + volume.mount_point;
    if (!volume.mount_options.empty()) line += " (" + Join(volume.mount_options, ",") + ")";
  } else {
    line += "  not mounted";
  }
  return line + "  uuid " + volume.uuid;
}

void ReportDisks(std::ostream& out, const sim::Model& model) {
  out << "Disks:\n";
  if (model.disks.empty()) out << "  none\n";
  for (const sim::Disk& disk : model.disks) {
    out << "  " << mcom::FormatDiskName(disk.name()) << "  " << sim::DiskKindName(disk.kind) << "  "
        << disk.protocol << "  \"" << disk.media_name << "\"  " << FormatSize(disk.size) << "  "
        << (disk.scheme == "GPT" ? "GUID partition map" : "no partition map");
    if (!disk.tier.empty()) out << "  tier " << disk.tier;
    if (!disk.image_path.empty())
      out << "  image " << disk.image_path << " (" << disk.image_mode << ")";
    if (const auto plugged = model.plugged.find(mcom::FormatDiskName(disk.name()));
        plugged != model.plugged.end()) {
      out << "  plugged " << plugged->second;
    }
    out << "\n";
    for (const sim::Partition& partition : disk.partitions) {
      const mcom::DiskName name{disk.number, partition.slice};
      out << "    " << mcom::FormatDiskName(name) << "  \"" << partition.name << "\"  "
          << partition.type << "  " << FormatSize(partition.size);
      if (const sim::Container* container =
              sim::ContainerOnStore(model, mcom::FormatDiskName(name))) {
        out << "  store of " << mcom::FormatDiskName(container->name());
      }
      out << "\n";
      if (const sim::Volume* volume = sim::VolumeOnPartition(model, name)) {
        out << "      " << VolumeLine(model, *volume) << "\n";
      }
    }
    if (const sim::Container* container =
            sim::ContainerOnStore(model, mcom::FormatDiskName(disk.name()))) {
      out << "    whole disk is the store of " << mcom::FormatDiskName(container->name()) << "\n";
    }
  }
}

void ReportContainers(std::ostream& out, const sim::Model& model) {
  out << "Containers:\n";
  if (model.containers.empty()) out << "  none\n";
  for (const sim::Container& container : model.containers) {
    out << "  " << mcom::FormatDiskName(container.name()) << "  APFS container  "
        << FormatSize(container.size) << "  stores " << Join(container.stores, ",") << "  uuid "
        << container.uuid << "\n";
    for (const sim::Volume* volume : sim::VolumesOfContainer(model, container.number)) {
      out << "    " << VolumeLine(model, *volume) << "\n";
    }
  }
}

void ReportRest(std::ostream& out, const sim::Model& model) {
  out << "Mounts:\n";
  const std::vector<sim::MountTableEntry> table = sim::MountTable(model);
  if (table.empty()) out << "  none\n";
  for (const sim::MountTableEntry& entry : table) {
    out << "  " << entry.bsd_name << " on " << entry.mount_point << " (" << entry.file_system;
    for (const std::string& option : entry.options) out << ", " << option;
    out << ")\n";
  }
  out << "Boot:\n"
      << "  device: " << OrDash(model.boot.device) << "\n"
      << "  folder: " << OrDash(model.boot.folder) << "\n"
      << "  boot.efi: " << OrDash(model.boot.boot_efi) << "\n"
      << "  restart requested: " << YesNo(model.boot.restart_requested) << "\n";
  out << "Faults:\n";
  if (model.faults.empty()) out << "  none\n";
  for (const auto& [name, value] : model.faults) out << "  " << name << " = " << value << "\n";
  out << "Blockers:\n";
  bool any = false;
  for (const sim::Blocker& blocker : model.blockers) {
    if (!sim::IsProcessAlive(blocker.pid)) continue;
    out << "  " << blocker.bsd_name << " by process " << blocker.pid << "\n";
    any = true;
  }
  if (!any) out << "  none\n";
  out << "Busy:\n";
  any = false;
  for (const sim::Claim& claim : model.claims) {
    if (!sim::IsProcessAlive(claim.pid)) continue;
    out << "  " << claim.bsd_name << " by process " << claim.pid << "\n";
    any = true;
  }
  if (!any) out << "  none\n";
}

// The launcher and its jobs, from its pid file and status file: only a running launcher's
// status is current.
void ReportLauncher(std::ostream& out, const mcom::FilePath& root) {
  out << "Launcher:\n";
  const std::optional<pid_t> pid = sim::launcher::RunningLauncherPid(root);
  if (!pid) {
    out << "  not running\n";
    return;
  }
  out << "  running, pid " << *pid << "\n";
  const std::optional<sim::launcher::LauncherStatus> status =
      sim::launcher::ReadLauncherStatus(root);
  if (!status) return;
  if (status->jobs.empty()) out << "  no jobs\n";
  for (const sim::launcher::JobStatus& job : status->jobs) {
    out << "  " << job.label << "  "
        << (job.pid ? "pid " + std::to_string(*job.pid) : std::string("not running")) << "\n";
  }
}

}  // namespace

std::string FormatSize(uint64_t bytes) {
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB"};
  if (bytes < 1000) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1000;
  size_t unit = 0;
  while (value >= 1000 && unit + 1 < std::size(kUnits)) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string FormatMachineReport(const mcom::FilePath& root, const sim::Model& model) {
  std::ostringstream out;
  out << "Machine at " << root.string() << "\n";
  ReportFacts(out, model.facts);
  ReportDisks(out, model);
  ReportContainers(out, model);
  ReportRest(out, model);
  ReportLauncher(out, root);
  return out.str();
}

}  // namespace macsim
