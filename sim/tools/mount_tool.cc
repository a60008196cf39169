// mount: the machine's mount table in the real form, one line per mounted volume:
//
//   /dev/disk1s5 on / (apfs, local, read-only, journaled)
//   devfs on /dev (devfs, local, nobrowse)
//   /dev/disk1s1 on /System/Volumes/Data (apfs, local, journaled, nobrowse)
//   /dev/disk2s2 on ROOT/Volumes/USB HFS (hfs, local, nodev, nosuid, journaled, noowners)
//
// The running system's volumes are listed at their Mac paths; every other volume at its
// mount point, a host path, which is where its files are. Flags come in the real tool's
// order (local, nodev, nosuid, read-only, journaled, noowners, nobrowse): volumes of
// external disks and disk images are mounted nodev and nosuid as the Mac mounts removable
// media; owners are ignored ("noowners") on external disks only, since images are attached
// with owners on. It takes no arguments (mounting is done through diskutil and the mount
// service).
//
// Fault-injection hook (injected_failure.h), with the usual message "Could not read the mount
// table":
//   mount.run   fail-before-start, fail-at-start (before anything is printed) or
//              fail-at-exit (after all of the output)

#include <ostream>

#include "sim/machine/mount_table.h"
#include "sim/tools/injected_failure.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace {

bool Has(const std::vector<std::string>& options, std::string_view option) {
  for (const std::string& present : options) {
    if (present == option) return true;
  }
  return false;
}

// The kind of the (first) physical disk a volume lives on.
DiskKind KindOf(const Model& model, const std::string& bsd_name) {
  const std::optional<mcom::DiskName> name = mcom::ParseDiskName(bsd_name);
  if (!name) return DiskKind::kInternal;
  for (uint32_t number : PhysicalDisksOf(model, *name)) {
    if (const Disk* disk = FindDisk(model, number)) return disk->kind;
  }
  return DiskKind::kInternal;
}

std::string FlagsOf(const Model& model, const MountTableEntry& entry) {
  const DiskKind kind = KindOf(model, entry.bsd_name);
  const bool removable_media = !entry.running_system && kind != DiskKind::kInternal;
  const bool read_only = Has(entry.options, "ro") || entry.mount_point == kRunningSystemMountPoint;
  const bool hidden = Has(entry.options, "nobrowse") || entry.mount_point == kRunningDataMountPoint;
  std::string flags = entry.file_system + ", local";
  if (removable_media) flags += ", nodev, nosuid";
  if (read_only) flags += ", read-only";
  flags += ", journaled";
  if (removable_media && kind == DiskKind::kExternal) flags += ", noowners";
  if (hidden) flags += ", nobrowse";
  return flags;
}

}  // namespace

int RunMount(ToolContext& context) {
  using Point = InjectedFailure::Point;
  constexpr std::string_view kUsualFailure = "Could not read the mount table";
  const auto failure = WithoutCopyPoint(ReadInjectedFailure(context, "run"));
  if (auto status = FailIfAt(context, failure, Point::kBeforeStart, kUsualFailure)) return *status;
  if (!context.arguments().empty()) return context.UsageError("mount");
  if (auto status = FailIfAt(context, failure, Point::kAtStart, kUsualFailure)) return *status;
  const Model model = context.machine().Read();
  bool listed_devices = false;
  for (const MountTableEntry& entry : MountTable(model)) {
    context.out() << "/dev/" << entry.bsd_name << " on " << entry.mount_point << " ("
                  << FlagsOf(model, entry) << ")\n";
    // The device file system comes right after the root, as on the Mac.
    if (entry.mount_point == kRunningSystemMountPoint && !listed_devices) {
      context.out() << "devfs on /dev (devfs, local, nobrowse)\n";
      listed_devices = true;
    }
  }
  if (!listed_devices) context.out() << "devfs on /dev (devfs, local, nobrowse)\n";
  if (!context.out().flush()) return 1;
  if (auto status = FailIfAt(context, failure, Point::kAtExit, kUsualFailure)) return *status;
  return 0;
}

}  // namespace sim::tools
