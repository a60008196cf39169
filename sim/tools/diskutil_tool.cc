// The simulated diskutil: partitioning, APFS containers, unmounting and the listings.
//
// Accepted command lines (anything else gets a usage message and exit status 1):
//   diskutil list [-plist] [DISK]
//   diskutil info DISK | diskutil info -all
//   diskutil unmountDisk [force] DISK
//   diskutil partitionDisk DISK [COUNT] GPT FORMAT NAME SIZE [FORMAT NAME SIZE ...]
//   diskutil apfs createContainer DISK
//   diskutil apfs list
// DISK is "diskN", "diskNsM", "/dev/diskN..." or the mount point of a mounted volume.
//
// Fault-injection hooks (macsim set ROOT fault.diskutil.<verb> VALUE), in the forms of
// injected_failure.h: every point but fail-at-exit fails the verb before it touches the
// machine, fail-at-exit after its work; "fail" gives the verb's usual error, "fail:MESSAGE"
// the given message:
//   diskutil.createContainer   apfs createContainer
//   diskutil.unmountDisk       unmountDisk
//   diskutil.partitionDisk     partitionDisk

#include <unistd.h>

#include <ostream>

#include "core/foundation/cf_data.h"
#include "core/foundation/property_list.h"
#include "sim/machine/busy_disks.h"
#include "sim/machine/disk_arbitration_status.h"
#include "sim/machine/mounting.h"
#include "sim/tools/diskutil_apfs_list.h"
#include "sim/tools/diskutil_commands.h"
#include "sim/tools/diskutil_disk_info.h"
#include "sim/tools/diskutil_disk_list.h"
#include "sim/tools/diskutil_disk_reference.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace diskutil {

constexpr const char* kListUsage = "diskutil list [-plist] [MountPoint|DiskIdentifier|DeviceNode]";
constexpr const char* kInfoUsage = "diskutil info MountPoint|DiskIdentifier|DeviceNode | -all";
constexpr const char* kUnmountUsage =
    "diskutil unmountDisk [force] MountPoint|DiskIdentifier|DeviceNode";
constexpr const char* kAPFSUsage =
    "diskutil apfs createContainer DiskIdentifier | diskutil apfs list";

DiskutilHook::DiskutilHook(ToolContext& context, const std::string& verb, std::string usual)
    : context_(context),
      failure_(WithoutCopyPoint(ReadInjectedFailure(context, verb))),
      usual_(std::move(usual)) {}

std::optional<int> DiskutilHook::BeforeWork() {
  if (!failure_ || failure_->point == InjectedFailure::Point::kAtExit) return std::nullopt;
  return AfterWork(0);
}

int DiskutilHook::AfterWork(int status) {
  if (status != 0 || !failure_) return status;
  context_.out().flush();
  context_.err() << failure_->message.value_or(usual_) << std::endl;
  return failure_->status;
}

int ReportError(ToolContext& context, const std::string& message) {
  context.err() << message << std::endl;
  return 1;
}

std::string CouldNotFindDisk(const std::string& argument) {
  return "Could not find disk: " + argument;
}

int RunList(ToolContext& context, Arguments arguments) {
  bool plist = false;
  if (!arguments.empty() && arguments.front() == "-plist") {
    plist = true;
    arguments = arguments.subspan(1);
  }
  if (arguments.size() > 1) return context.UsageError(kListUsage);

  const Model model = context.machine().Read();
  std::optional<uint32_t> only;
  if (!arguments.empty()) {
    const std::optional<DiskReference> disk = FindDiskReference(model, arguments.front());
    if (!disk) return ReportError(context, CouldNotFindDisk(arguments.front()));
    only = ListedDiskNumber(disk->name);
  }
  if (!plist) {
    WriteDiskList(model, only, context.out());
    context.out().flush();
    return 0;
  }
  const mcom::cf::Ref<mcom::cf::Data> data = mcom::cf::PropertyListToData(
      DiskListPropertyList(model, only), mcom::cf::PropertyListFormat::kXML);
  if (!data) return ReportError(context, "diskutil: could not write the property list");
  context.out() << data->AsStringView();
  context.out().flush();
  return 0;
}

int RunInfo(ToolContext& context, Arguments arguments) {
  if (arguments.size() != 1) return context.UsageError(kInfoUsage);
  const Model model = context.machine().Read();
  if (arguments.front() == "-all") {
    WriteAllDiskInfo(model, context.out());
  } else {
    const std::optional<DiskReference> disk = FindDiskReference(model, arguments.front());
    if (!disk) return ReportError(context, CouldNotFindDisk(arguments.front()));
    WriteDiskInfo(model, *disk, context.out());
  }
  context.out().flush();
  return 0;
}

int RunUnmountDisk(ToolContext& context, Arguments arguments) {
  bool force = false;
  if (!arguments.empty() && arguments.front() == "force") {
    force = true;
    arguments = arguments.subspan(1);
  }
  if (arguments.size() != 1) return context.UsageError(kUnmountUsage);
  const std::string& argument = arguments.front();
  const std::string prefix = force ? "Forced unmount of " : "Unmount of ";

  std::optional<mcom::DiskName> whole;
  {
    const Model model = context.machine().Read();
    const std::optional<DiskReference> disk = FindDiskReference(model, argument);
    if (!disk) return ReportError(context, CouldNotFindDisk(argument));
    // unmountDisk works on the whole disk of whatever it is given.
    whole = disk->name.Whole();
  }
  const std::string failed =
      prefix + mcom::FormatDiskName(*whole) + " failed: at least one volume could not be unmounted";
  DiskutilHook hook(context, "unmountDisk", failed);
  if (const std::optional<int> status = hook.BeforeWork()) return *status;

  // Forced or not: a volume holding an attached image's file, or a disk another tool works
  // on, cannot be taken away.
  bool busy = false;
  const MountOutcome outcome = context.machine().Change([&](Model& model) {
    if (!FindDisk(model, whole->disk) && !FindContainer(model, whole->disk)) {
      return MountOutcome{kDAReturnNotFound, CouldNotFindDisk(argument), {}};
    }
    if (std::optional<std::string> why = WhyBusy(context.root(), model, *whole, ::getpid())) {
      busy = true;
      return MountOutcome{kDAReturnBusy, *why, {}};
    }
    return UnmountWholeDisk(context.root(), model, *whole);
  });
  if (outcome.status == kDAReturnNotFound) return ReportError(context, CouldNotFindDisk(argument));
  if (busy) return ReportError(context, failed + ": Resource busy");
  if (!outcome.ok()) return ReportError(context, failed);
  context.out() << prefix << "all volumes on " << mcom::FormatDiskName(*whole) << " was successful"
                << std::endl;
  return hook.AfterWork(0);
}

int RunAPFSList(ToolContext& context, Arguments arguments) {
  if (!arguments.empty()) return context.UsageError(kAPFSUsage);
  WriteAPFSList(context.machine().Read(), context.out());
  context.out().flush();
  return 0;
}

int RunAPFS(ToolContext& context, Arguments arguments) {
  if (arguments.empty()) return context.UsageError(kAPFSUsage);
  const std::string& verb = arguments.front();
  if (verb == "createContainer") return RunCreateContainer(context, arguments.subspan(1));
  if (verb == "list") return RunAPFSList(context, arguments.subspan(1));
  return ReportError(context, "diskutil: did not recognize APFS verb \"" + verb +
                                  "\"; type \"diskutil apfs\" for a list");
}

int Usage(ToolContext& context) {
  context.err() << "Disk Utility Tool\n"
                   "Utility to manage local disks and volumes\n"
                   "Usage:  diskutil <verb> <options>, where <verb> is as follows:\n"
                   "     list                   (List the partitions of a disk)\n"
                   "     info[rmation]          (Get information on a specific disk or partition)\n"
                   "     unmountDisk            (Unmount an entire disk (all volumes))\n"
                   "     partitionDisk          ((re)Partition a disk, removing all volumes)\n"
                   "     apfs                   (Perform additional verbs related to APFS)\n"
                << std::flush;
  return 1;
}

}  // namespace diskutil

int RunDiskutil(ToolContext& context) {
  using namespace diskutil;
  const Arguments arguments(context.arguments());
  if (arguments.empty()) return Usage(context);
  const std::string& verb = arguments.front();
  const Arguments rest = arguments.subspan(1);
  if (verb == "list") return RunList(context, rest);
  if (verb == "info" || verb == "information") return RunInfo(context, rest);
  if (verb == "unmountDisk") return RunUnmountDisk(context, rest);
  if (verb == "partitionDisk") return RunPartitionDisk(context, rest);
  if (verb == "apfs" || verb == "APFS") return RunAPFS(context, rest);
  return ReportError(
      context, "diskutil: did not recognize verb \"" + verb + "\"; type \"diskutil\" for a list");
}

}  // namespace sim::tools
