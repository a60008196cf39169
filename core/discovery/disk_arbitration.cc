#include "core/discovery/disk_arbitration.h"

#include <memory>
#include <system_error>
#include <utility>

#include "core/foundation/error_category.h"
#include "core/foundation/log.h"

namespace mcom::disk_arbitration {
namespace {

using DissenterPromise = std::promise<Optional<Dissenter>>;
using PathPromise = std::promise<Result<FilePath>>;

// The completion of the requests whose value is the dissenter. Called once, on the session's
// queue; it owns the promise from here on.
void CompleteWithDissenter(platform::DADiskRef disk, platform::DADissenterRef dissenter,
                           void* context) {
  std::unique_ptr<DissenterPromise> promise(static_cast<DissenterPromise*>(context));
  if (dissenter == nullptr) {
    promise->set_value(std::nullopt);
    return;
  }
  log::Default("operation for %{public}s failed: %@", platform::DADiskGetBSDName(disk),
               platform::CFCopyDescription(dissenter));
  promise->set_value(Dissenter::Retain(dissenter));
}

// The completion of "mount": the mount point, read back from the disk's description.
void CompleteWithPath(platform::DADiskRef disk, platform::DADissenterRef dissenter, void* context) {
  std::unique_ptr<PathPromise> promise(static_cast<PathPromise*>(context));
  const cf::Ref<cf::Dictionary> description = platform::DADiskCopyDescription(disk);
  const cf::Ref<cf::URL> url =
      description ? description->Get<cf::URL>(platform::kDADiskDescriptionVolumePathKey) : nullptr;
  if (std::optional<FilePath> path = cf::PathFromURL(url)) {
    promise->set_value(std::move(*path));
    return;
  }
  platform::DAReturn status = platform::kDAReturnError;
  if (dissenter != nullptr) {
    log::Default("mount operation for %{public}s failed: %@", platform::DADiskGetBSDName(disk),
                 platform::CFCopyDescription(dissenter));
    status = platform::DADissenterGetStatus(dissenter);
  }
  promise->set_value(std::error_code(status, category()));
}

// A request on a moved-from Disk has no service to answer it: it is refused at once rather
// than never answered.
std::future<Optional<Dissenter>> RefusedAtOnce() {
  DissenterPromise promise;
  promise.set_value(Dissenter::Create(platform::kDAReturnBadArgument));
  return promise.get_future();
}

// Makes a promise for `request`, which hands it to the service as the context of
// CompleteWithDissenter.
template <typename Request>
std::future<Optional<Dissenter>> RequestWithDissenter(const Disk& disk, Request request) {
  if (disk.get() == nullptr) return RefusedAtOnce();
  auto promise = std::make_unique<DissenterPromise>();
  std::future<Optional<Dissenter>> future = promise->get_future();
  request(disk.get(), &CompleteWithDissenter, promise.release());
  return future;
}

}  // namespace

// ---- Session ----

Session::Session() : session_(platform::DASessionCreate()) {}

Session::Session(const DispatchQueue& queue) : Session() {
  platform::DASessionSetDispatchQueue(session_.get(), queue);
}

// ---- Dissenter ----

Dissenter Dissenter::Retain(platform::DADissenterRef dissenter) {
  return Dissenter(platform::CFRetain(dissenter));
}

Dissenter Dissenter::Create(platform::DAReturn status) {
  return Dissenter(platform::DADissenterCreate(status, nullptr));
}

Dissenter Dissenter::Create(platform::DAReturn status, const std::string& text) {
  return Dissenter(platform::DADissenterCreate(status, cf::String::Create(text)));
}

platform::DAReturn Dissenter::status() const { return platform::DADissenterGetStatus(get()); }

std::optional<std::string> Dissenter::status_string() const {
  const cf::Ref<cf::String> text = platform::DADissenterGetStatusString(get());
  if (!text) return std::nullopt;
  return text->utf8();
}

std::string Dissenter::Description() const { return platform::CFCopyDescription(get()); }

// ---- Disk ----

Disk Disk::Retain(platform::DADiskRef disk) { return Disk(platform::CFRetain(disk)); }

std::optional<Disk> Disk::FromBSDName(const Session& session, const std::string& name) {
  platform::DADiskRef disk = platform::DADiskCreateFromBSDName(session.get(), name.c_str());
  if (disk == nullptr) return std::nullopt;
  Disk owned(disk);
  // The service makes a disk object for any name; only one that it knows has a BSD name.
  if (platform::DADiskGetBSDName(disk) == nullptr) return std::nullopt;
  return owned;
}

std::optional<Disk> Disk::FromVolumePath(const Session& session, const cf::Ref<cf::URL>& path) {
  platform::DADiskRef disk = platform::DADiskCreateFromVolumePath(session.get(), path);
  if (disk == nullptr) return std::nullopt;
  return Disk(disk);
}

std::optional<Disk> Disk::FromIOMedia(const Session& session, const iokit::Service& media) {
  platform::DADiskRef disk = platform::DADiskCreateFromIOMedia(session.get(), media.get());
  if (disk == nullptr) return std::nullopt;
  return Disk(disk);
}

std::optional<std::string> Disk::BSDName() const {
  const char* name = platform::DADiskGetBSDName(get());
  if (name == nullptr) return std::nullopt;
  return std::string(name);
}

std::optional<Disk> Disk::WholeDisk() const {
  platform::DADiskRef whole = platform::DADiskCopyWholeDisk(get());
  if (whole == nullptr) return std::nullopt;
  return Disk(whole);
}

cf::Ref<cf::Dictionary> Disk::Description() const { return platform::DADiskCopyDescription(get()); }

iokit::Service Disk::IOMedia() const { return iokit::Service(platform::DADiskCopyIOMedia(get())); }

void Disk::MountInBackground() const {
  platform::DADiskMount(get(), nullptr, platform::kDADiskMountOptionDefault, nullptr, nullptr);
}

// ---- Requests ----

std::vector<std::string> MountArguments(uint32_t flags) {
  std::vector<std::string> arguments;
  if ((flags & kMountWritable) == 0) arguments.push_back("ro");
  if ((flags & kMountNotBrowsable) != 0) arguments.push_back("nobrowse");
  return arguments;
}

std::future<Optional<Dissenter>> Eject(const Disk& disk) {
  return RequestWithDissenter(disk, [](auto* target, auto callback, void* context) {
    platform::DADiskEject(target, platform::kDADiskEjectOptionDefault, callback, context);
  });
}

std::future<Optional<Dissenter>> Unmount(const Disk& disk) {
  return RequestWithDissenter(disk, [](auto* target, auto callback, void* context) {
    platform::DADiskUnmount(target, platform::kDADiskUnmountOptionDefault, callback, context);
  });
}

std::future<Optional<Dissenter>> UnmountWholeDisk(const Disk& disk) {
  return RequestWithDissenter(disk, [](auto* target, auto callback, void* context) {
    platform::DADiskUnmount(target, platform::kDADiskUnmountOptionWhole, callback, context);
  });
}

std::future<Result<FilePath>> Mount(const Disk& disk) {
  auto promise = std::make_unique<PathPromise>();
  std::future<Result<FilePath>> future = promise->get_future();
  if (disk.get() == nullptr) {
    promise->set_value(std::error_code(platform::kDAReturnBadArgument, category()));
    return future;
  }
  platform::DADiskMount(disk.get(), nullptr, platform::kDADiskMountOptionDefault, &CompleteWithPath,
                        promise.release());
  return future;
}

std::future<Optional<Dissenter>> MountWholeDisk(const Disk& disk) {
  return RequestWithDissenter(disk, [](auto* target, auto callback, void* context) {
    platform::DADiskMount(target, nullptr, platform::kDADiskMountOptionWhole, callback, context);
  });
}

std::future<Optional<Dissenter>> MountWithOptions(const Disk& disk,
                                                  const std::optional<FilePath>& path,
                                                  uint32_t flags) {
  const cf::Ref<cf::URL> url = path ? cf::URLFromPath(*path, /*is_directory=*/true) : nullptr;
  // A path the service cannot be given (empty, or with a zero byte) would otherwise turn
  // into a mount at the default place.
  if (path && !url) return RefusedAtOnce();
  return MountAtPathWithArguments(disk, url, MountArguments(flags));
}

std::future<Optional<Dissenter>> MountAtPathWithArguments(
    const Disk& disk, const cf::Ref<cf::URL>& path, const std::vector<std::string>& arguments) {
  if (arguments.empty()) {
    return RequestWithDissenter(disk, [&](auto* target, auto callback, void* context) {
      platform::DADiskMount(target, path, platform::kDADiskMountOptionDefault, callback, context);
    });
  }
  // The service takes a list ended by a null entry.
  std::vector<cf::Ref<cf::String>> list;
  for (const std::string& argument : arguments) {
    cf::Ref<cf::String> text = cf::String::Create(argument);
    if (!text) return RefusedAtOnce();
    list.push_back(std::move(text));
  }
  list.push_back(nullptr);
  return RequestWithDissenter(disk, [&](auto* target, auto callback, void* context) {
    platform::DADiskMountWithArguments(target, path, platform::kDADiskMountOptionDefault, callback,
                                       context, list.data());
  });
}

void ThrowIfDissented(Optional<Dissenter> dissenter) {
  if (!dissenter) return;
  throw std::system_error(std::error_code(dissenter->status(), category()));
}

}  // namespace mcom::disk_arbitration
