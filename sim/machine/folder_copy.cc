#include "sim/machine/folder_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
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
#include "platform/file_copy.h"
#include "platform/posix/posix_error.h"
#include "platform/posix/scoped_fd.h"

namespace sim {
namespace {

// What one entry weighs against data when progress is measured: about a file-system block,
// the least any entry costs to copy.
constexpr uint64_t kEntryWeight = 4096;

std::error_code ErrorOf(int value) { return std::error_code(value, std::generic_category()); }
using mcom::LastError;
using mcom::ScopedFD;

ScopedFD OpenFolder(int parent, const char* name) {
  return platform::OpenForReading(parent, name, O_DIRECTORY);
}

uint64_t OccupiedBytes(const struct stat& status) {
  if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) return 0;
  return static_cast<uint64_t>(status.st_blocks) * 512;
}

std::error_code Measure(int folder, FolderSize* size) {
  std::vector<std::string> names;
  if (std::error_code error = platform::ListDirectory(folder, &names)) return error;
  for (const std::string& name : names) {
    struct stat status {};
    if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // gone since it was listed
      return LastError();
    }
    ++size->entries;
    size->bytes += OccupiedBytes(status);
    if (S_ISDIR(status.st_mode)) {
      ScopedFD child = OpenFolder(folder, name.c_str());
      if (!child.is_valid()) return LastError();
      if (std::error_code error = Measure(child.get(), size)) return error;
    }
  }
  return {};
}

// Gives the folder `to` the metadata of the open folder `from`, as the platform's copy gives
// each directory it makes.
std::error_code CopyFolderMetadata(int from, const mcom::FilePath& to) {
  const ScopedFD target = OpenFolder(AT_FDCWD, to.c_str());
  if (!target.is_valid()) return LastError();
  return platform::CopyMetadata(from, target.get());
}

class Copier {
 public:
  explicit Copier(const FolderCopyProgress& progress) : progress_(progress) {}

  // Copies the entries of the open folder `from` (at path `from_path`) into the folder at
  // `to_path`, then `to_path`'s metadata.
  std::error_code CopyFolder(int from, const mcom::FilePath& from_path,
                             const mcom::FilePath& to_path) {
    std::vector<std::string> names;
    if (std::error_code error = platform::ListDirectory(from, &names)) return error;
    for (const std::string& name : names) {
      struct stat entry {};
      if (::fstatat(from, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // gone since it was listed
        return LastError();
      }
      const mcom::FilePath entry_from = from_path.Join(name);
      const mcom::FilePath entry_to = to_path.Join(name);
      if (S_ISDIR(entry.st_mode)) {
        ScopedFD child = OpenFolder(from, name.c_str());
        if (!child.is_valid()) return LastError();
        // Made private first; it gets its own mode once its contents are in.
        if (::mkdir(entry_to.c_str(), 0700) != 0 && !IsFolder(entry_to)) return LastError();
        if (std::error_code error = CopyFolder(child.get(), entry_from, entry_to)) {
          return error;
        }
      } else if (std::error_code error = CopyEntry(entry, entry_from, entry_to)) {
        return error;
      }
      ++done_.entries;
      done_.bytes += OccupiedBytes(entry);
      if (progress_ && !progress_(done_)) return ErrorOf(ECANCELED);
    }
    return CopyFolderMetadata(from, to_path);
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
  ScopedFD fd = OpenFolder(AT_FDCWD, folder.c_str());
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
  ScopedFD from = OpenFolder(AT_FDCWD, source.c_str());
  if (!from.is_valid()) return LastError();
  struct stat target {};
  if (::stat(destination.c_str(), &target) != 0) return LastError();
  if (!S_ISDIR(target.st_mode)) return ErrorOf(ENOTDIR);
  if (IsInside(destination, source)) return ErrorOf(EINVAL);
  Copier copier(progress);
  return copier.CopyFolder(from.get(), source, destination);
}

}  // namespace sim
