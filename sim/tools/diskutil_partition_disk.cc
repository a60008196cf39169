// diskutil partitionDisk DISK [COUNT] GPT FORMAT NAME SIZE ...: erases a whole disk, writes a
// GUID partition map with an EFI system partition first, formats each partition (HFS+, or an
// APFS container with one volume) and mounts the new volumes. A disk that an attached image's
// file lies on, or that another tool works on, is busy (busy_disks.h).

#include <string>
#include <variant>
#include <vector>

#include <unistd.h>

#include "sim/machine/apfs_operations.h"
#include "sim/machine/busy_disks.h"
#include "sim/machine/disk_operations.h"
#include "sim/machine/mounting.h"
#include "sim/tools/diskutil_commands.h"
#include "sim/tools/diskutil_disk_list.h"
#include "sim/tools/diskutil_disk_reference.h"
#include "sim/tools/diskutil_partition_layout.h"

namespace sim::tools::diskutil {
namespace {

constexpr const char* kUsage =
    "diskutil partitionDisk MountPoint|DiskIdentifier|DeviceNode [numberOfPartitions] GPT "
    "[part1Format part1Name part1Size part2Format part2Name part2Size ...]";
constexpr const char* kCouldNotOpen = "Error: -69877: Couldn't open device";
constexpr const char* kCouldNotUnmount = "Error: -69888: Couldn't unmount disk";
constexpr const char* kTooSmall = "Error: -69519: The target disk is too small for this operation";

// Room the partition map needs besides the partitions: the protective MBR and both GPT
// tables, with alignment to spare.
constexpr uint64_t kMapOverhead = 1024 * 1024;

struct Formatted {
  std::vector<std::string> lines;         // progress lines for standard output
  std::vector<mcom::DiskName> unmounted;  // volumes that could not be mounted afterwards
};
using Outcome = std::variant<Formatted, std::string>;

// Checks that everything can be done before anything is changed, so a refusal leaves the
// disk as it was.
std::optional<std::string> CheckTarget(const mcom::FilePath& root, const Model& model,
                                       const std::string& argument, const PartitionLayout& layout,
                                       mcom::DiskName* whole) {
  const std::optional<DiskReference> reference = FindDiskReference(model, argument);
  if (!reference) return CouldNotFindDisk(argument);
  if (reference->kind != DiskReference::Kind::kWholeDisk) {
    return "Error: " + mcom::FormatDiskName(reference->name) + " is not a whole disk";
  }
  const Disk& disk = *FindDisk(model, reference->name.disk);
  if (HoldsRunningSystem(model, reference->name)) return kCouldNotUnmount;
  if (!disk.writable) return kCouldNotOpen;
  if (WhyBusy(root, model, reference->name, ::getpid())) {
    return std::string(kCouldNotUnmount) + ": Resource busy";
  }
  uint64_t needed = kEFIPartitionSize + kMapOverhead;
  for (const PlannedPartition& partition : layout.partitions) {
    // A remainder partition still needs some room of its own.
    needed += partition.size == 0 ? kMapOverhead : partition.size + 4096;
  }
  if (needed > disk.size) return kTooSmall;
  *whole = reference->name;
  return std::nullopt;
}

Outcome Partition(const mcom::FilePath& root, Model& model, const std::string& argument,
                  const PartitionLayout& layout) {
  mcom::DiskName whole;
  if (std::optional<std::string> refusal = CheckTarget(root, model, argument, layout, &whole)) {
    return *refusal;
  }
  std::vector<PartitionSpec> specs;
  for (const PlannedPartition& partition : layout.partitions) {
    specs.push_back({std::string(partition.format == PartitionFormat::kAPFS ? kAPFSPartitionGUID
                                                                            : kHFSPartitionGUID),
                     partition.name, partition.size});
  }
  Formatted formatted;
  formatted.lines = {"Unmounting disk", "Creating the partition map",
                     "Waiting for partitions to activate"};
  const std::vector<mcom::DiskName> names = PartitionDisk(root, model, whole.disk, specs);
  for (size_t i = 0; i < names.size(); ++i) {
    const PlannedPartition& planned = layout.partitions[i];
    mcom::DiskName volume = names[i];
    if (planned.format == PartitionFormat::kAPFS) {
      formatted.lines.push_back("Formatting " + mcom::FormatDiskName(names[i]) +
                                " as APFS with name " + planned.name);
      const uint32_t container = CreateContainer(root, model, {names[i]});
      volume = AddVolume(root, model, container, {planned.name, {}, {}});
    } else {
      formatted.lines.push_back("Formatting " + mcom::FormatDiskName(names[i]) +
                                " as Mac OS Extended (Journaled) with name " + planned.name);
      CreateHFSVolume(root, model, names[i], planned.name);
    }
    formatted.lines.push_back("Mounting disk");
    if (!Mount(root, model, volume, {}).ok()) formatted.unmounted.push_back(volume);
  }
  return formatted;
}

}  // namespace

int RunPartitionDisk(ToolContext& context, Arguments arguments) {
  if (arguments.size() < 2) return context.UsageError(kUsage);
  const std::string& argument = arguments.front();
  const std::variant<PartitionLayout, LayoutError> parsed =
      ParsePartitionLayout(arguments.subspan(1));
  if (const LayoutError* error = std::get_if<LayoutError>(&parsed)) {
    if (error->usage) return context.UsageError(kUsage);
    return ReportError(context, "Error: " + error->message);
  }
  const PartitionLayout& layout = std::get<PartitionLayout>(parsed);

  std::string disk;
  {
    const Model model = context.machine().Read();
    const std::optional<DiskReference> reference = FindDiskReference(model, argument);
    if (!reference) return ReportError(context, CouldNotFindDisk(argument));
    disk = mcom::FormatDiskName(reference->name);
  }
  context.out() << "Started partitioning on " << disk << std::endl;
  DiskutilHook hook(context, "partitionDisk", kCouldNotOpen);
  if (const std::optional<int> status = hook.BeforeWork()) return *status;

  const Outcome outcome = context.machine().Change(
      [&](Model& model) { return Partition(context.root(), model, argument, layout); });
  if (const std::string* error = std::get_if<std::string>(&outcome)) {
    return ReportError(context, *error);
  }
  const Formatted& formatted = std::get<Formatted>(outcome);
  for (const std::string& line : formatted.lines) context.out() << line << '\n';
  context.out() << "Finished partitioning on " << disk << '\n';
  const Model model = context.machine().Read();
  if (const std::optional<DiskReference> reference = FindDiskReference(model, disk)) {
    WriteDiskList(model, reference->name.disk, context.out());
  }
  context.out().flush();
  // The partitions are there; a volume that could not be mounted (a process refuses mounts
  // of the disk) is reported the way diskutil's mount reports it.
  for (const mcom::DiskName& volume : formatted.unmounted) {
    context.err() << "Volume on " << mcom::FormatDiskName(volume) << " failed to mount"
                  << std::endl;
  }
  return hook.AfterWork(0);
}

}  // namespace sim::tools::diskutil
