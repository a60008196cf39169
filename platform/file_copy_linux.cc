#ifndef __linux__
#error "This file implements file-tree copying and removal for Linux only."
#endif

// copyfile(3) and removefile(3) trees on Linux.
//
// Both walks work relative to open directory descriptors (openat, fstatat, mkdirat, unlinkat)
// and never resolve a path longer than one name below a descriptor, so trees deeper than
// PATH_MAX are copied and removed like any other, and a directory renamed or replaced by a
// link during the walk is never followed out of the tree. Each level of the walk holds one
// descriptor per tree (two while copying), so depth is bounded by the descriptor limit; a walk
// that reaches it fails with EMFILE.
//
// Decisions where Linux and the Mac differ, or where copyfile leaves a choice:
// - Hard links inside a tree are copied as separate files with the same contents.
// - FIFOs and sockets are recreated. Device nodes are recreated when the process may make
//   them; when mknod is refused with EPERM the node is skipped, since a node holds no data
//   and an unprivileged copy could never hold it. Every other failure stops the copy.
// - Owners are copied when the process may set them. An unprivileged process (not root)
//   keeps its own owner where chown is refused. The set-user-id and set-group-id bits of a
//   file are only kept together with the owner and group they name, as cp(1) does, so a
//   copy never becomes a set-id program of someone other than the source's owner.
// - Extended attributes of every namespace are copied. "user." attributes are the Mac's own
//   and a failure to copy them fails the copy, except on links and special files, where
//   Linux refuses them (EPERM) and the source can hold none either. Attributes of the
//   other namespaces ("trusted.", "security.", "system.") are copied where the process may
//   read and write them and skipped where it may not (EPERM, EACCES, ENOTSUP).
// - A failure stops the copy and returns its error; what was copied until then stays at the
//   destination for the caller to remove.
// - Copying a directory into itself (the destination inside the source) fails with EINVAL
//   when the walk reaches the destination, instead of copying without end.
// - Removal stops at mount points: a directory inside the tree that is the root of another
//   mount is not entered (EBUSY), so unmounting that failed never turns into deleting a
//   volume's files. Removal goes on past a failure and returns the first error.

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file_copy.h"
#include "platform/posix/posix_error.h"
#include "platform/posix/scoped_fd.h"

namespace platform {

// O_NOATIME needs the owner or CAP_FOWNER, so without them the entry is opened plainly.
// O_NONBLOCK keeps an entry that was replaced by a FIFO since it was looked at from blocking
// the open; it changes nothing for files and directories.
mcom::ScopedFD OpenForReading(int dir, const char* name, int flags) {
  flags |= O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = mcom::RetryOnInterrupt([&] { return ::openat(dir, name, flags | O_NOATIME); });
  if (fd < 0 && errno == EPERM)
    fd = mcom::RetryOnInterrupt([&] { return ::openat(dir, name, flags); });
  return mcom::ScopedFD(fd);
}

// Reads through its own duplicate of the descriptor because closedir closes the descriptor it
// was given; the duplicate shares the read position, so the listing starts with a rewind.
std::error_code ListDirectory(int dir, std::vector<std::string>* names) {
  mcom::ScopedFD copy = mcom::DuplicateFD(dir);
  if (!copy.is_valid()) return mcom::LastError();
  DIR* stream = ::fdopendir(copy.get());
  if (stream == nullptr) return mcom::LastError();
  (void)copy.release();  // the stream owns it now
  ::rewinddir(stream);
  names->clear();
  std::error_code error;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      if (errno != 0) error = mcom::LastError();
      break;
    }
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    names->emplace_back(name);
  }
  ::closedir(stream);
  std::sort(names->begin(), names->end());
  return error;
}

namespace {

std::error_code ErrorOf(int value) { return std::error_code(value, std::generic_category()); }
using mcom::LastError;
using mcom::RetryOnInterrupt;
using mcom::ScopedFD;

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A name that the l*xattr calls can resolve for an entry that cannot be opened (a link or a
// special file): the entry below its directory's descriptor, reached through /proc, so the
// path stays short however deep the tree is. The final name is not followed by the l* calls.
std::string EntryPath(int dir, const char* name) {
  if (dir == AT_FDCWD || name[0] == '/') return name;
  return "/proc/self/fd/" + std::to_string(dir) + "/" + name;
}

// Where attributes, owners, modes and times are read from or written to: an open descriptor
// (files and directories) or a name below a directory (links and special files).
struct Entry {
  int fd = -1;
  int dir = AT_FDCWD;
  const char* name = nullptr;

  bool open() const { return fd >= 0; }
};

std::error_code ListAttributeNames(const Entry& entry, std::string* names) {
  const std::string path = entry.open() ? std::string() : EntryPath(entry.dir, entry.name);
  for (;;) {
    const ssize_t size =
        entry.open() ? ::flistxattr(entry.fd, nullptr, 0) : ::llistxattr(path.c_str(), nullptr, 0);
    if (size < 0) return LastError();
    names->resize(static_cast<size_t>(size) + 1);
    const ssize_t length = entry.open() ? ::flistxattr(entry.fd, names->data(), names->size())
                                        : ::llistxattr(path.c_str(), names->data(), names->size());
    if (length < 0) {
      if (errno == ERANGE) continue;  // grew since the size was asked for
      return LastError();
    }
    names->resize(static_cast<size_t>(length));
    return {};
  }
}

std::error_code ReadAttribute(const Entry& entry, const char* name, std::vector<char>* value) {
  const std::string path = entry.open() ? std::string() : EntryPath(entry.dir, entry.name);
  for (;;) {
    const ssize_t size = entry.open() ? ::fgetxattr(entry.fd, name, nullptr, 0)
                                      : ::lgetxattr(path.c_str(), name, nullptr, 0);
    if (size < 0) return LastError();
    value->resize(static_cast<size_t>(size) + 1);
    const ssize_t length = entry.open()
                               ? ::fgetxattr(entry.fd, name, value->data(), value->size())
                               : ::lgetxattr(path.c_str(), name, value->data(), value->size());
    if (length < 0) {
      if (errno == ERANGE) continue;
      return LastError();
    }
    value->resize(static_cast<size_t>(length));
    return {};
  }
}

std::error_code WriteAttribute(const Entry& entry, const char* name,
                               const std::vector<char>& value) {
  const int result = entry.open() ? ::fsetxattr(entry.fd, name, value.data(), value.size(), 0)
                                  : ::lsetxattr(EntryPath(entry.dir, entry.name).c_str(), name,
                                                value.data(), value.size(), 0);
  if (result != 0) return LastError();
  return {};
}

bool IsUserAttribute(std::string_view name) { return name.starts_with("user."); }

// Refusals that mean "this process may not handle that namespace here", as opposed to a
// failure of the copy. (ENOTSUP is EOPNOTSUPP on Linux.)
bool IsRefusal(int error) { return error == EPERM || error == EACCES || error == EOPNOTSUPP; }

// Copies every attribute of `from` to `to`. `regular_or_directory` says whether Linux allows
// "user." attributes on the entry.
std::error_code CopyAttributes(const Entry& from, const Entry& to, bool regular_or_directory) {
  std::string names;
  if (std::error_code error = ListAttributeNames(from, &names)) {
    // A file system without attributes has none to copy.
    if (error.value() == ENOTSUP || error.value() == EOPNOTSUPP) return {};
    return error;
  }
  std::vector<char> value;
  for (size_t start = 0; start < names.size();) {
    size_t end = names.find('\0', start);
    if (end == std::string::npos) end = names.size();
    const std::string name = names.substr(start, end - start);
    start = end + 1;
    if (name.empty()) continue;

    const bool must_copy = IsUserAttribute(name) && regular_or_directory;
    if (std::error_code error = ReadAttribute(from, name.c_str(), &value)) {
      if (error.value() == ENODATA) continue;  // removed since it was listed
      if (!must_copy && IsRefusal(error.value())) continue;
      return error;
    }
    if (std::error_code error = WriteAttribute(to, name.c_str(), value)) {
      if (!must_copy && IsRefusal(error.value())) continue;
      return error;
    }
  }
  return {};
}

// Owner, attributes, mode and times of `source` onto `to`, in the order that keeps each:
// chown clears the set-id bits and file capabilities, so it goes first; attributes need write
// access to the entry, so they go before a read-only mode; times go last because every other
// change would touch them.
std::error_code ApplyMetadata(const Entry& from, const Entry& to, const struct stat& source) {
  const bool is_link = S_ISLNK(source.st_mode);
  const bool is_directory = S_ISDIR(source.st_mode);
  const bool regular_or_directory = is_directory || S_ISREG(source.st_mode);

  auto change_owner = [&](uid_t uid, gid_t gid) {
    return to.open() ? ::fchown(to.fd, uid, gid)
                     : ::fchownat(to.dir, to.name, uid, gid, AT_SYMLINK_NOFOLLOW);
  };
  struct stat now = source;  // the owner and group the copy ends up with
  if (change_owner(source.st_uid, source.st_gid) != 0) {
    if (errno != EPERM || ::geteuid() == 0) return LastError();
    // Without the right to give files away, keep at least the group where the process is a
    // member of it.
    if (change_owner(static_cast<uid_t>(-1), source.st_gid) != 0 && errno != EPERM) {
      return LastError();
    }
    const int looked =
        to.open() ? ::fstat(to.fd, &now) : ::fstatat(to.dir, to.name, &now, AT_SYMLINK_NOFOLLOW);
    if (looked != 0) return LastError();
  }

  if (std::error_code error = CopyAttributes(from, to, regular_or_directory)) return error;

  if (!is_link) {
    mode_t mode = source.st_mode & 07777;
    if (now.st_uid != source.st_uid) mode &= ~S_ISUID;
    // On a directory the set-group-id bit only makes new entries inherit its group, which is
    // worth keeping whatever that group is.
    if (now.st_gid != source.st_gid && !is_directory) mode &= ~S_ISGID;
    const int changed =
        to.open() ? ::fchmod(to.fd, mode) : ::fchmodat(to.dir, to.name, mode, AT_SYMLINK_NOFOLLOW);
    if (changed != 0) return LastError();
  }

  const struct timespec times[2] = {source.st_atim, source.st_mtim};
  const int timed = to.open() ? ::futimens(to.fd, times)
                              : ::utimensat(to.dir, to.name, times, AT_SYMLINK_NOFOLLOW);
  if (timed != 0) return LastError();
  return {};
}

// Copies bytes [start, end) with positioned reads and writes: the path for file systems that
// cannot copy in the kernel. A source that ends early (it shrank) ends the copy there.
std::error_code CopyRangeByReading(int from, int to, off_t start, off_t end) {
  if (start >= end) return {};
  constexpr size_t kChunk = 1 << 20;
  std::vector<char> buffer(kChunk);
  while (start < end) {
    const size_t want = static_cast<size_t>(std::min<off_t>(end - start, kChunk));
    const ssize_t got = RetryOnInterrupt([&] { return ::pread(from, buffer.data(), want, start); });
    if (got < 0) return LastError();
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = RetryOnInterrupt([&] {
        return ::pwrite(to, buffer.data() + done, static_cast<size_t>(got - done), start + done);
      });
      if (put < 0) return LastError();
      done += put;
    }
    start += got;
  }
  return {};
}

// Copies bytes [start, end) in the kernel where it can; falls back to reading and writing
// (for good, through `in_kernel`) when the file systems cannot.
std::error_code CopyRange(int from, int to, off_t start, off_t end, bool* in_kernel) {
  while (*in_kernel && start < end) {
    loff_t in = start;
    loff_t out = start;
    const ssize_t copied = RetryOnInterrupt([&] {
      return ::copy_file_range(from, &in, to, &out, static_cast<size_t>(end - start), 0);
    });
    if (copied < 0) {
      if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
        *in_kernel = false;
        break;
      }
      return LastError();
    }
    if (copied == 0) return {};  // the source shrank
    start += copied;
  }
  return CopyRangeByReading(from, to, start, end);
}

// The data of a regular file: cloned when the file system can share blocks, else each data
// extent copied, so that holes stay holes; the size is set last, which also makes a trailing
// hole.
std::error_code CopyData(int from, int to, off_t size) {
  if (::ftruncate(to, 0) != 0) return LastError();
  if (size == 0) return {};
  if (::ioctl(to, FICLONE, from) == 0) return {};

  bool in_kernel = true;
  for (off_t offset = 0; offset < size;) {
    off_t data = ::lseek(from, offset, SEEK_DATA);
    off_t hole = size;
    if (data < 0) {
      if (errno == ENXIO) break;  // nothing but a hole up to the end
      if (errno != EINVAL && errno != EOPNOTSUPP) return LastError();
      data = offset;  // no hole information: everything is data
    } else {
      hole = ::lseek(from, data, SEEK_HOLE);
      if (hole < 0) hole = size;
    }
    if (data >= size) break;
    hole = std::min(hole, size);
    if (std::error_code error = CopyRange(from, to, data, hole, &in_kernel)) return error;
    offset = hole;
  }
  if (::ftruncate(to, size) != 0) return LastError();
  return {};
}

// Makes room at `name` for a non-directory copy of `source`. Sets `same` when the name is
// already `source` itself (the same file, or a hard link to it), which leaves nothing to do.
std::error_code ClearDestination(int dir, const char* name, const struct stat& source, bool* same) {
  *same = false;
  struct stat existing {};
  if (::fstatat(dir, name, &existing, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? std::error_code() : LastError();
  }
  if (SameFile(existing, source)) {
    *same = true;
    return {};
  }
  if (S_ISDIR(existing.st_mode)) return ErrorOf(EISDIR);
  if (::unlinkat(dir, name, 0) != 0 && errno != ENOENT) return LastError();
  return {};
}

class TreeCopier {
 public:
  std::error_code CopyEntry(int from_dir, const char* from_name, int to_dir, const char* to_name) {
    struct stat info {};
    if (::fstatat(from_dir, from_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
    if (S_ISDIR(info.st_mode)) return CopyDirectory(from_dir, from_name, to_dir, to_name);
    if (S_ISREG(info.st_mode)) return CopyRegularFile(from_dir, from_name, to_dir, to_name);
    if (S_ISLNK(info.st_mode)) return CopyLink(info, from_dir, from_name, to_dir, to_name);
    return CopySpecialFile(info, from_dir, from_name, to_dir, to_name);
  }

 private:
  std::error_code CopyDirectory(int from_dir, const char* from_name, int to_dir,
                                const char* to_name) {
    const ScopedFD from = OpenForReading(from_dir, from_name, O_DIRECTORY);
    if (!from.is_valid()) return LastError();
    struct stat info {};
    if (::fstat(from.get(), &info) != 0) return LastError();

    if (::mkdirat(to_dir, to_name, 0700) != 0) {
      if (errno != EEXIST) return LastError();
      struct stat existing {};
      if (::fstatat(to_dir, to_name, &existing, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
      if (!S_ISDIR(existing.st_mode)) return ErrorOf(EEXIST);  // merge only into a directory
    }
    const ScopedFD to(RetryOnInterrupt([&] {
      return ::openat(to_dir, to_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }));
    if (!to.is_valid()) return LastError();
    struct stat made {};
    if (::fstat(to.get(), &made) != 0) return LastError();
    if (!have_root_) {
      root_ = made;
      have_root_ = true;
    }
    if (SameFile(info, root_)) return ErrorOf(EINVAL);  // the destination is inside the source

    std::vector<std::string> names;
    if (std::error_code error = ListDirectory(from.get(), &names)) return error;
    for (const std::string& name : names) {
      if (std::error_code error = CopyEntry(from.get(), name.c_str(), to.get(), name.c_str())) {
        return error;
      }
    }
    // After the contents: their creation changed the directory's times, and its final mode
    // may forbid adding them.
    return ApplyMetadata(Entry{.fd = from.get()}, Entry{.fd = to.get()}, info);
  }

  std::error_code CopyRegularFile(int from_dir, const char* from_name, int to_dir,
                                  const char* to_name) {
    const ScopedFD from = OpenForReading(from_dir, from_name, 0);
    if (!from.is_valid()) return LastError();
    struct stat info {};
    if (::fstat(from.get(), &info) != 0) return LastError();
    if (!S_ISREG(info.st_mode)) return ErrorOf(EAGAIN);  // replaced while we looked

    bool same = false;
    if (std::error_code error = ClearDestination(to_dir, to_name, info, &same)) return error;
    if (same) return {};
    const ScopedFD to(RetryOnInterrupt([&] {
      return ::openat(to_dir, to_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }));
    if (!to.is_valid()) return LastError();
    if (std::error_code error = CopyData(from.get(), to.get(), info.st_size)) return error;
    return ApplyMetadata(Entry{.fd = from.get()}, Entry{.fd = to.get()}, info);
  }

  std::error_code CopyLink(const struct stat& info, int from_dir, const char* from_name, int to_dir,
                           const char* to_name) {
    // The size in the link's status is the length of its target, unless the target changed
    // since; a full buffer means it may have grown.
    std::string target(static_cast<size_t>(std::max<off_t>(info.st_size, 63)) + 1, '\0');
    for (;;) {
      const ssize_t length = ::readlinkat(from_dir, from_name, target.data(), target.size());
      if (length < 0) return LastError();
      if (static_cast<size_t>(length) < target.size()) {
        target.resize(static_cast<size_t>(length));
        break;
      }
      target.resize(target.size() * 2);
    }

    bool same = false;
    if (std::error_code error = ClearDestination(to_dir, to_name, info, &same)) return error;
    if (same) return {};
    if (::symlinkat(target.c_str(), to_dir, to_name) != 0) return LastError();
    return ApplyMetadata(Entry{.dir = from_dir, .name = from_name},
                         Entry{.dir = to_dir, .name = to_name}, info);
  }

  std::error_code CopySpecialFile(const struct stat& info, int from_dir, const char* from_name,
                                  int to_dir, const char* to_name) {
    bool same = false;
    if (std::error_code error = ClearDestination(to_dir, to_name, info, &same)) return error;
    if (same) return {};
    const mode_t type = info.st_mode & S_IFMT;
    if (::mknodat(to_dir, to_name, type | 0600, info.st_rdev) != 0) {
      const bool device = S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode);
      if (device && errno == EPERM) return {};  // not ours to make; it holds no data
      return LastError();
    }
    return ApplyMetadata(Entry{.dir = from_dir, .name = from_name},
                         Entry{.dir = to_dir, .name = to_name}, info);
  }

  // The first directory made or merged into: the destination's root, which the source walk
  // must never reach.
  struct stat root_ {};
  bool have_root_ = false;
};

// The mount a directory belongs to, to tell a mount point from an ordinary directory.
bool MountOf(int fd, uint64_t* mount, dev_t* device) {
  struct statx info {};
  if (::statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &info) != 0) return false;
  *mount = (info.stx_mask & STATX_MNT_ID) ? info.stx_mnt_id : 0;
  *device = makedev(info.stx_dev_major, info.stx_dev_minor);
  return true;
}

class TreeRemover {
 public:
  // Removes the entry `name` below `dir`. Below the root, `dir` is the open parent directory,
  // and a directory on another mount than its parent is not entered.
  std::error_code RemoveEntry(int dir, const char* name, bool is_root) {
    struct stat info {};
    if (::fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      // Gone already: only the root must exist.
      return errno == ENOENT && !is_root ? std::error_code() : LastError();
    }
    if (!S_ISDIR(info.st_mode)) {
      if (::unlinkat(dir, name, 0) != 0 && (errno != ENOENT || is_root)) return LastError();
      return {};
    }

    ScopedFD contents(OpenDirectory(dir, name, info));
    if (!contents.is_valid()) {
      return errno == ENOENT && !is_root ? std::error_code() : LastError();
    }
    if (!is_root) {
      uint64_t parent_mount = 0, mount = 0;
      dev_t parent_device = 0, device = 0;
      if (MountOf(dir, &parent_mount, &parent_device) && MountOf(contents.get(), &mount, &device) &&
          (mount != parent_mount || device != parent_device)) {
        return ErrorOf(EBUSY);
      }
    }
    // Removing entries needs write and search permission on the directory; an owner may
    // always grant them to itself.
    struct stat opened {};
    if (::fstat(contents.get(), &opened) != 0) return LastError();
    if ((opened.st_mode & S_IRWXU) != S_IRWXU && opened.st_uid == ::geteuid()) {
      if (::fchmod(contents.get(), (opened.st_mode & 07777) | S_IRWXU) != 0) return LastError();
    }

    std::vector<std::string> names;
    std::error_code first_error = ListDirectory(contents.get(), &names);
    for (const std::string& entry : names) {
      std::error_code error = RemoveEntry(contents.get(), entry.c_str(), false);
      if (error && !first_error) first_error = error;
    }
    contents = ScopedFD();
    if (::unlinkat(dir, name, AT_REMOVEDIR) != 0 && !first_error) {
      if (errno != ENOENT || is_root) first_error = LastError();
    }
    return first_error;
  }

 private:
  // Opens a directory for listing; one the owner cannot read gets read and search rights
  // first.
  static int OpenDirectory(int dir, const char* name, const struct stat& info) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = RetryOnInterrupt([&] { return ::openat(dir, name, flags); });
    if (fd < 0 && errno == EACCES && info.st_uid == ::geteuid()) {
      if (::fchmodat(dir, name, (info.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW) != 0) {
        return -1;
      }
      fd = RetryOnInterrupt([&] { return ::openat(dir, name, flags); });
    }
    return fd;
  }
};

}  // namespace

std::error_code CopyTree(const char* from, const char* to) {
  if (from == nullptr || to == nullptr) return ErrorOf(EINVAL);
  TreeCopier copier;
  return copier.CopyEntry(AT_FDCWD, from, AT_FDCWD, to);
}

std::error_code CopyFileContents(int from, int to) {
  struct stat info {};
  if (::fstat(from, &info) != 0) return LastError();
  if (S_ISDIR(info.st_mode)) return ErrorOf(EISDIR);
  if (!S_ISREG(info.st_mode)) return ErrorOf(EINVAL);
  struct stat target {};
  if (::fstat(to, &target) != 0) return LastError();
  if (S_ISDIR(target.st_mode)) return ErrorOf(EISDIR);
  if (!S_ISREG(target.st_mode)) return ErrorOf(EINVAL);
  if (SameFile(info, target)) return ErrorOf(EINVAL);  // truncating it would lose the data

  if (std::error_code error = CopyData(from, to, info.st_size)) return error;
  if (std::error_code error = CopyAttributes(Entry{.fd = from}, Entry{.fd = to}, true)) {
    return error;
  }
  // Permissions without the owner: the set-id bits only go along with the owner and group
  // they name.
  mode_t mode = info.st_mode & 07777;
  if (target.st_uid != info.st_uid) mode &= ~S_ISUID;
  if (target.st_gid != info.st_gid) mode &= ~S_ISGID;
  if (::fchmod(to, mode) != 0) return LastError();
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  if (::futimens(to, times) != 0) return LastError();
  return {};
}

std::error_code CopyMetadata(int from, int to) {
  struct stat info {};
  if (::fstat(from, &info) != 0) return LastError();
  return ApplyMetadata(Entry{.fd = from}, Entry{.fd = to}, info);
}

std::error_code RemoveTree(const char* path) {
  if (path == nullptr) return ErrorOf(EINVAL);
  TreeRemover remover;
  return remover.RemoveEntry(AT_FDCWD, path, true);
}

}  // namespace platform
