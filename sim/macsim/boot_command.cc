#include "sim/macsim/boot_command.h"

#include <sys/stat.h>

#include <iostream>
#include <optional>
#include <sstream>
#include <system_error>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/property_list.h"
#include "core/foundation/scope_guard.h"
#include "sim/image/image_file.h"
#include "sim/image/volume_payload.h"
#include "sim/launcher/pid_file.h"
#include "sim/machine/disk_operations.h"
#include "sim/machine/machine.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/mounting.h"
#include "sim/machine/root_view.h"
#include "sim/machine/scratch_folder.h"
#include "sim/machine/volume_store.h"
#include "sim/tools/hdiutil_attach_record.h"
#include "sim/tools/hdiutil_image_disks.h"

namespace macsim {
namespace {

namespace cf = mcom::cf;
using sim::MachineError;

constexpr char kSystemVersion[] = "System/Library/CoreServices/SystemVersion.plist";
constexpr char kUtilities[] =
    "System/Installation/CDIS/macOS Utilities.app/Contents/Resources/Utilities.plist";
constexpr char kBootPlist[] = "com.apple.Boot.plist";
constexpr std::string_view kRootFlag = "rp=file://";

bool IsFile(const mcom::FilePath& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool IsBaseSystemTree(const mcom::FilePath& folder) {
  return IsFile(folder.Join(kSystemVersion)) && IsFile(folder.Join(kUtilities));
}

// Where a volume's files are now: ROOT while it is mounted at "/".
mcom::FilePath FilesOf(const mcom::FilePath& root, const sim::Model& model,
                       const sim::Volume& volume) {
  if (model.boot.root_volume == volume.uuid) return root;
  return sim::VolumeFilesPath(root, volume);
}

// A folder of its own in the machine's scratch space, removed with the object.
sim::ScratchFolder MakeScratch(const mcom::FilePath& root) {
  try {
    return sim::ScratchFolder(root, "boot");
  } catch (const std::system_error&) {
    throw MachineError("cannot make a scratch folder");
  }
}

// What is to run after the restart.
struct Plan {
  std::string system;  // the volume's UUID; empty when it is in `image`
  bool recovery = false;
  std::string image;  // the Base System image to attach
  sim::ImageDescription description;
  std::vector<mcom::FilePath> extracted;
};

// The image the kernel flags of the boot folder's configuration name, as a path from the
// volume's root; nothing when they name none.
std::optional<std::string> RootImageOf(const mcom::FilePath& boot_plist) {
  const cf::Ref<cf::Dictionary> plist =
      cf::As<cf::Dictionary>(cf::PropertyListFromFile(boot_plist));
  const std::optional<std::string> flags = cf::GetString(plist, "Kernel Flags");
  if (!flags) return std::nullopt;
  std::istringstream words(*flags);
  std::string word;
  while (words >> word) {
    if (word.starts_with(kRootFlag) && word.size() > kRootFlag.size() &&
        word[kRootFlag.size()] == '/') {
      return word.substr(kRootFlag.size());
    }
  }
  return std::nullopt;
}

void PlanImage(const mcom::FilePath& image, const std::string& shown,
               const sim::ScratchFolder& scratch, Plan& plan) {
  try {
    plan.description = sim::ReadImage(image);
    for (const sim::ImageVolume* volume : sim::VolumesOf(plan.description)) {
      plan.extracted.push_back(scratch.path().Join(std::to_string(plan.extracted.size())));
      sim::ExtractPayload(std::get<sim::ImagePayload>(volume->files), plan.extracted.back());
    }
  } catch (const std::system_error& failure) {
    throw MachineError("the root image " + shown + " cannot be read: " + failure.what());
  }
  if (plan.extracted.size() != 1 || !IsBaseSystemTree(plan.extracted.front())) {
    throw MachineError("the root image " + shown + " is no Base System image");
  }
  plan.image = image.string();
  plan.recovery = true;
}

void PlanFromBootFolder(const mcom::FilePath& root, const sim::Model& model, uint32_t disk,
                        const sim::ScratchFolder& scratch, Plan& plan) {
  const std::string name = mcom::FormatDiskName(mcom::DiskName{disk});
  const sim::Volume* volume = sim::FindVolumeByUUID(model, model.boot.folder_volume);
  bool on_disk = false;
  if (volume != nullptr) {
    for (uint32_t number : sim::PhysicalDisksOf(model, volume->disk)) on_disk |= number == disk;
  }
  if (!on_disk) throw MachineError(name + " holds no blessed boot folder");
  const mcom::FilePath files = FilesOf(root, model, *volume);
  const mcom::FilePath folder(files.string() + model.boot.folder_in_volume);
  const std::string shown = model.boot.folder_in_volume;
  if (model.boot.boot_efi_in_volume != model.boot.folder_in_volume + "/boot.efi" ||
      !IsFile(folder.Join("boot.efi"))) {
    throw MachineError("the boot folder " + shown + " on " + name + " holds no blessed boot.efi");
  }
  if (!IsFile(folder.Join(kBootPlist))) {
    throw MachineError("the boot folder " + shown + " on " + name + " holds no " + kBootPlist);
  }
  const std::optional<std::string> image = RootImageOf(folder.Join(kBootPlist));
  if (!image) {
    throw MachineError(std::string(kBootPlist) + " in " + shown + " names no root image");
  }
  const mcom::FilePath image_path(files.string() + *image);
  if (!IsFile(image_path)) {
    throw MachineError(std::string(kBootPlist) + " in " + shown + " points at " + *image +
                       ", which is not on " + name);
  }
  PlanImage(image_path, *image, scratch, plan);
}

void PlanFromRecoveryPartition(const mcom::FilePath& root, const sim::Model& model,
                               const sim::Disk& disk, Plan& plan) {
  const std::string name = mcom::FormatDiskName(disk.name());
  for (const sim::Partition& partition : disk.partitions) {
    if (partition.name != "Recovery") continue;
    const sim::Volume* volume =
        sim::VolumeOnPartition(model, mcom::DiskName{disk.number, partition.slice});
    if (volume == nullptr || !IsBaseSystemTree(FilesOf(root, model, *volume))) break;
    plan.system = volume->uuid;
    plan.recovery = true;
    return;
  }
  throw MachineError(name + " has no Recovery partition holding a Base System volume");
}

void PlanFromDisk(const mcom::FilePath& root, const sim::Model& model, const std::string& from,
                  const sim::ScratchFolder& scratch, Plan& plan) {
  const mcom::DiskName name = sim::ParseDiskNameOrThrow(from);
  const sim::Disk* disk = sim::FindDisk(model, name.disk);
  if (name.has_slice() || disk == nullptr) throw MachineError(from + " is not a whole disk");
  if (disk->kind == sim::DiskKind::kImage) {
    throw MachineError(from + " is a disk image; the firmware starts from physical disks only");
  }
  if (model.facts.has_t2) {
    PlanFromRecoveryPartition(root, model, *disk, plan);
  } else {
    PlanFromBootFolder(root, model, disk->number, scratch, plan);
  }
}

// The blessed start-up device's system.
void PlanFromBootDevice(const mcom::FilePath& root, const sim::Model& model, Plan& plan) {
  if (model.boot.device.empty()) {
    throw MachineError("no start-up disk is blessed (bless --device ... --setBoot)");
  }
  const std::string& device = model.boot.device;
  const sim::Volume* blessed = sim::FindVolume(model, sim::ParseDiskNameOrThrow(device));
  if (blessed == nullptr) {
    const std::optional<mcom::DiskName> name = mcom::ParseDiskName(device);
    if (name) blessed = sim::VolumeOnPartition(model, *name);
  }
  if (blessed == nullptr) throw MachineError("the start-up disk " + device + " holds no volume");
  if (IsBaseSystemTree(FilesOf(root, model, *blessed))) {
    plan.system = blessed->uuid;
    plan.recovery = true;
    return;
  }
  const sim::Volume* system = nullptr;
  if (blessed->file_system == "apfs") {
    for (const sim::Volume* volume : sim::VolumesOfContainer(model, blessed->disk.disk)) {
      if (!volume->HasRole("System")) continue;
      const bool same_group =
          !blessed->group_uuid.empty() && volume->group_uuid == blessed->group_uuid;
      if (system == nullptr || same_group) system = volume;
      if (same_group) break;
    }
  }
  if (system == nullptr || !IsFile(FilesOf(root, model, *system).Join(kSystemVersion))) {
    throw MachineError("the start-up disk " + device + " holds no system (no " +
                       std::string(kSystemVersion) + ")");
  }
  plan.system = system->uuid;
}

// Detaches every image as a restart does (a writable one written back first), but `keep`.
void DetachImages(const mcom::FilePath& root, sim::Model& model, uint32_t keep) {
  std::vector<sim::Disk> images;
  for (const sim::Disk& disk : model.disks) {
    if (disk.kind == sim::DiskKind::kImage && disk.number != keep) images.push_back(disk);
  }
  for (const sim::Disk& disk : images) {
    if (disk.writable) {
      const sim::ImageDescription description = sim::tools::DescribeImageDisk(root, model, disk);
      try {
        if (disk.shadow_path.empty()) {
          sim::WriteImage(description, mcom::FilePath(disk.image_path),
                          sim::ExistingImage::kReplace);
        } else {
          sim::WriteShadow(mcom::FilePath(disk.image_path), mcom::FilePath(disk.shadow_path),
                           description);
        }
      } catch (const std::system_error& failure) {
        throw MachineError("cannot write back " + disk.image_path + ": " + failure.what());
      }
    }
    sim::RemoveDisk(root, model, disk.number);
    sim::tools::RemoveAttachRecords(root, model, disk);
  }
}

void Unmount(const mcom::FilePath& root, sim::Model& model, const sim::Volume& volume) {
  const sim::MountOutcome outcome = sim::Unmount(root, model, volume.disk);
  if (!outcome.ok())
    throw MachineError("cannot unmount " + mcom::FormatDiskName(volume.disk) + ": " +
                       outcome.message);
}

}  // namespace

void BootCommand(const mcom::FilePath& root, const std::string& from) {
  sim::Machine machine(root);
  if (const std::optional<pid_t> pid = sim::launcher::RunningLauncherPid(root)) {
    throw MachineError("the machine's launcher runs (pid " + std::to_string(*pid) +
                       "); stop it first (macsim stop ROOT)");
  }
  const sim::ScratchFolder scratch = MakeScratch(root);
  Plan plan;
  {
    const sim::Model model = machine.Read();
    if (from.empty()) {
      PlanFromBootDevice(root, model, plan);
    } else {
      PlanFromDisk(root, model, from, scratch, plan);
    }
  }

  const std::string started = machine.Change([&](sim::Model& model) {
    if (!plan.system.empty() && sim::FindVolumeByUUID(model, plan.system) == nullptr) {
      throw MachineError("the disk to start from has changed; try again");
    }
    std::optional<uint32_t> attached;
    // A failure removes the new image's files again, once the view's moves are undone.
    mcom::ScopeFail forget_image([&] {
      if (!attached) return;
      for (const sim::Volume& volume : model.volumes) {
        if (volume.uuid == plan.system) sim::RemoveVolumeFiles(root, volume);
      }
    });
    sim::RootViewMoves moves;
    if (!plan.image.empty()) {
      sim::tools::ImageAttachSpec spec;
      spec.image = mcom::FilePath(plan.image);
      spec.read_only = true;
      spec.mount = false;
      attached = sim::tools::AddImageDisks(root, model, spec, plan.description, plan.extracted);
      for (const sim::Volume& volume : model.volumes) {
        for (uint32_t number : sim::PhysicalDisksOf(model, volume.disk)) {
          if (number == *attached) plan.system = volume.uuid;
        }
      }
    }
    // The mounts of the old system's processes end, and the new system leaves its mount
    // point for "/". Unmounted first: a refusal then changes nothing.
    for (size_t index = 0; index < model.volumes.size(); ++index) {
      const sim::Volume& volume = model.volumes[index];
      if (volume.is_mounted() && (volume.mounted_at_given_path || volume.uuid == plan.system)) {
        Unmount(root, model, volume);
      }
    }
    sim::PutAwayRootView(root, model, moves);
    model.running_system = plan.system;
    const sim::Volume& system = *sim::FindVolumeByUUID(model, plan.system);
    const std::string description = system.name + " (" + mcom::FormatDiskName(system.disk) + ")";
    sim::ShowRootView(root, model, system, moves);
    DetachImages(root, model, attached.value_or(UINT32_MAX));
    model.facts.recovery_environment = plan.recovery;
    model.boot.restart_requested = false;
    moves.Commit();
    return description;
  });
  std::cout << "started from " << (from.empty() ? "the start-up disk" : from) << ": " << started
            << "\n";
}

}  // namespace macsim
