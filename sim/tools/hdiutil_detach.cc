// hdiutil detach: unmounts everything of an attached image, writes what a writable attach
// changed back (into the image, or into the shadow file of a shadowed attach), and removes
// the image's disks from the machine.
//
// The write-back and the removal are one transaction, so the machine never lists an image
// whose files are gone, and a write that fails (a full disk) leaves the image attached with
// its volumes as they were, and the image file untouched (the image library replaces files
// atomically). Every volume of a writable attach is written back: telling an unchanged volume
// apart would need a record of its files, and writing the volume again is always right.

#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <system_error>

#include "sim/image/image_file.h"
#include "sim/machine/busy_disks.h"
#include "sim/machine/disk_operations.h"
#include "sim/tools/hdiutil_attach_record.h"
#include "sim/tools/hdiutil_commands.h"
#include "sim/tools/hdiutil_faults.h"
#include "sim/tools/hdiutil_image_disks.h"
#include "sim/tools/hdiutil_options.h"

namespace sim::tools {
namespace {

constexpr char kDetachUsage[] = "hdiutil detach [-force] DEVICE|MOUNTPOINT";

// The BSD name that a detach target names: a device ("disk5", "/dev/disk5s1") or the mount
// point of a volume.
std::optional<mcom::DiskName> TargetName(const Model& model, const std::string& target) {
  if (target.starts_with("/") && !target.starts_with("/dev/")) {
    const mcom::FilePath path(target);
    for (const Volume& volume : model.volumes) {
      if (volume.is_mounted() && SameFile(mcom::FilePath(volume.mount_point), path)) {
        return volume.disk;
      }
    }
    return std::nullopt;
  }
  return mcom::ParseDiskName(WithoutDevicePrefix(target));
}

}  // namespace

int RunHdiutilDetach(ToolContext& context, const HdiutilArguments& arguments) {
  const std::optional<ParsedOptions> options = ParseOptions(arguments, {{"-force", false}});
  if (!options || options->operands.size() != 1) return context.UsageError(kDetachUsage);
  const std::string& target = options->operands[0];

  const Model current = context.machine().Read();
  const std::optional<mcom::DiskName> name = TargetName(current, target);
  if (!name) throw HdiutilFailure("detach failed - No such file or directory");
  const std::vector<uint32_t> physical = PhysicalDisksOf(current, *name);
  if (physical.empty()) throw HdiutilFailure("detach failed - No such file or directory");
  std::vector<uint64_t> images;  // by registry id, which stays while the disk exists
  for (uint32_t number : physical) {
    const Disk* disk = FindDisk(current, number);
    if (disk != nullptr && disk->kind == DiskKind::kImage) images.push_back(disk->registry_id);
  }
  if (images.empty() || images.size() != physical.size()) {
    throw HdiutilFailure("detach failed - " + mcom::FormatDiskName(*name) + " is not a disk image");
  }
  const std::string first = "disk" + std::to_string(physical.front());
  CheckFailureHook(context, "detach", "couldn't unmount \"" + first + "\" - Resource busy");

  const mcom::FilePath& root = context.root();
  const std::vector<std::string> ejected = context.machine().Change([&](Model& model) {
    // Forced or not: the file of another attached image on one of its volumes, or a tool
    // working on it, holds the image.
    for (uint32_t number : physical) {
      if (WhyBusy(root, model, mcom::DiskName{number}, ::getpid())) {
        throw HdiutilFailure("couldn't unmount \"disk" + std::to_string(number) +
                             "\" - Resource busy");
      }
    }
    std::vector<std::string> names;
    for (uint64_t registry_id : images) {
      const Disk* disk = nullptr;
      for (const Disk& candidate : model.disks) {
        if (candidate.registry_id == registry_id) disk = &candidate;
      }
      if (disk == nullptr) throw HdiutilFailure("detach failed - No such file or directory");
      const Disk detached = *disk;
      if (detached.writable) {
        const ImageDescription description = DescribeImageDisk(root, model, detached);
        try {
          if (detached.shadow_path.empty()) {
            WriteImage(description, mcom::FilePath(detached.image_path), ExistingImage::kReplace);
          } else {
            WriteShadow(mcom::FilePath(detached.image_path), mcom::FilePath(detached.shadow_path),
                        description);
          }
        } catch (const std::system_error& failure) {
          throw HdiutilFailure("detach failed - " + failure.code().message());
        }
      }
      RemoveDisk(root, model, detached.number);
      RemoveAttachRecords(root, model, detached);
      names.push_back(mcom::FormatDiskName(detached.name()));
    }
    return names;
  });
  for (const std::string& disk : ejected) context.out() << "\"" << disk << "\" ejected.\n";
  context.out().flush();
  return 0;
}

}  // namespace sim::tools
