// diskutil apfs createContainer DISK: a new, empty APFS container on a disk or partition.
//
// A blank whole disk (no partition scheme, as an image made with layout NONE) becomes the
// container's physical store itself, so the container hangs directly below the disk; a whole
// disk with a partition scheme is repartitioned first (EFI and one APFS partition), and a
// partition is used as it is, losing the HFS+ volume it may hold. A disk or partition that an
// attached image's file lies on, or that another tool works on, is busy (busy_disks.h).

#include <string>
#include <variant>
#include <vector>

#include <unistd.h>

#include "sim/machine/apfs_operations.h"
#include "sim/machine/busy_disks.h"
#include "sim/machine/disk_operations.h"
#include "sim/tools/diskutil_commands.h"
#include "sim/tools/diskutil_disk_reference.h"

namespace sim::tools::diskutil {
namespace {

constexpr const char* kUsage = "diskutil apfs createContainer DiskIdentifier";
constexpr const char* kCouldNotOpen = "Error: -69877: Couldn't open device";

// What the change made: the store used and the new container, or why nothing was made.
struct Created {
  mcom::DiskName store;
  uint32_t container = 0;
};
using Outcome = std::variant<Created, std::string>;

Outcome CreateOn(const mcom::FilePath& root, Model& model, const std::string& argument) {
  using Kind = DiskReference::Kind;
  const std::optional<DiskReference> reference = FindDiskReference(model, argument);
  if (!reference) return CouldNotFindDisk(argument);
  const mcom::DiskName name = reference->name;
  if (reference->kind == Kind::kContainer || reference->kind == Kind::kVolume) {
    return "Error: " + mcom::FormatDiskName(name) +
           " is an APFS Container or Volume; an APFS Physical Store must be a disk or a "
           "partition";
  }
  const Disk* disk = FindDisk(model, name.disk);
  if (HoldsRunningSystem(model, name) || disk == nullptr || !disk->writable) return kCouldNotOpen;
  if (WhyBusy(root, model, name, ::getpid())) return std::string(kCouldNotOpen) + ": Resource busy";
  if (ContainerOnStore(model, mcom::FormatDiskName(name)) != nullptr) {
    return "Error: " + mcom::FormatDiskName(name) + " is already an APFS Physical Store";
  }

  mcom::DiskName store = name;
  if (!name.has_slice()) {
    if (!disk->partitions.empty() || disk->scheme != "none") {
      store =
          PartitionDisk(root, model, name.disk, {{std::string(kAPFSPartitionGUID), "", 0}}).front();
    }
  } else if (VolumeOnPartition(model, name) != nullptr) {
    RemoveVolume(root, model, name);
  }
  return Created{store, CreateContainer(root, model, {store})};
}

}  // namespace

int RunCreateContainer(ToolContext& context, Arguments arguments) {
  if (arguments.size() != 1) return context.UsageError(kUsage);
  const std::string& argument = arguments.front();
  std::string disk;
  {
    const Model model = context.machine().Read();
    const std::optional<DiskReference> reference = FindDiskReference(model, argument);
    if (!reference) return ReportError(context, CouldNotFindDisk(argument));
    disk = mcom::FormatDiskName(reference->name);
  }
  context.out() << "Creating container with " << disk << '\n'
                << "Started APFS operation on " << disk << std::endl;
  DiskutilHook hook(context, "createContainer", kCouldNotOpen);
  if (const std::optional<int> status = hook.BeforeWork()) return *status;

  const Outcome outcome = context.machine().Change(
      [&](Model& model) { return CreateOn(context.root(), model, argument); });
  if (const std::string* error = std::get_if<std::string>(&outcome)) {
    return ReportError(context, *error);
  }
  const Created& created = std::get<Created>(outcome);
  const std::string container = mcom::FormatDiskName(mcom::DiskName{created.container});
  context.out() << "Creating a new empty APFS Container\n"
                << "Unmounting Volumes\n"
                << "Switching " << mcom::FormatDiskName(created.store) << " to APFS\n"
                << "Creating APFS Container\n"
                << "Created new APFS Container " << container << '\n'
                << "Disk from APFS operation: " << container << '\n'
                << "Finished APFS operation on " << disk << std::endl;
  return hook.AfterWork(0);
}

}  // namespace sim::tools::diskutil
