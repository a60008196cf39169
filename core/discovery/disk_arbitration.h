#pragma once

#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "core/discovery/service.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/dispatch.h"
#include "core/foundation/file_path.h"
#include "core/foundation/optional.h"
#include "core/foundation/result.h"
#include "platform/disk_arbitration/disk_arbitration.h"
#include "platform/posix/scoped_generic.h"

// The disk-arbitration service in owning types: sessions, disks and dissenters, and each
// asynchronous request as a std::future that a worker thread can wait on.
//
//   mcom::disk_arbitration::Session session(dispatch::CreateQueue("com.example.mounts"));
//   std::optional<Disk> disk = Disk::FromBSDName(session, "disk2s1");
//   mcom::Result<mcom::FilePath> mounted = Mount(*disk).get();
//
// Failures of the service are status values in the "mcom::disk_arbitration" error category
// (core/foundation/error_category.h). The answers of a request arrive on the queue its
// session is scheduled on; a thread must not wait for a future on that same queue, or it
// waits for ever.
namespace mcom::disk_arbitration {

namespace internal {

// Releases one reference to a disk-arbitration object.
template <typename Ref>
struct ReferenceTraits {
  static Ref InvalidValue() { return nullptr; }
  static void Free(Ref object) { platform::CFRelease(object); }
};

}  // namespace internal

// A session with the service. Default-constructed it is unscheduled: its requests are carried
// out, but it is meant for requests nobody waits for (the remount after a replication).
// Constructed with a queue it is scheduled there, and answers arrive on that queue.
// Move-only; the session is released on destruction.
class Session {
 public:
  Session();
  explicit Session(const DispatchQueue& queue);

  platform::DASessionRef get() const { return session_.get(); }

 private:
  ScopedGeneric<platform::DASessionRef, internal::ReferenceTraits<platform::DASessionRef>> session_;
};

// The service's refusal of a request: a status and an optional text. Move-only.
class Dissenter {
 public:
  // Takes over the caller's reference to `dissenter`, which must not be null.
  explicit Dissenter(platform::DADissenterRef dissenter) : dissenter_(dissenter) {}
  // A new reference to `dissenter`, which the caller keeps its own reference to.
  static Dissenter Retain(platform::DADissenterRef dissenter);
  // A new dissenter with `status` and no text (or with `text`).
  static Dissenter Create(platform::DAReturn status);
  static Dissenter Create(platform::DAReturn status, const std::string& text);

  platform::DADissenterRef get() const { return dissenter_.get(); }
  // Gives the reference up; the caller must release it.
  [[nodiscard]] platform::DADissenterRef release() { return dissenter_.release(); }

  platform::DAReturn status() const;
  // The text, or nothing when the dissenter has none.
  std::optional<std::string> status_string() const;
  // What the log shows for it ("%@").
  std::string Description() const;

 private:
  ScopedGeneric<platform::DADissenterRef, internal::ReferenceTraits<platform::DADissenterRef>>
      dissenter_;
};

// One disk known to the service: a whole disk, a partition, an APFS container's disk or a
// volume. Move-only; the disk is released on destruction. A Disk keeps its session's
// connection to the machine alive, so it may outlive the Session it was made from.
class Disk {
 public:
  // Takes over the caller's reference to `disk`, which must not be null.
  explicit Disk(platform::DADiskRef disk) : disk_(disk) {}
  // A new reference to `disk`, which the caller keeps its own reference to.
  static Disk Retain(platform::DADiskRef disk);

  // The disk with BSD name `name` ("disk2s1"), when the service knows one by that name now.
  static std::optional<Disk> FromBSDName(const Session& session, const std::string& name);
  // The disk of the volume mounted at `path` (a file URL; a directory URL of
  // mcom::SystemPath("/") names the running system's System volume).
  static std::optional<Disk> FromVolumePath(const Session& session, const cf::Ref<cf::URL>& path);
  // The disk of a registry media object.
  static std::optional<Disk> FromIOMedia(const Session& session, const iokit::Service& media);

  platform::DADiskRef get() const { return disk_.get(); }

  // "disk2s1"; nothing when the disk has no BSD name.
  std::optional<std::string> BSDName() const;
  // The whole disk this disk is part of (itself for a whole disk).
  std::optional<Disk> WholeDisk() const;
  // The disk's description as it is now (platform/disk_arbitration/da_disk.h lists the keys);
  // null when the service has none.
  cf::Ref<cf::Dictionary> Description() const;
  // The disk's media object in the registry; empty when there is none.
  iokit::Service IOMedia() const;

  // Requests a mount at the service's default place with the default options, and does not
  // wait for or look at the outcome. Works with an unscheduled session.
  void MountInBackground() const;

 private:
  ScopedGeneric<platform::DADiskRef, internal::ReferenceTraits<platform::DADiskRef>> disk_;
};

// The flags of MountWithOptions and MountVolume.
// Bit 0 set: writable; clear: the mount argument "ro".
inline constexpr uint32_t kMountWritable = 1u << 0;
// Bit 1 set: the mount argument "nobrowse" (the volume is not shown to the user).
inline constexpr uint32_t kMountNotBrowsable = 1u << 1;

// The mount arguments of `flags`, in this order: "ro" when kMountWritable is clear,
// "nobrowse" when kMountNotBrowsable is set. Flags 1 give none (the plain mount call).
std::vector<std::string> MountArguments(uint32_t flags);

// ---- Requests ----
// Each returns at once; the future is fulfilled once, on the session's queue. A dissenter
// is logged at default level ("operation for %{public}s failed: %@") before it is handed
// over; an empty value means the service carried the request out.

// Ejects the disk (and removes external media from the machine).
std::future<Optional<Dissenter>> Eject(const Disk& disk);
// Unmounts the volume.
std::future<Optional<Dissenter>> Unmount(const Disk& disk);
// Unmounts every volume of the disk's whole disk.
std::future<Optional<Dissenter>> UnmountWholeDisk(const Disk& disk);
// Mounts the volume at the service's default place; the value is the volume's mount point
// from its description afterwards (even when the service dissented, if the volume is
// mounted). Without a mount point: the dissenter's status in the "mcom::disk_arbitration"
// category, logged as "mount operation for %{public}s failed: %@", or kDAReturnError when the
// service gave neither.
std::future<Result<FilePath>> Mount(const Disk& disk);
// Mounts every volume of the disk's whole disk at their default places.
std::future<Optional<Dissenter>> MountWholeDisk(const Disk& disk);
// Mounts the volume at `path` (an existing empty directory; the default place when empty)
// with the mount arguments of `flags`.
std::future<Optional<Dissenter>> MountWithOptions(const Disk& disk,
                                                  const std::optional<FilePath>& path,
                                                  uint32_t flags);
// Mounts the volume at `path` (a file URL; null for the default place) with `arguments`
// ("ro", "nobrowse"); without arguments this is the plain mount call.
std::future<Optional<Dissenter>> MountAtPathWithArguments(
    const Disk& disk, const cf::Ref<cf::URL>& path, const std::vector<std::string>& arguments);

// Does nothing for an empty value; otherwise throws std::system_error whose code is the
// dissenter's status in the "mcom::disk_arbitration" category.
void ThrowIfDissented(Optional<Dissenter> dissenter);

}  // namespace mcom::disk_arbitration
