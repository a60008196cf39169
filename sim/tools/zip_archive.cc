#include "sim/tools/zip_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "core/foundation/file.h"
#include "platform/posix/posix_error.h"

namespace sim::tools {
namespace {

// Folders nested deeper than this are refused rather than followed without bound.
constexpr int kMaxDepth = 256;
constexpr size_t kBufferSize = 64 * 1024;

struct ArchiveFree {
  void operator()(archive* writer) const { archive_write_free(writer); }
};
struct EntryFree {
  void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};
using ArchiveWriter = std::unique_ptr<archive, ArchiveFree>;
using ArchiveEntry = std::unique_ptr<archive_entry, EntryFree>;

std::string ErrnoText(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

// One thing to archive, as it was found when the folder was listed.
struct Item {
  std::string path;
  std::string name;  // its entry's name: "logs.logarchive/" for a folder
  struct stat status {};
};

// Lists everything below a folder, depth first and in name order within each folder.
class FolderLister {
 public:
  FolderLister(const std::vector<FileIdentity>& skip, std::string* error)
      : skip_(skip), error_(error) {}

  // Adds the items below the directory at `path`, whose entries are named `prefix` + name.
  bool AddChildren(const std::string& path, const std::string& prefix, int depth,
                   std::vector<Item>* items) {
    if (depth > kMaxDepth) return Fail(path + ": folders nested too deeply");
    std::vector<std::string> names;
    if (!ListDirectory(path, &names)) return false;
    for (const std::string& name : names) {
      Item item{path + "/" + name, prefix + name, {}};
      if (::lstat(item.path.c_str(), &item.status) != 0) return Fail(ErrnoText(item.path, errno));
      if (Skipped(item.status)) continue;
      const mode_t type = item.status.st_mode & S_IFMT;
      // Sockets, FIFOs and devices have no place in a zip archive.
      if (type != S_IFDIR && type != S_IFREG && type != S_IFLNK) continue;
      if (type != S_IFDIR) {
        items->push_back(std::move(item));
        continue;
      }
      item.name += "/";
      const std::string child_path = item.path;
      const std::string child_prefix = item.name;
      items->push_back(std::move(item));
      if (!AddChildren(child_path, child_prefix, depth + 1, items)) return false;
    }
    return true;
  }

 private:
  bool ListDirectory(const std::string& path, std::vector<std::string>* names) {
    DIR* directory = ::opendir(path.c_str());
    if (directory == nullptr) return Fail(ErrnoText(path, errno));
    errno = 0;
    while (const dirent* item = ::readdir(directory)) {
      const std::string_view name = item->d_name;
      if (name != "." && name != "..") names->emplace_back(name);
      errno = 0;
    }
    const int read_error = errno;
    ::closedir(directory);
    if (read_error != 0) return Fail(ErrnoText(path, read_error));
    std::sort(names->begin(), names->end());
    return true;
  }

  bool Skipped(const struct stat& status) const {
    return std::any_of(skip_.begin(), skip_.end(), [&](const FileIdentity& identity) {
      return identity.device == status.st_dev && identity.inode == status.st_ino;
    });
  }

  bool Fail(std::string reason) {
    *error_ = std::move(reason);
    return false;
  }

  const std::vector<FileIdentity>& skip_;
  std::string* const error_;
};

class ZipWriter {
 public:
  ZipWriter(archive* writer, const ZipProgress& progress, uint64_t total, std::string* error)
      : writer_(writer), progress_(progress), total_(total), error_(error), buffer_(kBufferSize) {}

  bool Start() { return Report(); }

  bool Add(const Item& item) {
    if (S_ISDIR(item.status.st_mode)) return WriteHeader(item.name, item.status, nullptr);
    if (S_ISLNK(item.status.st_mode)) {
      std::string target(static_cast<size_t>(item.status.st_size) + 1, '\0');
      const ssize_t length = ::readlink(item.path.c_str(), target.data(), target.size());
      if (length < 0) return Fail(ErrnoText(item.path, errno));
      // A link changed between lstat and readlink; store what it says now, whole.
      target.resize(static_cast<size_t>(length));
      return WriteHeader(item.name, item.status, &target);
    }
    return AddFile(item);
  }

 private:
  bool Report() {
    if (!progress_ || progress_(archived_, total_)) return true;
    return Fail("stopped");
  }

  bool AddFile(const Item& item) {
    const std::string& path = item.path;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return Fail(ErrnoText(path, errno));
    mcom::File file(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0) return Fail(ErrnoText(path, errno));
    // Replaced by something else since it was listed: not the file that was found.
    if (status.st_dev != item.status.st_dev || status.st_ino != item.status.st_ino ||
        !S_ISREG(status.st_mode)) {
      return Fail(path + ": changed while being archived");
    }
    if (!WriteHeader(item.name, status, nullptr)) return false;
    // Exactly the size given in the header: a file that shrinks or grows meanwhile would
    // make an entry that does not match its own header.
    uint64_t remaining = static_cast<uint64_t>(status.st_size);
    while (remaining > 0) {
      const size_t wanted = static_cast<size_t>(std::min<uint64_t>(remaining, buffer_.size()));
      const ssize_t got =
          mcom::RetryOnInterrupt([&] { return ::read(fd, buffer_.data(), wanted); });
      if (got < 0) return Fail(ErrnoText(path, errno));
      if (got == 0) return Fail(path + ": changed while being archived");
      if (archive_write_data(writer_, buffer_.data(), static_cast<size_t>(got)) != got) {
        return Fail(path + ": " + ArchiveError());
      }
      remaining -= static_cast<uint64_t>(got);
      archived_ += static_cast<uint64_t>(got);
      if (!Report()) return false;
    }
    if (archive_write_finish_entry(writer_) != ARCHIVE_OK)
      return Fail(path + ": " + ArchiveError());
    return true;
  }

  bool WriteHeader(const std::string& name, const struct stat& status, const std::string* link) {
    ArchiveEntry entry(archive_entry_new());
    if (!entry) return Fail("out of memory");
    // Given as UTF-8, the Mac's form of names: given in the process's locale ("C" for a
    // tool started with an empty environment) every name outside ASCII would be lost.
    archive_entry_update_pathname_utf8(entry.get(), name.c_str());
    archive_entry_set_mode(entry.get(), status.st_mode);
    archive_entry_set_mtime(entry.get(), status.st_mtim.tv_sec, status.st_mtim.tv_nsec);
    archive_entry_set_uid(entry.get(), status.st_uid);
    archive_entry_set_gid(entry.get(), status.st_gid);
    if (S_ISREG(status.st_mode)) {
      archive_entry_set_size(entry.get(), status.st_size);
    } else {
      archive_entry_set_size(entry.get(), 0);
    }
    // A link's target is stored as the entry's data, byte for byte.
    if (link != nullptr) archive_entry_copy_symlink(entry.get(), link->c_str());
    if (archive_write_header(writer_, entry.get()) < ARCHIVE_WARN) {
      return Fail(name + ": " + ArchiveError());
    }
    return true;
  }

  std::string ArchiveError() const {
    const char* text = archive_error_string(writer_);
    return text != nullptr ? text : "cannot write the archive";
  }

  bool Fail(std::string reason) {
    *error_ = std::move(reason);
    return false;
  }

  archive* const writer_;
  const ZipProgress& progress_;
  const uint64_t total_;
  uint64_t archived_ = 0;
  std::string* const error_;
  std::vector<char> buffer_;
};

}  // namespace

bool WriteZipArchive(const mcom::FilePath& folder, int output,
                     const std::vector<FileIdentity>& skip, const ZipProgress& progress,
                     std::string* error) {
  std::vector<Item> items;
  if (!FolderLister(skip, error).AddChildren(folder.string(), "", 0, &items)) return false;
  uint64_t total = 0;
  for (const Item& item : items) {
    if (S_ISREG(item.status.st_mode)) total += static_cast<uint64_t>(item.status.st_size);
  }

  ArchiveWriter writer(archive_write_new());
  if (!writer) {
    *error = "out of memory";
    return false;
  }
  // Names are stored as the file system holds them (UTF-8 on the Mac) and marked as such.
  if (archive_write_set_format_zip(writer.get()) != ARCHIVE_OK ||
      archive_write_zip_set_compression_deflate(writer.get()) != ARCHIVE_OK ||
      archive_write_set_options(writer.get(), "zip:hdrcharset=UTF-8") < ARCHIVE_WARN ||
      archive_write_open_fd(writer.get(), output) != ARCHIVE_OK) {
    const char* text = archive_error_string(writer.get());
    *error = text != nullptr ? text : "cannot start the archive";
    return false;
  }
  ZipWriter zip(writer.get(), progress, total, error);
  if (!zip.Start()) return false;
  for (const Item& item : items) {
    if (!zip.Add(item)) return false;
  }
  if (archive_write_close(writer.get()) != ARCHIVE_OK) {
    const char* text = archive_error_string(writer.get());
    *error = text != nullptr ? text : "cannot finish the archive";
    return false;
  }
  return true;
}

}  // namespace sim::tools
