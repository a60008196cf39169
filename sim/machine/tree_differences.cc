#include "sim/machine/tree_differences.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "core/foundation/extended_attributes.h"
#include "core/foundation/file.h"
#include "platform/posix/posix_error.h"

namespace sim {
namespace {

// Contents are compared this many bytes at a time from each file.
constexpr size_t kBlockSize = 1 << 20;

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

std::string Octal(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string Time(const timespec& time) {
  char text[48];
  std::snprintf(text, sizeof text, "%" PRId64 ".%09ld", static_cast<int64_t>(time.tv_sec),
                static_cast<long>(time.tv_nsec));
  return text;
}

bool SameTime(const timespec& left, const timespec& right) {
  return left.tv_sec == right.tv_sec && left.tv_nsec == right.tv_nsec;
}

std::string TypeName(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return "file";
    case S_IFDIR:
      return "folder";
    case S_IFLNK:
      return "symbolic link";
    case S_IFIFO:
      return "fifo";
    case S_IFSOCK:
      return "socket";
    case S_IFCHR:
      return "character device";
    case S_IFBLK:
      return "block device";
  }
  return "unknown";
}

std::string Device(dev_t device) {
  return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// Opens for reading without updating the access time. O_NOATIME is refused (EPERM) for files
// the process neither owns nor may change the owner of; those are opened plainly.
mcom::File OpenQuietly(const std::string& path, int flags) {
  const int quiet = ::open(path.c_str(), flags | O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOATIME);
  if (quiet >= 0 || errno != EPERM) return mcom::File(quiet);
  return mcom::File(::open(path.c_str(), flags | O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
}

// The names in a folder, sorted bytewise; an errno value when it cannot be listed.
int ListNames(const std::string& path, std::vector<std::string>* names) {
  mcom::File folder = OpenQuietly(path, O_DIRECTORY);
  if (!folder) return errno;
  DIR* stream = ::fdopendir(folder.get());
  if (stream == nullptr) return errno;
  (void)folder.release();  // the stream owns the descriptor now
  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* item = ::readdir(stream);
    if (item == nullptr) {
      error = errno;
      break;
    }
    const std::string name = item->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  ::closedir(stream);
  std::sort(names->begin(), names->end());
  return error;
}

// The extended attributes by Mac name; a value that cannot be read is left out and named in
// `unreadable`.
int ReadAttributes(const std::string& path, std::map<std::string, std::vector<char>>* attributes,
                   std::string* unreadable) {
  const mcom::FilePath file(path);
  mcom::Result<std::vector<std::string>> names = mcom::ListExtendedAttributes(file);
  if (!names) {
    // A file system without extended attributes holds none.
    return names.error().value() == ENOTSUP ? 0 : names.error().value();
  }
  for (const std::string& name : *names) {
    mcom::Result<std::vector<char>> value = mcom::ReadExtendedAttribute(file, name.c_str());
    if (value) {
      (*attributes)[name] = std::move(*value);
    } else if (value.error().value() != ENODATA) {  // removed meanwhile: simply not there
      *unreadable = name + ": " + value.error().message();
      return value.error().value();
    }
  }
  return 0;
}

// Where the next data at or after `from` starts (`size` when only a hole follows). Without
// hole information from the file system everything counts as data.
off_t NextData(int fd, off_t from, off_t size) {
  const off_t data = ::lseek(fd, from, SEEK_DATA);
  if (data >= 0) return std::min(data, size);
  return errno == ENXIO ? size : from;
}

// Where the data at `from` ends (`from` itself when `from` is in a hole).
off_t NextHole(int fd, off_t from, off_t size) {
  const off_t hole = ::lseek(fd, from, SEEK_HOLE);
  return hole >= 0 ? std::min(hole, size) : size;
}

// Reads up to `length` bytes at `offset`, fewer only at the end of the file. -1 on an error.
ssize_t ReadAt(int fd, char* buffer, size_t length, off_t offset) {
  size_t done = 0;
  while (done < length) {
    const ssize_t count = mcom::RetryOnInterrupt(
        [&] { return ::pread(fd, buffer + done, length - done, offset + done); });
    if (count < 0) return -1;
    if (count == 0) break;
    done += static_cast<size_t>(count);
  }
  return static_cast<ssize_t>(done);
}

class Comparison {
 public:
  Comparison(const std::string& expected, const std::string& actual,
             const TreeComparisonOptions& options)
      : expected_root_(expected), actual_root_(actual), options_(options) {}

  TreeComparison Run() {
    // Depth first, in name order, without recursion: deep trees cannot exhaust the stack.
    // Names found only in the copy travel on the same stack, so that the report stays in
    // path order.
    pending_.push_back({"", false});
    while (!pending_.empty()) {
      const Pending item = std::move(pending_.back());
      pending_.pop_back();
      if (item.only_in_copy) {
        Differ(item.relative, "only in the copy");
      } else {
        Compare(item.relative);
      }
    }
    if (result_.difference_count > result_.differences.size()) {
      result_.differences.push_back(
          "... and " + std::to_string(result_.difference_count - result_.differences.size()) +
          " more");
    }
    return std::move(result_);
  }

 private:
  struct Pending {
    std::string relative;
    bool only_in_copy = false;
  };

  void Differ(const std::string& relative, const std::string& what) {
    ++result_.difference_count;
    if (result_.differences.size() < options_.max_differences) {
      result_.differences.push_back((relative.empty() ? "." : relative) + ": " + what);
    }
  }

  void Unreadable(const std::string& relative, const char* which, int error) {
    Differ(relative, std::string("cannot read ") + which + ": " + std::strerror(error));
  }

  void Compare(const std::string& relative) {
    const std::string expected = Join(expected_root_, relative);
    const std::string actual = Join(actual_root_, relative);
    struct stat left {};
    struct stat right {};
    if (::lstat(expected.c_str(), &left) != 0) return Unreadable(relative, "the original", errno);
    if (!relative.empty()) ++result_.entries;
    if (::lstat(actual.c_str(), &right) != 0) {
      if (errno == ENOENT) return Differ(relative, "only in the original");
      return Unreadable(relative, "the copy", errno);
    }
    if ((left.st_mode & S_IFMT) != (right.st_mode & S_IFMT)) {
      return Differ(relative, "type " + TypeName(left.st_mode) + " vs " + TypeName(right.st_mode));
    }
    CompareMetadata(relative, expected, actual, left, right);
    if (S_ISREG(left.st_mode)) {
      CompareFiles(relative, expected, actual, left, right);
    } else if (S_ISLNK(left.st_mode)) {
      CompareLinks(relative, expected, actual);
    } else if (S_ISCHR(left.st_mode) || S_ISBLK(left.st_mode)) {
      if (left.st_rdev != right.st_rdev) {
        Differ(relative, "device " + Device(left.st_rdev) + " vs " + Device(right.st_rdev));
      }
    } else if (S_ISDIR(left.st_mode)) {
      CompareFolders(relative, expected, actual);
    }
  }

  void CompareMetadata(const std::string& relative, const std::string& expected,
                       const std::string& actual, const struct stat& left,
                       const struct stat& right) {
    if (!S_ISLNK(left.st_mode) && (left.st_mode & 07777) != (right.st_mode & 07777)) {
      Differ(relative, "mode " + Octal(left.st_mode) + " vs " + Octal(right.st_mode));
    }
    if (left.st_uid != right.st_uid || left.st_gid != right.st_gid) {
      Differ(relative, "owner " + std::to_string(left.st_uid) + ":" + std::to_string(left.st_gid) +
                           " vs " + std::to_string(right.st_uid) + ":" +
                           std::to_string(right.st_gid));
    }
    if (!SameTime(left.st_mtim, right.st_mtim)) {
      Differ(relative, "modified " + Time(left.st_mtim) + " vs " + Time(right.st_mtim));
    }
    if (options_.compare_access_times && !S_ISLNK(left.st_mode) &&
        !SameTime(left.st_atim, right.st_atim)) {
      Differ(relative, "accessed " + Time(left.st_atim) + " vs " + Time(right.st_atim));
    }
    CompareAttributes(relative, expected, actual);
  }

  void CompareAttributes(const std::string& relative, const std::string& expected,
                         const std::string& actual) {
    std::map<std::string, std::vector<char>> left, right;
    std::string unreadable;
    if (ReadAttributes(expected, &left, &unreadable) != 0) {
      return Differ(relative, "cannot read the original's extended attributes" +
                                  (unreadable.empty() ? "" : " (" + unreadable + ")"));
    }
    if (ReadAttributes(actual, &right, &unreadable) != 0) {
      return Differ(relative, "cannot read the copy's extended attributes" +
                                  (unreadable.empty() ? "" : " (" + unreadable + ")"));
    }
    auto l = left.begin();
    auto r = right.begin();
    while (l != left.end() || r != right.end()) {
      if (r == right.end() || (l != left.end() && l->first < r->first)) {
        Differ(relative, "extended attribute " + l->first + " only in the original");
        ++l;
      } else if (l == left.end() || r->first < l->first) {
        Differ(relative, "extended attribute " + r->first + " only in the copy");
        ++r;
      } else {
        if (l->second != r->second) Differ(relative, "extended attribute " + l->first + " differs");
        ++l;
        ++r;
      }
    }
  }

  void CompareFiles(const std::string& relative, const std::string& expected,
                    const std::string& actual, const struct stat& left, const struct stat& right) {
    if (left.st_size != right.st_size) {
      Differ(relative,
             "size " + std::to_string(left.st_size) + " vs " + std::to_string(right.st_size));
    } else if (std::optional<std::string> difference =
                   CompareContents(expected, actual, left.st_size)) {
      Differ(relative, *difference);
    }
    CompareHardLinks(relative, left, right);
  }

  // Names of one file in the original must be names of one file in the copy, and two files
  // of the original must not have become one.
  void CompareHardLinks(const std::string& relative, const struct stat& left,
                        const struct stat& right) {
    if ((left.st_nlink > 1) != (right.st_nlink > 1)) {
      Differ(relative, "link count " + std::to_string(left.st_nlink) + " vs " +
                           std::to_string(right.st_nlink));
    }
    if (left.st_nlink > 1) {
      const auto [known, added] =
          copies_.try_emplace({left.st_dev, left.st_ino}, right.st_ino, relative);
      if (!added && known->second.first != right.st_ino) {
        Differ(relative, "not hard linked to " + known->second.second + " in the copy");
      }
    }
    if (right.st_nlink > 1) {
      const auto [known, added] =
          originals_.try_emplace({right.st_dev, right.st_ino}, left.st_ino, relative);
      if (!added && known->second.first != left.st_ino) {
        Differ(relative, "hard linked to " + known->second.second + " in the copy only");
      }
    }
  }

  // A description of the first difference in content, or nothing when the contents are
  // equal. Both files have `size` bytes.
  std::optional<std::string> CompareContents(const std::string& expected, const std::string& actual,
                                             off_t size) {
    const auto unreadable = [](const char* which, int error) {
      return std::string("cannot read ") + which + ": " + std::strerror(error);
    };
    if (size == 0) return std::nullopt;
    const mcom::File left = OpenQuietly(expected, 0);
    if (!left) return unreadable("the original", errno);
    const mcom::File right = OpenQuietly(actual, 0);
    if (!right) return unreadable("the copy", errno);
    if (!left_block_) {
      left_block_ = std::make_unique<char[]>(kBlockSize);
      right_block_ = std::make_unique<char[]>(kBlockSize);
    }
    // Skip what is a hole in both files; read both wherever either has data (a hole reads
    // as zeros, so a copy that wrote zeros where the original has a hole is equal).
    off_t position = 0;
    while (position < size) {
      const off_t data =
          std::min(NextData(left.get(), position, size), NextData(right.get(), position, size));
      if (data >= size) break;
      const off_t end =
          std::max(NextHole(left.get(), data, size), NextHole(right.get(), data, size));
      for (off_t at = data; at < end;) {
        const size_t length = static_cast<size_t>(std::min<off_t>(kBlockSize, end - at));
        const ssize_t left_count = ReadAt(left.get(), left_block_.get(), length, at);
        if (left_count < 0) return unreadable("the original", errno);
        const ssize_t right_count = ReadAt(right.get(), right_block_.get(), length, at);
        if (right_count < 0) return unreadable("the copy", errno);
        const size_t common = static_cast<size_t>(std::min(left_count, right_count));
        const auto [mismatch, unused] =
            std::mismatch(left_block_.get(), left_block_.get() + common, right_block_.get());
        if (mismatch != left_block_.get() + common || left_count != right_count) {
          return "content differs from byte " + std::to_string(at + (mismatch - left_block_.get()));
        }
        if (static_cast<size_t>(left_count) < length) return std::nullopt;  // both shrank alike
        at += static_cast<off_t>(length);
      }
      position = std::max(end, data + 1);
    }
    return std::nullopt;
  }

  void CompareLinks(const std::string& relative, const std::string& expected,
                    const std::string& actual) {
    std::string left(4096, '\0'), right(4096, '\0');
    const ssize_t left_length = ::readlink(expected.c_str(), left.data(), left.size());
    if (left_length < 0) return Unreadable(relative, "the original", errno);
    const ssize_t right_length = ::readlink(actual.c_str(), right.data(), right.size());
    if (right_length < 0) return Unreadable(relative, "the copy", errno);
    left.resize(static_cast<size_t>(left_length));
    right.resize(static_cast<size_t>(right_length));
    if (left != right) Differ(relative, "link target " + left + " vs " + right);
  }

  void CompareFolders(const std::string& relative, const std::string& expected,
                      const std::string& actual) {
    std::vector<std::string> left, right;
    if (const int error = ListNames(expected, &left)) {
      return Unreadable(relative, "the original", error);
    }
    if (const int error = ListNames(actual, &right)) return Unreadable(relative, "the copy", error);
    // Merge both sorted lists, pushing in reverse so that the smallest name comes off first.
    std::vector<Pending> children;
    children.reserve(left.size() + right.size());
    auto l = left.begin();
    auto r = right.begin();
    while (l != left.end() || r != right.end()) {
      if (r == right.end() || (l != left.end() && *l <= *r)) {
        if (r != right.end() && *l == *r) ++r;
        children.push_back({Join(relative, *l++), false});
      } else {
        children.push_back({Join(relative, *r++), true});
      }
    }
    pending_.insert(pending_.end(), std::make_move_iterator(children.rbegin()),
                    std::make_move_iterator(children.rend()));
  }

  const std::string expected_root_;
  const std::string actual_root_;
  const TreeComparisonOptions options_;
  std::vector<Pending> pending_;
  // Files with several names: original file -> (copy inode, first name), and back.
  std::map<std::pair<dev_t, ino_t>, std::pair<ino_t, std::string>> copies_;
  std::map<std::pair<dev_t, ino_t>, std::pair<ino_t, std::string>> originals_;
  std::unique_ptr<char[]> left_block_;
  std::unique_ptr<char[]> right_block_;
  TreeComparison result_;
};

}  // namespace

TreeComparison CompareTrees(const mcom::FilePath& expected, const mcom::FilePath& actual,
                            const TreeComparisonOptions& options) {
  return Comparison(expected.string(), actual.string(), options).Run();
}

std::vector<std::string> TreeDifferences(const mcom::FilePath& expected,
                                         const mcom::FilePath& actual,
                                         const TreeComparisonOptions& options) {
  return CompareTrees(expected, actual, options).differences;
}

}  // namespace sim
