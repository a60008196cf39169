// dmesg: a few believable kernel lines for the machine, made from its facts and disks: the
// kernel version (from the product version), the platform and its T2 controller, one line
// per physical disk, the APFS driver and its containers, and the mounts of the machine's
// volumes. It takes no arguments.
//
// Fault-injection hook (injected_failure.h), with the usual message "Operation not permitted":
//   dmesg.run   fail-before-start, fail-at-start (before anything is printed) or
//              fail-at-exit (after all of the output)

#include <charconv>
#include <ostream>

#include "sim/machine/mount_table.h"
#include "sim/tools/injected_failure.h"
#include "sim/tools/tools.h"

namespace sim::tools {
namespace {

// The Darwin version of a macOS version, near enough for a diagnostic text: 10.x.y is
// Darwin (x + 4).y.0 (Catalina's last updates, 10.15.6 and 10.15.7, both kept 19.6.0);
// from 11 on the major is major + 9, and the minor is one ahead of the release's up to 13
// (11.3 is 20.4.0) and the same from 14 on (14.2 is 23.2.0).
std::string DarwinVersion(const std::string& product_version) {
  unsigned parts[3] = {0, 0, 0};
  const char* next = product_version.data();
  const char* end = next + product_version.size();
  for (unsigned& part : parts) {
    next = std::from_chars(next, end, part).ptr;
    if (next == end || *next != '.') break;
    ++next;
  }
  unsigned major = parts[0] + 9;
  unsigned minor = parts[0] <= 13 ? parts[1] + 1 : parts[1];
  if (parts[0] == 10) {
    major = parts[1] + 4;
    minor = parts[1] == 15 && parts[2] > 6 ? 6 : parts[2];
  }
  return std::to_string(major) + "." + std::to_string(minor) + ".0";
}

void PrintKernelLines(const Model& model, std::ostream& out) {
  out << "Darwin Kernel Version " << DarwinVersion(model.facts.product_version)
      << ": Tue Sep 22 01:30:40 PDT 2020; root:xnu-6153.141.2.2~1/RELEASE_X86_64\n"
      << "IOPlatformExpertDevice: model " << model.facts.model << "\n";
  if (model.facts.has_t2) out << "AppleT2Controller: Apple T2 Controller attached\n";
  for (const Disk& disk : model.disks) {
    out << "IOBlockStorageDriver: " << mcom::FormatDiskName(disk.name()) << " " << disk.media_name
        << " (" << disk.protocol << ", " << disk.location << "), " << disk.size
        << " bytes, block size " << disk.block_size << "\n";
  }
  out << "apfs_module_start:1277: load: com.apple.filesystems.apfs, v1412.141.1, "
         "1412.141.1.0.1, 2020/07/07\n";
  for (const Container& container : model.containers) {
    out << "nx_mount:1308: " << mcom::FormatDiskName(container.name())
        << " initializing cache w/hash_size 65536 and cache size 131072\n";
  }
  if (RunningSystemVolume(model) != nullptr) {
    out << "apfs_vfsop_mountroot:1468: apfs: mountroot called!\n";
  }
  for (const MountTableEntry& entry : MountTable(model)) {
    const Volume* volume = FindVolumeByUUID(model, entry.volume_uuid);
    const std::string name = volume != nullptr ? volume->name : entry.bsd_name;
    if (entry.file_system == "apfs") {
      out << "apfs_vfsop_mount:2020: " << entry.bsd_name << " mounting volume " << name
          << ", requested by: mount (pid 88); parent: launchd (pid 1)\n";
    } else {
      out << "hfs: mounted " << name << " on device " << entry.bsd_name << "\n";
    }
  }
}

}  // namespace

int RunDmesg(ToolContext& context) {
  using Point = InjectedFailure::Point;
  constexpr std::string_view kUsualFailure = "Operation not permitted";
  const auto failure = WithoutCopyPoint(ReadInjectedFailure(context, "run"));
  if (auto status = FailIfAt(context, failure, Point::kBeforeStart, kUsualFailure)) return *status;
  if (!context.arguments().empty()) return context.UsageError("dmesg");
  if (auto status = FailIfAt(context, failure, Point::kAtStart, kUsualFailure)) return *status;
  PrintKernelLines(context.machine().Read(), context.out());
  if (!context.out().flush()) return 1;
  if (auto status = FailIfAt(context, failure, Point::kAtExit, kUsualFailure)) return *status;
  return 0;
}

}  // namespace sim::tools
