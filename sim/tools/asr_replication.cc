#include "sim/tools/asr_replication.h"

#include <unistd.h>

#include <cctype>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "sim/machine/apfs_operations.h"
#include "sim/machine/blockers.h"
#include "sim/machine/busy_disks.h"
#include "sim/machine/folder_copy.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/mount_table.h"
#include "sim/machine/mounting.h"
#include "sim/machine/uuid.h"
#include "sim/machine/volume_store.h"

namespace sim::tools {
namespace {

// One source volume to copy, as it was when the run was checked.
struct SourceVolume {
  std::string uuid;
  std::string name;
  std::vector<std::string> roles;
  std::string group_uuid;
  mcom::DiskName disk;
  mcom::FilePath files;  // where its files were when the run was checked
  FolderSize size;
};

// A source volume this run unmounted, and how to mount it again if the run fails.
struct Unmounted {
  mcom::DiskName disk;
  MountOptions options;
};

std::string DevicePath(mcom::DiskName name) { return "/dev/" + mcom::FormatDiskName(name); }

bool HasOption(const Volume& volume, const char* option) {
  for (const std::string& candidate : volume.mount_options) {
    if (candidate == option) return true;
  }
  return false;
}

class Replication {
 public:
  Replication(AsrRun& run, const ReplicationRequest& request)
      : run_(run),
        out_(run.out()),
        request_(request),
        machine_(run.context().machine()),
        root_(machine_.root()) {}

  int Run() {
    if (std::optional<int> status = run_.Start()) return *status;
    const auto started = std::chrono::steady_clock::now();
    out_.Status("setup");
    Model model = machine_.Read();
    out_.Text("Validating target...");
    CheckTarget(model);
    out_.Text("done");
    out_.Status("metadata");
    out_.Text("Validating source...");
    SelectVolumes(model);
    out_.Text("done");
    out_.Text("Retrieving scan information...");
    MeasureVolumes();
    out_.Text("done");
    out_.Text("Validating sizes...");
    CheckSizes(model);
    out_.Text("done");

    Prepare();
    out_.Status("restore");
    try {
      run_.AfterVolume(0);
      for (size_t i = 0; i < volumes_.size(); ++i) {
        CopyVolume(volumes_[i]);
        run_.AfterVolume(static_cast<uint32_t>(i + 1));
      }
    } catch (...) {
      Abandon();
      throw;
    }
    Finish();
    run_.AtExit();

    const auto elapsed = std::chrono::steady_clock::now() - started;
    out_.Text(CopiedLine(copied_bytes_, elapsed));
    out_.Text("Restored target device is " + DevicePath(target_) + ".");
    return 0;
  }

 private:
  // The container named by a device argument, or an error in the words of `what` ("source",
  // "target").
  static const Container& ContainerNamed(const Model& model, const std::string& device,
                                         const char* what) {
    const std::optional<mcom::DiskName> name = mcom::ParseDiskName(device);
    const std::string check = std::string("Could not validate ") + what + " - ";
    if (!name ||
        (!name->has_slice() && FindDisk(model, name->disk) == nullptr &&
         FindContainer(model, name->disk) == nullptr) ||
        (name->has_slice() && FindVolume(model, *name) == nullptr &&
         FindPartition(model, *name) == nullptr)) {
      throw AsrError(check + "Could not find " + what + " disk /dev/" + device);
    }
    const Container* container = name->has_slice() ? nullptr : FindContainer(model, name->disk);
    if (container == nullptr) {
      throw AsrError(check + "/dev/" + device + " is not an APFS container");
    }
    return *container;
  }

  static bool HoldsRunningSystem(const Model& model, uint32_t container) {
    for (const Volume* volume : VolumesOfContainer(model, container)) {
      if (IsRunningSystemVolume(model, *volume)) return true;
    }
    return false;
  }

  void CheckTarget(const Model& model) {
    const Container& target = ContainerNamed(model, request_.target, "target");
    target_ = target.name();
    const std::optional<mcom::DiskName> source = mcom::ParseDiskName(request_.source);
    if (source && *source == target_) {
      throw AsrError("Could not validate target - the target is the source");
    }
    if (HoldsRunningSystem(model, target_.disk)) {
      throw AsrError("Could not validate target - Resource busy: " + DevicePath(target_) +
                     " holds the running system");
    }
    ThrowIfTargetBusy(model);
    if (request_.erase) ThrowIfTargetInUse(model);
  }

  // Another tool working on the target (a second asr, say) keeps it busy; with --erase so
  // does an attached image whose file lies on one of its volumes.
  void ThrowIfTargetBusy(const Model& model) const {
    std::optional<std::string> why = ClaimedBy(model, target_, ::getpid());
    if (!why && request_.erase) why = HeldByImage(root_, model, target_);
    if (why) throw AsrError("Could not validate target - Resource busy: " + *why);
  }

  // A mounted target volume that another process uses cannot be unmounted for the erase.
  void ThrowIfTargetInUse(const Model& model) const {
    for (const Volume* volume : VolumesOfContainer(model, target_.disk)) {
      ThrowIfVolumeInUse(*volume);
    }
  }

  void SelectVolumes(const Model& model) {
    const Container& source = ContainerNamed(model, request_.source, "source");
    source_ = source.name();
    const std::vector<const Volume*> all = VolumesOfContainer(model, source_.disk);
    std::vector<const Volume*> chosen;
    if (!request_.source_volume_uuid) {
      chosen = all;
    } else {
      const Volume* named = nullptr;
      for (const Volume* volume : all) {
        if (EqualUUIDs(volume->uuid, *request_.source_volume_uuid)) named = volume;
      }
      if (named == nullptr) {
        throw AsrError("Could not validate source - Could not find source volume with UUID " +
                       *request_.source_volume_uuid);
      }
      for (const Volume* volume : all) {
        const bool in_group = !named->group_uuid.empty() && volume->group_uuid == named->group_uuid;
        if (volume == named || in_group) chosen.push_back(volume);
      }
    }
    if (chosen.empty()) {
      throw AsrError("Could not validate source - " + DevicePath(source_) + " holds no volumes");
    }
    for (const Volume* volume : chosen) {
      volumes_.push_back(SourceVolume{volume->uuid,
                                      volume->name,
                                      volume->roles,
                                      volume->group_uuid,
                                      volume->disk,
                                      VolumeFilesPath(root_, *volume),
                                      {}});
    }
  }

  // What each chosen volume holds, the measure of its copy's progress.
  void MeasureVolumes() {
    for (SourceVolume& volume : volumes_) {
      const mcom::Result<FolderSize> size = MeasureFolder(volume.files);
      if (!size) {
        throw AsrError("Could not retrieve scan information - cannot read " +
                       DevicePath(volume.disk) + ": " + size.error().message());
      }
      volume.size = *size;
    }
  }

  static bool EqualUUIDs(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (std::toupper(static_cast<unsigned char>(a[i])) !=
          std::toupper(static_cast<unsigned char>(b[i]))) {
        return false;
      }
    }
    return true;
  }

  void CheckSizes(const Model& model) const {
    uint64_t needed = 0;
    for (const SourceVolume& volume : volumes_) needed += volume.size.bytes;
    const Container* target = FindContainer(model, target_.disk);
    uint64_t kept = 0;
    if (!request_.erase) {
      for (const Volume* volume : VolumesOfContainer(model, target_.disk)) kept += volume->used;
    }
    const uint64_t available = target->size > kept ? target->size - kept : 0;
    if (needed > available) {
      throw AsrError("Could not validate sizes - The target is too small: " +
                     std::to_string(needed) + " bytes needed, " + std::to_string(available) +
                     " bytes available on " + DevicePath(target_));
    }
  }

  // One transaction: everything is checked again on the current model (another process
  // may have changed the machine since the snapshot), then the source volumes are
  // unmounted, the target erased and the blockers registered. File work inside it never
  // ends in a throw, so the model written always matches the files.
  void Prepare() {
    std::optional<AsrError> failure;
    machine_.Change([&](Model& model) {
      if (FindContainer(model, target_.disk) == nullptr ||
          FindContainer(model, source_.disk) == nullptr) {
        throw AsrError("Could not validate target - the disks changed while asr was checking");
      }
      if (HoldsRunningSystem(model, target_.disk)) {
        throw AsrError("Could not validate target - Resource busy: " + DevicePath(target_) +
                       " holds the running system");
      }
      for (const SourceVolume& volume : volumes_) {
        const Volume* current = FindVolumeByUUID(model, volume.uuid);
        if (current == nullptr || current->disk.disk != source_.disk) {
          throw AsrError("Could not validate source - Could not find source volume with UUID " +
                         volume.uuid);
        }
      }
      ThrowIfTargetBusy(model);
      if (request_.erase) ThrowIfTargetInUse(model);

      const pid_t self = ::getpid();
      AddClaim(model, self, mcom::FormatDiskName(target_));
      AddBlocker(model, self, mcom::FormatDiskName(target_));
      for (const SourceVolume& volume : volumes_) {
        AddBlocker(model, self, mcom::FormatDiskName(volume.disk));
        Volume& current = *FindVolumeByUUID(model, volume.uuid);
        if (!current.is_mounted() || IsRunningSystemVolume(model, current)) continue;
        MountOptions options;
        if (current.mounted_at_given_path) options.path = mcom::FilePath(current.mount_point);
        options.read_only = HasOption(current, "ro");
        options.hidden = HasOption(current, "nobrowse");
        const MountOutcome outcome = Unmount(root_, model, current.disk);
        if (!outcome.ok()) {
          failure =
              AsrError("Could not unmount " + DevicePath(volume.disk) + " - " + outcome.message);
          return;
        }
        unmounted_.push_back(Unmounted{volume.disk, options});
      }
      if (!request_.erase) return;
      std::vector<mcom::DiskName> erased;
      for (const Volume* volume : VolumesOfContainer(model, target_.disk)) {
        erased.push_back(volume->disk);
      }
      for (mcom::DiskName volume : erased) {
        try {
          RemoveVolume(root_, model, volume);
        } catch (const MachineError& error) {
          failure = AsrError(std::string("Could not erase the target - ") + error.what());
          return;
        }
      }
    });
    if (failure) {
      Abandon();
      throw *failure;
    }
  }

  std::string TargetGroup(const std::string& source_group) {
    if (source_group.empty()) return {};
    auto [group, added] = groups_.try_emplace(source_group);
    if (added) group->second = NewUUID();
    return group->second;
  }

  void CopyVolume(const SourceVolume& volume) {
    mcom::DiskName copy;
    mcom::FilePath from;
    mcom::FilePath to;
    machine_.Change([&](Model& model) {
      const Volume* source = FindVolumeByUUID(model, volume.uuid);
      if (source == nullptr) {
        throw AsrError("Could not restore - the source volume " + volume.uuid + " is gone");
      }
      from = VolumeFilesPath(root_, *source);
      copy = AddVolume(root_, model, target_.disk,
                       VolumeSpec{volume.name, volume.roles, TargetGroup(volume.group_uuid)});
      to = VolumeFilesPath(root_, *FindVolume(model, copy));
    });

    out_.StartProgress();
    bool stopped_by_fault = false;
    std::error_code error = CopyFolderContents(from, to, [&](const FolderSize& done) {
      out_.Progress(CopiedFraction(done, volume.size));
      stopped_by_fault = !run_.MayContinueAt(out_.percent());
      return !stopped_by_fault;
    });
    if (!error && !run_.MayContinueAt(100)) stopped_by_fault = true;
    if (error || stopped_by_fault) {
      RemoveHalfCopy(copy);
      if (stopped_by_fault) throw run_.PercentFault();
      throw AsrError("Could not restore - " + error.message());
    }

    machine_.Change([&](Model& model) {
      if (Volume* target = FindVolume(model, copy)) UpdateUsedBytes(root_, *target);
    });
    out_.StopProgress();
    copied_bytes_ += volume.size.bytes;
  }

  void RemoveHalfCopy(mcom::DiskName copy) {
    try {
      machine_.Change([&](Model& model) {
        if (FindVolume(model, copy) == nullptr) return;
        try {
          RemoveVolume(root_, model, copy);
        } catch (const MachineError&) {
          // Whatever files are left stay with the volume, which stays in the model.
        }
      });
    } catch (const std::exception&) {
      // The failure being reported matters more than this clean-up.
    }
  }

  void ReleaseBlockers(Model& model) const {
    const pid_t self = ::getpid();
    RemoveClaim(model, self, mcom::FormatDiskName(target_));
    RemoveBlocker(model, self, mcom::FormatDiskName(target_));
    for (const SourceVolume& volume : volumes_) {
      RemoveBlocker(model, self, mcom::FormatDiskName(volume.disk));
    }
  }

  // After a failure: no more blockers, and the source volumes mounted again where this run
  // unmounted them. Never throws; the failure being reported matters more.
  void Abandon() {
    try {
      machine_.Change([&](Model& model) {
        ReleaseBlockers(model);
        for (const Unmounted& volume : unmounted_) {
          try {
            Mount(root_, model, volume.disk, volume.options);
          } catch (const std::exception&) {
            // Left unmounted, as the model says.
          }
        }
      });
    } catch (const std::exception&) {
    }
  }

  void Finish() {
    machine_.Change([&](Model& model) { ReleaseBlockers(model); });
  }

  AsrRun& run_;
  PuppetStrings& out_;
  const ReplicationRequest& request_;
  Machine& machine_;
  const mcom::FilePath& root_;
  mcom::DiskName source_;
  mcom::DiskName target_;
  std::vector<SourceVolume> volumes_;
  std::vector<Unmounted> unmounted_;
  std::map<std::string, std::string> groups_;  // source group UUID -> the copies' group UUID
  uint64_t copied_bytes_ = 0;
};

}  // namespace

int RunReplication(AsrRun& run, const ReplicationRequest& request) {
  Replication replication(run, request);
  try {
    return replication.Run();
  } catch (const AsrError& error) {
    return run.Fail(error);
  } catch (const MachineError& error) {
    return run.Fail(AsrError(std::string("Could not restore - ") + error.what()));
  }
}

}  // namespace sim::tools
