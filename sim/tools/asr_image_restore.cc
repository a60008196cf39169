#include "sim/tools/asr_image_restore.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/foundation/file_tree.h"
#include "core/foundation/scope_guard.h"
#include "sim/image/image_file.h"
#include "sim/image/volume_payload.h"
#include "sim/machine/apfs_operations.h"
#include "sim/machine/blockers.h"
#include "sim/machine/busy_disks.h"
#include "sim/machine/disk_operations.h"
#include "sim/machine/folder_copy.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/mount_table.h"
#include "sim/machine/mounting.h"
#include "sim/machine/volume_store.h"

namespace sim::tools {
namespace {

class ImageRestore {
 public:
  ImageRestore(AsrRun& run, const ImageRestoreRequest& request)
      : run_(run),
        out_(run.out()),
        request_(request),
        machine_(run.context().machine()),
        root_(machine_.root()) {}

  ~ImageRestore() {
    if (!staging_.empty()) (void)mcom::RemoveRecursively(staging_);
  }

  int Run() {
    if (std::optional<int> status = run_.Start()) return *status;
    const auto started = std::chrono::steady_clock::now();
    out_.Status("setup");
    out_.Text("Validating target...");
    CheckTarget(machine_.Read());
    out_.Text("done");
    out_.Status("metadata");
    out_.Text("Validating source...");
    const ImagePayload payload = ReadSource();
    out_.Text("done");
    out_.Text("Retrieving scan information...");
    Unpack(payload);
    out_.Text("done");
    out_.Text("Validating sizes...");
    CheckSize(machine_.Read());
    out_.Text("done");

    Prepare();
    out_.Status("restore");
    try {
      run_.AfterVolume(0);
      Copy();
      run_.AfterVolume(1);
    } catch (...) {
      Abandon();
      throw;
    }
    out_.Text(CopiedLine(size_.bytes, std::chrono::steady_clock::now() - started));
    out_.Text("Remounting target volume...");
    Finish();
    out_.Text("done");
    run_.AtExit();
    out_.Text("Restored target device is /dev/" + mcom::FormatDiskName(partition_) + ".");
    return 0;
  }

 private:
  const Partition& TargetPartition(const Model& model) const {
    const Partition* partition = FindPartition(model, partition_);
    if (partition == nullptr) {
      throw AsrError("Could not validate target - Could not find target disk /dev/" +
                     request_.target);
    }
    return *partition;
  }

  // The volumes that live on the partition: its own HFS+ volume or those of the container
  // it stores.
  std::vector<const Volume*> VolumesOnPartition(const Model& model) const {
    std::vector<const Volume*> volumes;
    if (const Volume* volume = VolumeOnPartition(model, partition_)) volumes.push_back(volume);
    if (const Container* container = ContainerOnStore(model, mcom::FormatDiskName(partition_))) {
      for (const Volume* volume : VolumesOfContainer(model, container->number)) {
        volumes.push_back(volume);
      }
    }
    return volumes;
  }

  void CheckTarget(const Model& model) {
    const std::optional<mcom::DiskName> name = mcom::ParseDiskName(request_.target);
    if (!name || !name->has_slice() || FindPartition(model, *name) == nullptr) {
      throw AsrError("Could not validate target - Could not find target disk /dev/" +
                     request_.target);
    }
    partition_ = *name;
    const Disk* disk = FindDisk(model, partition_.disk);
    if (disk != nullptr && !disk->writable) {
      throw AsrError("Could not validate target - /dev/" + mcom::FormatDiskName(partition_) +
                     " is not writable");
    }
    for (const Volume* volume : VolumesOnPartition(model)) {
      if (IsRunningSystemVolume(model, *volume)) {
        throw AsrError("Could not validate target - Resource busy: /dev/" +
                       mcom::FormatDiskName(partition_) + " holds the running system");
      }
      ThrowIfVolumeInUse(*volume);
    }
    if (const std::optional<std::string> why = WhyBusy(root_, model, partition_, ::getpid())) {
      throw AsrError("Could not validate target - Resource busy: " + *why);
    }
  }

  // Reads the image: it must hold exactly one HFS+ volume, whose payload is returned.
  ImagePayload ReadSource() {
    ImageDescription image;
    try {
      image = ReadImage(mcom::FilePath(request_.image));
    } catch (const std::system_error& error) {
      throw AsrError("Could not validate source - " + error.code().message());
    }
    const std::vector<const ImageVolume*> volumes = VolumesOf(std::as_const(image));
    if (volumes.size() != 1 || volumes[0]->file_system != VolumeFileSystem::kHFS ||
        !std::holds_alternative<ImagePayload>(volumes[0]->files)) {
      throw AsrError("Could not validate source - " + request_.image +
                     " does not hold exactly one HFS+ volume");
    }
    volume_name_ = volumes[0]->name;
    return std::get<ImagePayload>(volumes[0]->files);
  }

  // Unpacks the image's volume into the machine's scratch space and measures it.
  void Unpack(const ImagePayload& payload) {
    std::string pattern = ImagesFolder(root_).Join("asr-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw AsrError("Could not retrieve scan information - " +
                     std::error_code(errno, std::generic_category()).message());
    }
    staging_ = mcom::FilePath(pattern);
    unpacked_ = staging_.Join("volume");
    try {
      ExtractPayload(payload, unpacked_);
    } catch (const std::system_error& error) {
      throw AsrError("Could not retrieve scan information - " + error.code().message());
    }
    const mcom::Result<FolderSize> size = MeasureFolder(unpacked_);
    if (!size) {
      throw AsrError("Could not retrieve scan information - " + size.error().message());
    }
    size_ = *size;
  }

  void CheckSize(const Model& model) const {
    const Partition& partition = TargetPartition(model);
    if (size_.bytes > partition.size) {
      throw AsrError(
          "Could not validate sizes - The target is too small: " + std::to_string(size_.bytes) +
          " bytes needed, " + std::to_string(partition.size) + " bytes available on /dev/" +
          mcom::FormatDiskName(partition_));
    }
  }

  // One transaction: the checks again on the current model, then the partition's old
  // contents go and an empty HFS+ volume takes their place, blocked from mounts while it is
  // filled. File work inside never ends in a throw, so the model matches the files.
  void Prepare() {
    std::optional<AsrError> failure;
    machine_.Change([&](Model& model) {
      CheckTarget(model);
      CheckSize(model);
      try {
        if (const Container* container =
                ContainerOnStore(model, mcom::FormatDiskName(partition_))) {
          DeleteContainer(root_, model, container->number);
        }
        CreateHFSVolume(root_, model, partition_, volume_name_);
      } catch (const MachineError& error) {
        failure = AsrError(std::string("Could not erase the target - ") + error.what());
        return;
      }
      AddClaim(model, ::getpid(), mcom::FormatDiskName(partition_));
      AddBlocker(model, ::getpid(), mcom::FormatDiskName(partition_));
      target_files_ = VolumeFilesPath(root_, *FindVolume(model, partition_));
    });
    if (failure) throw *failure;
  }

  void Copy() {
    out_.StartProgress();
    bool stopped_by_fault = false;
    std::error_code error =
        CopyFolderContents(unpacked_, target_files_, [&](const FolderSize& done) {
          out_.Progress(CopiedFraction(done, size_));
          stopped_by_fault = !run_.MayContinueAt(out_.percent());
          return !stopped_by_fault;
        });
    if (!error && !run_.MayContinueAt(100)) stopped_by_fault = true;
    if (stopped_by_fault) throw run_.PercentFault();
    if (error) throw AsrError("Could not restore - " + error.message());
    out_.StopProgress();
  }

  // After a failure: the half-filled volume is emptied and stays unmounted, and the blocker
  // goes. Never throws; the failure being reported matters more.
  void Abandon() {
    try {
      machine_.Change([&](Model& model) {
        RemoveClaim(model, ::getpid(), mcom::FormatDiskName(partition_));
        RemoveBlocker(model, ::getpid(), mcom::FormatDiskName(partition_));
        if (Volume* volume = FindVolume(model, partition_)) {
          try {
            EraseVolumeFiles(root_, *volume);
          } catch (const MachineError&) {
            UpdateUsedBytes(root_, *volume);
          }
        }
      });
    } catch (const std::exception&) {
    }
  }

  void Finish() {
    std::optional<AsrError> failure;
    machine_.Change([&](Model& model) {
      RemoveClaim(model, ::getpid(), mcom::FormatDiskName(partition_));
      RemoveBlocker(model, ::getpid(), mcom::FormatDiskName(partition_));
      Volume* volume = FindVolume(model, partition_);
      if (volume == nullptr) {
        failure =
            AsrError("Could not restore - /dev/" + mcom::FormatDiskName(partition_) + " is gone");
        return;
      }
      UpdateUsedBytes(root_, *volume);
      const MountOutcome outcome = Mount(root_, model, partition_, MountOptions{});
      if (!outcome.ok()) {
        failure = AsrError("Could not remount target volume - " + outcome.message);
      }
    });
    if (failure) throw *failure;
  }

  AsrRun& run_;
  PuppetStrings& out_;
  const ImageRestoreRequest& request_;
  Machine& machine_;
  const mcom::FilePath& root_;
  mcom::DiskName partition_;
  std::string volume_name_;
  mcom::FilePath staging_;
  mcom::FilePath unpacked_;
  FolderSize size_;
  mcom::FilePath target_files_;
};

}  // namespace

int RunImageRestore(AsrRun& run, const ImageRestoreRequest& request) {
  ImageRestore restore(run, request);
  try {
    return restore.Run();
  } catch (const AsrError& error) {
    return run.Fail(error);
  } catch (const MachineError& error) {
    return run.Fail(AsrError(std::string("Could not restore - ") + error.what()));
  }
}

}  // namespace sim::tools
