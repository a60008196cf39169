#include "core/discovery/mount_approval.h"

#include <utility>

namespace mcom::disk_arbitration {

// What the service's callback context points at: the retained session and the copied block.
// It stays at one address for as long as it is registered, even when the MountApproval that
// owns it is moved.
struct MountApproval::Registration {
  platform::DASessionRef session;
  MountApprovalBlock block;
};

namespace {

// The service's approval callback: hands the disk to the block and gives the service its
// own reference to the block's dissenter, or null to approve.
platform::DADissenterRef ApproveMount(platform::DADiskRef disk, void* context) {
  const auto& block = *static_cast<const MountApprovalBlock*>(context);
  const Disk retained = Disk::Retain(disk);
  Optional<Dissenter> dissenter = block(&retained);
  if (!dissenter) return nullptr;
  return dissenter->release();
}

}  // namespace

MountApprovalBlock MountBlockerBlock(std::string bsd_name) {
  return [bsd_name = std::move(bsd_name)](const Disk* disk) -> Optional<Dissenter> {
    if (disk->BSDName() == bsd_name) return Dissenter::Create(platform::kDAReturnBusy);
    if (const std::optional<Disk> whole = disk->WholeDisk();
        whole && whole->BSDName() == bsd_name) {
      return Dissenter::Create(platform::kDAReturnBusy);
    }
    return std::nullopt;
  };
}

MountApproval::MountApproval(std::unique_ptr<Registration> registration)
    : registration_(std::move(registration)) {}

MountApproval MountApproval::Register(const Session& session, MountApprovalBlock block) {
  auto registration = std::make_unique<Registration>(
      Registration{platform::CFRetain(session.get()), std::move(block)});
  platform::DARegisterDiskMountApprovalCallback(registration->session, nullptr, &ApproveMount,
                                                &registration->block);
  return MountApproval(std::move(registration));
}

MountApproval MountApproval::RegisterBlocker(const Session& session, const std::string& bsd_name) {
  auto registration = std::make_unique<Registration>(
      Registration{platform::CFRetain(session.get()), MountBlockerBlock(bsd_name)});
  platform::DARegisterDiskMountBlocker(registration->session, bsd_name.c_str(), &ApproveMount,
                                       &registration->block);
  return MountApproval(std::move(registration));
}

MountApproval::~MountApproval() { Unregister(); }

MountApproval::MountApproval(MountApproval&& other) noexcept = default;

MountApproval& MountApproval::operator=(MountApproval&& other) noexcept {
  if (this != &other) {
    Unregister();
    registration_ = std::move(other.registration_);
  }
  return *this;
}

void MountApproval::Unregister() {
  if (!registration_) return;
  platform::DAUnregisterApprovalCallback(
      registration_->session, reinterpret_cast<void*>(&ApproveMount), &registration_->block);
  platform::CFRelease(registration_->session);
  registration_.reset();
}

}  // namespace mcom::disk_arbitration
