#include "core/backup/disk_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "core/foundation/error.h"
#include "core/foundation/system_path.h"
#include "platform/posix/posix_error.h"

namespace {

constexpr char kClaimFolder[] = "/private/var/run/com.halvex-software.Dorvane";

}  // namespace

DiskClaims::DiskClaims(const std::vector<mcom::DiskName>& disks, const char* operation) {
  const mcom::FilePath folder = mcom::SystemPath(kClaimFolder);
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    throw Error(operation, "cannot make " + folder.string() + ": " + mcom::LastError().message());
  }
  for (const mcom::DiskName disk : disks) {
    const std::string name = mcom::FormatDiskName(disk);
    const mcom::FilePath path = folder.Join(name + ".claim");
    mcom::File lock(mcom::RetryOnInterrupt(
        [&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644); }));
    if (!lock) throw Error(operation, "cannot claim " + name + ": " + mcom::LastError().message());
    // flock locks belong to the open file, so a second claim from this process conflicts
    // too.
    if (mcom::RetryOnInterrupt([&] { return ::flock(lock.get(), LOCK_EX | LOCK_NB); }) != 0) {
      if (errno == EWOULDBLOCK)
        throw Error(operation, name + " is in use by another Dorvane operation");
      throw Error(operation, "cannot claim " + name + ": " + mcom::LastError().message());
    }
    locks_.push_back(std::move(lock));
  }
}
