#include "sim/machine/folder_copy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/foundation/file_tree.h"
#include "platform/posix/posix_error.h"
#include "platform/posix/scoped_fd.h"

namespace sim {
namespace {

// What one entry weighs against data when progress is measured: about a file-system block,
// the least any entry costs to copy.
constexpr uint64_t kEntryWeight = 4096;

std::error_code SystemError(int value) { return std::error_code(value, std::system_category()); }
std::error_code LastError() { return SystemError(errno); }

using Descriptor = mcom::ScopedFD;

// Opens a folder for reading, without updating its access time where the process may ask
// for that (the owner or a privileged process), and without following a final link.
Descriptor OpenFolder(int parent, const char* name) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = mcom::RetryOnInterrupt([&] { return ::openat(parent, name, kFlags | O_NOATIME); });
  if (fd < 0 && errno == EPERM) {
    fd = mcom::RetryOnInterrupt([&] { return ::openat(parent, name, kFlags); });
  }
  return Descriptor(fd);
}

// The names in an open folder without "." and "..", sorted, so a copy goes the same way
// every time. Reads through a duplicate, since closedir closes the descriptor it owns.
std::error_code ListNames(int folder, std::vector<std::string>* names) {
  const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return LastError();
  DIR* stream = ::fdopendir(copy);
  if (stream == nullptr) {
    const std::error_code error = LastError();
    ::close(copy);
    return error;
  }
  ::rewinddir(stream);
  names->clear();
  std::error_code error;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      if (errno != 0) error = LastError();
      break;
    }
    const std::string_view name(entry->d_name);
    if (name != "." && name != "..") names->emplace_back(name);
  }
  ::closedir(stream);
  std::sort(names->begin(), names->end());
  return error;
}

uint64_t OccupiedBytes(const struct stat& status) {
  if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) return 0;
  return static_cast<uint64_t>(status.st_blocks) * 512;
}

std::error_code Measure(int folder, FolderSize* size) {
  std::vector<std::string> names;
  if (std::error_code error = ListNames(folder, &names)) return error;
  for (const std::string& name : names) {
    struct stat status {};
    if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // gone since it was listed
      return LastError();
    }
    ++size->entries;
    size->bytes += OccupiedBytes(status);
    if (S_ISDIR(status.st_mode)) {
      Descriptor child = OpenFolder(folder, name.c_str());
      if (!child.is_valid()) return LastError();
      if (std::error_code error = Measure(child.get(), size)) return error;
    }
  }
  return {};
}

// The extended attributes of an open folder, all namespaces. The Mac's own ("user.") must
// be copied; those of the host's other namespaces are copied where the process may write
// them and skipped where it may not, as the foundation's copy does.
std::error_code CopyAttributes(int from, int to) {
  ssize_t length = ::flistxattr(from, nullptr, 0);
  if (length < 0) return errno == ENOTSUP ? std::error_code() : LastError();
  std::string list(static_cast<size_t>(length), '\0');
  length = ::flistxattr(from, list.data(), list.size());
  if (length < 0) return LastError();
  list.resize(static_cast<size_t>(length));
  for (size_t start = 0; start < list.size();) {
    const std::string name(list.c_str() + start);
    start += name.size() + 1;
    if (name.empty()) continue;
    const bool mac_attribute = name.starts_with("user.");
    std::string value;
    ssize_t size = ::fgetxattr(from, name.c_str(), nullptr, 0);
    if (size >= 0) {
      value.resize(static_cast<size_t>(size));
      size = ::fgetxattr(from, name.c_str(), value.data(), value.size());
    }
    int error = size < 0 ? errno : 0;
    if (error == 0) {
      value.resize(static_cast<size_t>(size));
      if (::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) error = errno;
    }
    if (error == 0) continue;
    if (!mac_attribute && (error == EPERM || error == EACCES || error == ENOTSUP)) continue;
    return SystemError(error);
  }
  return {};
}

// Gives the folder `to` the metadata of the open folder `from`: extended attributes, owner
// (where the process may set it; without that the set-user-id and set-group-id bits that
// would name another owner or group are dropped, so that a copy never gains them), mode and
// times, the times last.
std::error_code CopyFolderMetadata(int from, const struct stat& status, const mcom::FilePath& to) {
  Descriptor target(mcom::RetryOnInterrupt(
      [&] { return ::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
  if (!target.is_valid()) return LastError();
  if (std::error_code error = CopyAttributes(from, target.get())) return error;
  mode_t mode = status.st_mode & 07777;
  if (::fchown(target.get(), status.st_uid, status.st_gid) != 0) {
    if (errno != EPERM) return LastError();
    struct stat own {};
    if (::fstat(target.get(), &own) != 0) return LastError();
    if (own.st_uid != status.st_uid) mode &= ~static_cast<mode_t>(S_ISUID);
    if (own.st_gid != status.st_gid) mode &= ~static_cast<mode_t>(S_ISGID);
  }
  if (::fchmod(target.get(), mode) != 0) return LastError();
  const timespec times[2] = {status.st_atim, status.st_mtim};
  if (::futimens(target.get(), times) != 0) return LastError();
  return {};
}

class Copier {
 public:
  explicit Copier(const FolderCopyProgress& progress) : progress_(progress) {}

  // Copies the entries of the open folder `from` (at path `from_path`) into the folder at
  // `to_path`, then `to_path`'s metadata.
  std::error_code CopyFolder(int from, const struct stat& status, const mcom::FilePath& from_path,
                             const mcom::FilePath& to_path) {
    std::vector<std::string> names;
    if (std::error_code error = ListNames(from, &names)) return error;
    for (const std::string& name : names) {
      struct stat entry {};
      if (::fstatat(from, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // gone since it was listed
        return LastError();
      }
      const mcom::FilePath entry_from = from_path.Join(name);
      const mcom::FilePath entry_to = to_path.Join(name);
      if (S_ISDIR(entry.st_mode)) {
        Descriptor child = OpenFolder(from, name.c_str());
        if (!child.is_valid()) return LastError();
        // Made private first; it gets its own mode once its contents are in.
        if (::mkdir(entry_to.c_str(), 0700) != 0 && !IsFolder(entry_to)) return LastError();
        if (std::error_code error = CopyFolder(child.get(), entry, entry_from, entry_to)) {
          return error;
        }
      } else if (std::error_code error = CopyEntry(entry, entry_from, entry_to)) {
        return error;
      }
      ++done_.entries;
      done_.bytes += OccupiedBytes(entry);
      if (progress_ && !progress_(done_)) return SystemError(ECANCELED);
    }
    return CopyFolderMetadata(from, status, to_path);
  }

 private:
  // A file with several names inside the tree is copied once; its other names become links
  // to that copy, so the copy holds as many files as the source, as a block copy would.
  std::error_code CopyEntry(const struct stat& entry, const mcom::FilePath& from,
                            const mcom::FilePath& to) {
    if (!S_ISREG(entry.st_mode) || entry.st_nlink < 2) return mcom::CopyTree(from, to);
    const auto [copied, first] = copied_files_.try_emplace({entry.st_dev, entry.st_ino}, to);
    if (first) return mcom::CopyTree(from, to);
    if (::unlink(to.c_str()) != 0 && errno != ENOENT) return LastError();
    if (::link(copied->second.c_str(), to.c_str()) != 0) return LastError();
    return {};
  }

  static bool IsFolder(const mcom::FilePath& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  }

  const FolderCopyProgress& progress_;
  FolderSize done_;
  std::map<std::pair<dev_t, ino_t>, mcom::FilePath> copied_files_;  // by the source's identity
};

// Whether `inner` is `outer` or lies below it, after resolving links.
bool IsInside(const mcom::FilePath& inner, const mcom::FilePath& outer) {
  char inner_real[PATH_MAX];
  char outer_real[PATH_MAX];
  if (::realpath(inner.c_str(), inner_real) == nullptr) return false;
  if (::realpath(outer.c_str(), outer_real) == nullptr) return false;
  const std::string_view a(inner_real);
  const std::string_view b(outer_real);
  return a == b || (a.starts_with(b) && (b == "/" || a[b.size()] == '/'));
}

}  // namespace

mcom::Result<FolderSize> MeasureFolder(const mcom::FilePath& folder) {
  Descriptor fd = OpenFolder(AT_FDCWD, folder.c_str());
  if (!fd.is_valid()) return LastError();
  FolderSize size;
  if (std::error_code error = Measure(fd.get(), &size)) return error;
  return size;
}

double CopiedFraction(const FolderSize& done, const FolderSize& total) {
  const double whole = static_cast<double>(total.bytes) +
                       static_cast<double>(total.entries) * static_cast<double>(kEntryWeight);
  if (whole <= 0) return 1.0;
  const double part = static_cast<double>(done.bytes) +
                      static_cast<double>(done.entries) * static_cast<double>(kEntryWeight);
  return std::min(1.0, part / whole);
}

std::error_code CopyFolderContents(const mcom::FilePath& source, const mcom::FilePath& destination,
                                   const FolderCopyProgress& progress) {
  Descriptor from = OpenFolder(AT_FDCWD, source.c_str());
  if (!from.is_valid()) return LastError();
  struct stat status {};
  if (::fstat(from.get(), &status) != 0) return LastError();
  struct stat target {};
  if (::stat(destination.c_str(), &target) != 0) return LastError();
  if (!S_ISDIR(target.st_mode)) return SystemError(ENOTDIR);
  if (IsInside(destination, source)) return SystemError(EINVAL);
  Copier copier(progress);
  return copier.CopyFolder(from.get(), status, source, destination);
}

}  // namespace sim
