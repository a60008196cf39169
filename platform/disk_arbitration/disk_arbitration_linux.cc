#if !defined(__linux__)
#error "disk_arbitration_linux.cc is the Linux disk-arbitration stand-in"
#endif

#include "platform/disk_arbitration/disk_arbitration.h"

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/disk_arbitration/approvals_linux.h"
#include "platform/disk_arbitration/da_internal_linux.h"
#include "platform/disk_arbitration/machine_disks_linux.h"
#include "sim/machine/blockers.h"
#include "sim/machine/machine.h"
#include "sim/machine/mounting.h"

namespace platform {
namespace {

namespace cf = mcom::cf;
using da_internal::Registration;

DADissenterRef Dissent(DAReturn status, std::string_view text) {
  return DADissenterCreate(status, text.empty() ? nullptr : cf::String::Create(text));
}

DADissenterRef DissenterOf(const sim::MountOutcome& outcome) {
  if (outcome.ok()) return nullptr;
  return Dissent(static_cast<DAReturn>(outcome.status), outcome.message);
}

// The refusal of a mount by a blocker: the blocker's own answer, a busy status and no text.
DADissenterRef BlockedDissenter() { return DADissenterCreate(kDAReturnBusy, nullptr); }

// Reads the mount arguments into the machine's options, or answers why it cannot.
DADissenterRef ReadMountArguments(const cf::Ref<cf::String>* arguments,
                                  sim::MountOptions* options) {
  if (arguments == nullptr) return nullptr;
  for (const cf::Ref<cf::String>* argument = arguments; *argument; ++argument) {
    std::string_view rest = (*argument)->utf8();
    while (true) {
      const size_t comma = rest.find(',');
      const std::string_view option = rest.substr(0, comma);
      if (option == "ro" || option == "rdonly") {
        options->read_only = true;
      } else if (option == "rw") {
        options->read_only = false;
      } else if (option == "nobrowse") {
        options->hidden = true;
      } else if (option == "browse") {
        options->hidden = false;
      } else if (!option.empty()) {
        return Dissent(kDAReturnBadArgument, "unsupported mount argument: " + std::string(option));
      }
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  return nullptr;
}

// Runs `change` as one change of the disk's machine, turning a failure of the machine into
// a dissenter.
template <typename Change>
DADissenterRef ChangeMachine(DADiskRef disk, Change change) {
  try {
    sim::Machine machine(disk->session->root());
    return machine.Change([&](sim::Model& model) { return change(machine.root(), model); });
  } catch (const std::exception& error) {
    return Dissent(kDAReturnError, error.what());
  }
}

enum class Request { kMount, kUnmount, kEject };

struct MountRequest {
  std::optional<mcom::FilePath> path;
  uint32_t options = 0;
  sim::MountOptions machine_options;
};

DADissenterRef PerformMount(DADiskRef disk, const MountRequest& request, mcom::DiskName name) {
  const bool whole = (request.options & kDADiskMountOptionWhole) != 0;
  const mcom::FilePath& root = disk->session->root();

  // The disks the mount would change, for the approval callbacks.
  std::vector<da_internal::MountCandidate> candidates;
  if (const std::optional<sim::Model> model = da_internal::ReadMachine(root)) {
    std::vector<mcom::DiskName> names = {whole ? name.Whole() : name};
    if (whole) {
      for (mcom::DiskName volume : sim::VolumesOnDisk(*model, name.Whole()))
        names.push_back(volume);
    }
    for (mcom::DiskName each : names) {
      candidates.push_back(
          {mcom::FormatDiskName(each), da_internal::DescribeDisk(*model, root, each)});
    }
  }
  if (DADissenterRef dissenter = da_internal::AskApprovals(root, candidates)) return dissenter;

  sim::MountOptions options = request.machine_options;
  options.path = request.path;
  return ChangeMachine(disk, [&](const mcom::FilePath& machine_root, sim::Model& model) {
    if (!whole) {
      const sim::Volume* volume = sim::FindVolume(model, name);
      // A mounted volume is answered as mounted whatever the blockers say.
      if (volume != nullptr && !volume->is_mounted() && sim::FindBlocker(model, name)) {
        return BlockedDissenter();
      }
      return DissenterOf(sim::Mount(machine_root, model, name, options));
    }
    if (sim::FindBlocker(model, name.Whole())) return BlockedDissenter();
    for (mcom::DiskName volume : sim::VolumesOnDisk(model, name.Whole())) {
      const sim::Volume* found = sim::FindVolume(model, volume);
      if (found != nullptr && !found->is_mounted() && sim::FindBlocker(model, volume)) {
        return BlockedDissenter();
      }
    }
    return DissenterOf(sim::MountWholeDisk(machine_root, model, name, options));
  });
}

DADissenterRef Perform(DADiskRef disk, Request request, const MountRequest& mount) {
  const std::optional<mcom::DiskName> name =
      disk->bsd_name ? da_internal::ParseDiskName(*disk->bsd_name) : std::nullopt;
  if (!name) return Dissent(kDAReturnNotFound, "the disk has no BSD name");
  switch (request) {
    case Request::kMount:
      return PerformMount(disk, mount, *name);
    case Request::kUnmount:
      return ChangeMachine(disk, [&](const mcom::FilePath& root, sim::Model& model) {
        return DissenterOf((mount.options & kDADiskUnmountOptionWhole) != 0
                               ? sim::UnmountWholeDisk(root, model, *name)
                               : sim::Unmount(root, model, *name));
      });
    case Request::kEject:
      return ChangeMachine(disk, [&](const mcom::FilePath& root, sim::Model& model) {
        return DissenterOf(sim::Eject(root, model, *name));
      });
  }
  return nullptr;
}

using Completion = void (*)(DADiskRef disk, DADissenterRef dissenter, void* context);

// Carries the request out on a worker of the global queue and answers on the session's
// queue (the global queue when the session is unscheduled).
void Submit(DADiskRef disk, Request request, MountRequest mount, Completion callback, void* context,
            DADissenterRef refusal = nullptr) {
  if (disk == nullptr) {
    CFRelease(refusal);
    return;
  }
  CFRetain(disk);
  dispatch::Async(dispatch::GlobalQueue(), [disk, request, mount = std::move(mount), callback,
                                            context, refusal] {
    DADissenterRef dissenter = refusal != nullptr ? refusal : Perform(disk, request, mount);
    if (callback == nullptr) {
      CFRelease(dissenter);
      CFRelease(disk);
      return;
    }
    dispatch::Queue queue = disk->session->queue();
    if (!queue) queue = dispatch::GlobalQueue();
    dispatch::Async(queue, [disk, dissenter, callback, context] {
      callback(disk, dissenter, context);
      CFRelease(dissenter);
      CFRelease(disk);
    });
  });
}

void Register(DASessionRef session, Registration::Kind kind, const cf::Ref<cf::Dictionary>& match,
              void* callback, void* context, std::string blocker = {}) {
  if (session == nullptr || callback == nullptr) return;
  auto registration =
      std::make_shared<Registration>(kind, callback, context, match, std::move(blocker));
  if (kind == Registration::Kind::kApproval) {
    da_internal::AddApproval(session->state, std::move(registration));
  } else {
    session->state->AddDiskCallback(std::move(registration));
  }
}

}  // namespace

void DADiskMount(DADiskRef disk, const cf::Ref<cf::URL>& path, DADiskMountOptions options,
                 DADiskMountCallback callback, void* context) {
  DADiskMountWithArguments(disk, path, options, callback, context, nullptr);
}

void DADiskMountWithArguments(DADiskRef disk, const cf::Ref<cf::URL>& path,
                              DADiskMountOptions options, DADiskMountCallback callback,
                              void* context, const cf::Ref<cf::String>* arguments) {
  MountRequest mount;
  if (path) mount.path = path->path();
  mount.options = options;
  DADissenterRef refusal = ReadMountArguments(arguments, &mount.machine_options);
  Submit(disk, Request::kMount, std::move(mount), callback, context, refusal);
}

void DADiskUnmount(DADiskRef disk, DADiskUnmountOptions options, DADiskUnmountCallback callback,
                   void* context) {
  MountRequest request;
  request.options = options;
  Submit(disk, Request::kUnmount, std::move(request), callback, context);
}

void DADiskEject(DADiskRef disk, DADiskEjectOptions options, DADiskEjectCallback callback,
                 void* context) {
  MountRequest request;
  request.options = options;
  Submit(disk, Request::kEject, std::move(request), callback, context);
}

void DARegisterDiskAppearedCallback(DASessionRef session, const cf::Ref<cf::Dictionary>& match,
                                    DADiskAppearedCallback callback, void* context) {
  Register(session, Registration::Kind::kAppeared, match, reinterpret_cast<void*>(callback),
           context);
}

void DARegisterDiskDisappearedCallback(DASessionRef session, const cf::Ref<cf::Dictionary>& match,
                                       DADiskDisappearedCallback callback, void* context) {
  Register(session, Registration::Kind::kDisappeared, match, reinterpret_cast<void*>(callback),
           context);
}

void DAUnregisterCallback(DASessionRef session, void* callback, void* context) {
  if (session != nullptr) session->state->RemoveDiskCallback(callback, context);
}

void DARegisterDiskMountApprovalCallback(DASessionRef session, const cf::Ref<cf::Dictionary>& match,
                                         DADiskMountApprovalCallback callback, void* context) {
  Register(session, Registration::Kind::kApproval, match, reinterpret_cast<void*>(callback),
           context);
}

void DARegisterDiskMountBlocker(DASessionRef session, const char* bsd_name,
                                DADiskMountApprovalCallback callback, void* context) {
  if (bsd_name == nullptr) return;
  Register(session, Registration::Kind::kApproval, nullptr, reinterpret_cast<void*>(callback),
           context, bsd_name);
}

void DAUnregisterApprovalCallback(DASessionRef session, void* callback, void* context) {
  if (session != nullptr && callback != nullptr) {
    da_internal::RemoveApprovals(session->state.get(), callback, context);
  }
}

}  // namespace platform
