#if !defined(__linux__)
#error "da_disk_linux.cc is the Linux disk-arbitration stand-in"
#endif

#include "core/foundation/cf_string.h"
#include "platform/disk_arbitration/da_internal_linux.h"
#include "platform/disk_arbitration/machine_disks_linux.h"

namespace platform {

namespace da_internal {

DADiskRef MakeDisk(std::shared_ptr<SessionState> session, std::optional<std::string> bsd_name) {
  auto* disk = new DADisk;
  disk->session = std::move(session);
  disk->bsd_name = std::move(bsd_name);
  return disk;
}

}  // namespace da_internal

namespace {

// A disk of `session` for `name`, with the BSD name set when the machine has that disk now.
DADiskRef DiskForName(const std::shared_ptr<da_internal::SessionState>& session,
                      std::optional<mcom::DiskName> name) {
  std::optional<std::string> bsd_name;
  if (name) {
    if (const std::optional<sim::Model> model = da_internal::ReadMachine(session->root());
        model && da_internal::HasDisk(*model, *name)) {
      bsd_name = mcom::FormatDiskName(*name);
    }
  }
  return da_internal::MakeDisk(session, std::move(bsd_name));
}

}  // namespace

DADiskRef DADiskCreateFromBSDName(DASessionRef session, const char* name) {
  if (session == nullptr || name == nullptr) return nullptr;
  return DiskForName(session->state, da_internal::ParseDiskName(name));
}

DADiskRef DADiskCreateFromIOMedia(DASessionRef session, io_service_t media) {
  if (session == nullptr || !IOObjectConformsTo(media, "IOMedia")) return nullptr;
  const mcom::cf::Ref<mcom::cf::String> name =
      mcom::cf::As<mcom::cf::String>(IORegistryEntryCreateCFProperty(media, kIOBSDNameKey, 0));
  if (!name) return nullptr;
  const std::optional<mcom::DiskName> parsed = da_internal::ParseDiskName(name->utf8());
  if (!parsed) return nullptr;
  DADiskRef disk = DiskForName(session->state, parsed);
  if (disk->bsd_name) return disk;
  CFRelease(disk);
  return nullptr;
}

DADiskRef DADiskCreateFromVolumePath(DASessionRef session,
                                     const mcom::cf::Ref<mcom::cf::URL>& path) {
  if (session == nullptr || !path) return nullptr;
  const mcom::FilePath& root = session->state->root();
  const std::optional<sim::Model> model = da_internal::ReadMachine(root);
  if (!model) return nullptr;
  const std::optional<mcom::DiskName> volume =
      da_internal::VolumeMountedAt(*model, root, path->path());
  if (!volume) return nullptr;
  return da_internal::MakeDisk(session->state, mcom::FormatDiskName(*volume));
}

const char* DADiskGetBSDName(DADiskRef disk) {
  if (disk == nullptr || !disk->bsd_name) return nullptr;
  return disk->bsd_name->c_str();
}

DADiskRef DADiskCopyWholeDisk(DADiskRef disk) {
  if (disk == nullptr || !disk->bsd_name) return nullptr;
  const std::optional<mcom::DiskName> name = da_internal::ParseDiskName(*disk->bsd_name);
  if (!name) return nullptr;
  DADiskRef whole = DiskForName(disk->session, name->Whole());
  if (whole->bsd_name) return whole;
  CFRelease(whole);
  return nullptr;
}

mcom::cf::Ref<mcom::cf::Dictionary> DADiskCopyDescription(DADiskRef disk) {
  if (disk == nullptr) return nullptr;
  if (disk->gone) return disk->gone_description;
  if (!disk->bsd_name) return nullptr;
  const std::optional<mcom::DiskName> name = da_internal::ParseDiskName(*disk->bsd_name);
  const std::optional<sim::Model> model = da_internal::ReadMachine(disk->session->root());
  if (!name || !model) return nullptr;
  return da_internal::DescribeDisk(*model, disk->session->root(), *name);
}

io_service_t DADiskCopyIOMedia(DADiskRef disk) {
  if (disk == nullptr || !disk->bsd_name) return IO_OBJECT_NULL;
  return IOServiceGetMatchingService(
      kIOMainPortDefault, IOBSDNameMatching(kIOMainPortDefault, 0, disk->bsd_name->c_str()));
}

DADiskRef CFRetain(DADiskRef disk) {
  if (disk != nullptr) disk->references.fetch_add(1, std::memory_order_relaxed);
  return disk;
}

void CFRelease(DADiskRef disk) {
  if (disk != nullptr && disk->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete disk;
  }
}

}  // namespace platform
