#include "sim/image/volume_payload.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/foundation/extended_attributes.h"
#include "core/foundation/scope_guard.h"
#include "platform/extended_attributes.h"
#include "platform/posix/posix_error.h"
#include "sim/image/archive_io.h"
#include "sim/image/image_error.h"
#include "sim/image/image_file_format.h"

namespace sim {
namespace {

using image_internal::ArchiveEntry;
using image_internal::ArchiveError;
using image_internal::ArchiveReader;
using image_internal::ArchiveWriter;
using image_internal::Fail;
using image_internal::FailReading;
using image_internal::FailWriting;
using image_internal::FileOutput;
using image_internal::LinkResolver;
using image_internal::PayloadInput;

constexpr size_t kDataChunk = 1 << 20;

// pax has no entry type for a socket. A socket is packed as an empty file entry carrying this
// attribute with the value "socket"; extraction makes a socket of it again. The name lies
// outside every namespace a volume's own attributes use, and a file that carries it anyway
// is refused, so the mark is never mistaken.
constexpr char kFileTypeAttribute[] = "dorvane.sim.file-type";
constexpr std::string_view kSocketFileType = "socket";
// Holes of sparse files are handed to the archive writer as zeros, which it skips.
alignas(64) const char kZeros[kDataChunk] = {};

// A range of a file that holds data; the rest of a sparse file is holes.
struct DataRegion {
  uint64_t offset;
  uint64_t length;
};

// The data regions of the open regular file `fd` of `size` bytes: one region for a file
// with every block allocated, else what SEEK_DATA and SEEK_HOLE report.
std::vector<DataRegion> DataRegions(int fd, const struct stat& status) {
  const uint64_t size = static_cast<uint64_t>(status.st_size);
  if (size == 0) return {};
  if (static_cast<uint64_t>(status.st_blocks) * 512 >= size) return {{0, size}};
  std::vector<DataRegion> regions;
  uint64_t position = 0;
  while (position < size) {
    const off_t data = ::lseek(fd, static_cast<off_t>(position), SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // only a hole is left
      return {{0, size}};         // the file system cannot tell: treat it all as data
    }
    off_t hole = ::lseek(fd, data, SEEK_HOLE);
    if (hole < 0) return {{0, size}};
    const uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(hole), size);
    if (static_cast<uint64_t>(data) >= end) break;
    regions.push_back({static_cast<uint64_t>(data), end - static_cast<uint64_t>(data)});
    position = end;
  }
  return regions;
}

// Opens `name` (relative to `parent_fd`; AT_FDCWD for a path) for reading, never through a
// link, and if the process may, without touching its access time: packing must not change the
// tree it packs, or a second pack would differ (only the owner, or root, may ask for that).
int OpenWithoutAccessTime(int parent_fd, const char* name, int flags) {
  flags |= O_RDONLY | O_NOFOLLOW | O_CLOEXEC;
  const int fd = ::openat(parent_fd, name, flags | O_NOATIME);
  if (fd >= 0 || errno != EPERM) return fd;
  return ::openat(parent_fd, name, flags);
}

class Packer {
 public:
  Packer(archive* writer, const FileOutput& output, const mcom::FilePath& folder)
      : writer_(writer), output_(output), folder_(folder) {
    archive_entry_linkresolver_set_strategy(resolver_.get(), ARCHIVE_FORMAT_TAR_PAX_INTERCHANGE);
  }

  void PackRoot(int root_fd) {
    struct stat status;
    if (::fstat(root_fd, &status) != 0) Fail(mcom::LastError(), folder_.string() + ": cannot read");
    WriteHeader(EntryFor(status, "."), ".");
    PackDirectory(root_fd, ".");
  }

 private:
  std::string HostPath(const std::string& relative) const {
    return relative == "." ? folder_.string() : folder_.string() + "/" + relative;
  }

  [[noreturn]] void FailOn(const std::string& relative, const std::string& what) const {
    Fail(mcom::LastError(), HostPath(relative) + ": " + what);
  }

  ArchiveEntry EntryFor(const struct stat& status, const std::string& relative) {
    ArchiveEntry entry(archive_entry_new());
    archive_entry_copy_stat(entry.get(), &status);
    // The change and birth times cannot be restored; keeping them would only make equal
    // trees pack to different bytes.
    archive_entry_unset_ctime(entry.get());
    archive_entry_unset_birthtime(entry.get());
    if (!S_ISREG(status.st_mode)) archive_entry_set_size(entry.get(), 0);
    archive_entry_set_pathname(entry.get(), relative.c_str());
    AddAttributes(entry.get(), relative);
    return entry;
  }

  // The extended attributes by their Mac names, in name order.
  void AddAttributes(archive_entry* entry, const std::string& relative) {
    const mcom::FilePath path(HostPath(relative));
    mcom::Result<std::vector<std::string>> names = mcom::ListExtendedAttributes(path);
    if (!names) {
      if (names.error().value() == ENOTSUP || names.error().value() == EOPNOTSUPP) return;
      Fail(names.error(), path.string() + ": cannot list extended attributes");
    }
    std::sort(names->begin(), names->end());
    for (const std::string& name : *names) {
      if (name == kFileTypeAttribute) {
        Fail(std::make_error_code(std::errc::not_supported),
             path.string() + ": cannot pack: the extended attribute " + name +
                 " is the image format's own");
      }
      mcom::Result<std::vector<char>> value = mcom::ReadExtendedAttribute(path, name.c_str());
      if (!value) {
        if (value.error().value() == ENODATA) continue;  // removed meanwhile
        Fail(value.error(), path.string() + ": cannot read extended attribute " + name);
      }
      archive_entry_xattr_add_entry(entry, name.c_str(), value->data(), value->size());
    }
  }

  void WriteHeader(ArchiveEntry entry, const std::string& relative) {
    if (archive_write_header(writer_, entry.get()) != ARCHIVE_OK) {
      FailWriting(writer_, output_, HostPath(relative) + ": cannot pack",
                  std::make_error_code(std::errc::io_error));
    }
  }

  void WriteData(const void* bytes, size_t length, const std::string& relative) {
    if (archive_write_data(writer_, bytes, length) < 0) {
      FailWriting(writer_, output_, HostPath(relative) + ": cannot pack the data",
                  std::make_error_code(std::errc::io_error));
    }
  }

  void WriteZeros(uint64_t length, const std::string& relative) {
    while (length > 0) {
      const size_t chunk = static_cast<size_t>(std::min<uint64_t>(length, kDataChunk));
      WriteData(kZeros, chunk, relative);
      length -= chunk;
    }
  }

  std::vector<std::string> List(int directory_fd, const std::string& relative) {
    const int listing_fd = ::dup(directory_fd);
    if (listing_fd < 0) FailOn(relative, "cannot list");
    DIR* directory = ::fdopendir(listing_fd);
    if (directory == nullptr) {
      ::close(listing_fd);
      FailOn(relative, "cannot list");
    }
    mcom::ScopeExit close_directory([&] { ::closedir(directory); });
    std::vector<std::string> names;
    for (;;) {
      errno = 0;
      const dirent* item = ::readdir(directory);
      if (item == nullptr) {
        if (errno != 0) FailOn(relative, "cannot list");
        break;
      }
      const std::string name = item->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    // Byte order: the same tree always packs in the same order, whatever the file system's.
    std::sort(names.begin(), names.end());
    return names;
  }

  void PackDirectory(int directory_fd, const std::string& relative) {
    for (const std::string& name : List(directory_fd, relative)) {
      PackEntry(directory_fd, name, relative == "." ? name : relative + "/" + name);
    }
  }

  void PackEntry(int parent_fd, const std::string& name, const std::string& relative) {
    struct stat status;
    if (::fstatat(parent_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      FailOn(relative, "cannot read");
    }
    if (S_ISDIR(status.st_mode)) {
      mcom::File directory(OpenWithoutAccessTime(parent_fd, name.c_str(), O_DIRECTORY));
      if (!directory || ::fstat(directory.get(), &status) != 0) FailOn(relative, "cannot open");
      WriteHeader(EntryFor(status, relative), relative);
      PackDirectory(directory.get(), relative);
    } else if (S_ISREG(status.st_mode)) {
      PackFile(parent_fd, name, relative);
    } else if (S_ISLNK(status.st_mode)) {
      std::string target(static_cast<size_t>(status.st_size) + 1, '\0');
      for (;;) {
        const ssize_t length = ::readlinkat(parent_fd, name.c_str(), target.data(), target.size());
        if (length < 0) FailOn(relative, "cannot read the link");
        if (static_cast<size_t>(length) < target.size()) {
          target.resize(static_cast<size_t>(length));
          break;
        }
        target.resize(target.size() * 2);  // the link changed meanwhile
      }
      ArchiveEntry entry = EntryFor(status, relative);
      // Reading a link sets its access time, whatever the open flags: a link's access time
      // says nothing, and keeping it would make every pack differ from the one before.
      archive_entry_unset_atime(entry.get());
      archive_entry_set_symlink(entry.get(), target.c_str());
      WriteHeader(std::move(entry), relative);
    } else if (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
      WriteHeader(EntryFor(status, relative), relative);  // device numbers travel in the header
    } else if (S_ISSOCK(status.st_mode)) {
      ArchiveEntry entry = EntryFor(status, relative);
      archive_entry_set_filetype(entry.get(), AE_IFREG);
      archive_entry_xattr_add_entry(entry.get(), kFileTypeAttribute, kSocketFileType.data(),
                                    kSocketFileType.size());
      WriteHeader(std::move(entry), relative);
    } else {
      Fail(std::make_error_code(std::errc::not_supported),
           HostPath(relative) + ": cannot pack: a file of unknown type");
    }
  }

  void PackFile(int parent_fd, const std::string& name, const std::string& relative) {
    const mcom::File file(OpenWithoutAccessTime(parent_fd, name.c_str(), 0));
    struct stat status;
    if (!file || ::fstat(file.get(), &status) != 0) FailOn(relative, "cannot open");
    if (!S_ISREG(status.st_mode)) {
      Fail(std::make_error_code(std::errc::resource_unavailable_try_again),
           HostPath(relative) + ": changed while it was packed");
    }
    const uint64_t size = static_cast<uint64_t>(status.st_size);
    const std::vector<DataRegion> regions = DataRegions(file.get(), status);

    ArchiveEntry entry = EntryFor(status, relative);
    const bool sparse = !(regions.size() == 1 && regions[0].length == size);
    if (sparse && size > 0) {
      for (const DataRegion& region : regions) {
        archive_entry_sparse_add_entry(entry.get(), static_cast<la_int64_t>(region.offset),
                                       static_cast<la_int64_t>(region.length));
      }
      // A map that ends in a hole still records where the file ends.
      if (regions.empty() || regions.back().offset + regions.back().length < size) {
        archive_entry_sparse_add_entry(entry.get(), static_cast<la_int64_t>(size), 0);
      }
    }
    archive_entry* linked = entry.release();
    archive_entry* deferred = nullptr;
    archive_entry_linkify(resolver_.get(), &linked, &deferred);
    entry.reset(linked);
    if (deferred != nullptr) archive_entry_free(deferred);  // only formats that defer links
    if (!entry) return;
    if (archive_entry_hardlink(entry.get()) != nullptr) {
      // A later name of a file already packed: a link, with no data of its own (a link
      // entry's data would be written over the file it names when extracted).
      archive_entry_set_size(entry.get(), 0);
      WriteHeader(std::move(entry), relative);
      return;
    }
    WriteHeader(std::move(entry), relative);

    std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(size, kDataChunk)));
    uint64_t position = 0;
    for (const DataRegion& region : regions) {
      WriteZeros(region.offset - position, relative);
      position = region.offset;
      const uint64_t end = region.offset + region.length;
      while (position < end) {
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(end - position, kDataChunk));
        const ssize_t count = mcom::RetryOnInterrupt([&] {
          return ::pread(file.get(), buffer.data(), wanted, static_cast<off_t>(position));
        });
        if (count < 0) FailOn(relative, "cannot read");
        if (count == 0) break;  // the file became shorter: it is kept as it was
        WriteData(buffer.data(), static_cast<size_t>(count), relative);
        position += static_cast<uint64_t>(count);
      }
    }
    WriteZeros(size - std::min(position, size), relative);
  }

  archive* const writer_;
  const FileOutput& output_;
  const mcom::FilePath& folder_;
  LinkResolver resolver_{archive_entry_linkresolver_new()};
};

// The entry's path relative to the volume's root: "" for the root itself, components joined
// by "/" without empty or "." ones. Empty when the path is absolute, holds "..", or is empty.
std::optional<std::string> RelativePath(const char* pathname) {
  if (pathname == nullptr || *pathname == '\0' || *pathname == '/') return std::nullopt;
  std::string relative;
  std::string_view rest(pathname);
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (component.empty() || component == ".") continue;
    if (component == "..") return std::nullopt;
    if (!relative.empty()) relative += '/';
    relative += component;
  }
  return relative;
}

std::string ParentOf(const std::string& relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

class Extractor {
 public:
  Extractor(const ImagePayload& payload, const mcom::FilePath& destination)
      : payload_(payload), destination_(destination), input_(payload) {}

  void Run() {
    PrepareDestination();
    if (payload_.compression == PayloadCompression::kGzip) {
      archive_read_support_filter_gzip(reader_.get());
    }
    archive_read_support_format_tar(reader_.get());
    input_.Open(reader_.get(), destination_.string());

    int options = ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_XATTR |
                  ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                  ARCHIVE_EXTRACT_NO_AUTODIR;
    if (as_root_) options |= ARCHIVE_EXTRACT_OWNER;
    archive_write_disk_set_options(writer_.get(), options);

    for (;;) {
      archive_entry* entry = nullptr;
      const int status = archive_read_next_header(reader_.get(), &entry);
      if (status == ARCHIVE_EOF) break;
      if (status != ARCHIVE_OK) FailReading(reader_.get(), input_, Where("cannot read an entry"));
      if (archive_filter_code(reader_.get(), 0) !=
          (payload_.compression == PayloadCompression::kGzip ? ARCHIVE_FILTER_GZIP
                                                             : ARCHIVE_FILTER_NONE)) {
        Fail(ImageErrc::kCorrupt, Where("the payload is not stored as its metadata says"));
      }
      Extract(entry);
    }
    if (entries_.empty()) Fail(ImageErrc::kCorrupt, Where("the payload holds no entries"));
    if (archive_write_close(writer_.get()) != ARCHIVE_OK) {
      FailWrite("cannot finish the folders");
    }
    FinishRoot();
  }

 private:
  enum class Kind { kDirectory, kFile, kOther };

  std::string Where(const std::string& what) const { return destination_.string() + ": " + what; }

  [[noreturn]] void Unsafe(const std::string& relative, const std::string& why) const {
    Fail(ImageErrc::kUnsafePayload, Where("refused the entry \"" + relative + "\": " + why));
  }

  // A failed write: the errno libarchive saw, or a refusal of its own (it refuses to write
  // through links) as an unsafe entry.
  [[noreturn]] void FailWrite(const std::string& what) const {
    const int error = archive_errno(writer_.get());
    Fail(error > 0 ? std::error_code(error, std::generic_category())
                   : make_error_code(ImageErrc::kUnsafePayload),
         Where(what + ": " + ArchiveError(writer_.get())));
  }

  void PrepareDestination() {
    struct stat status;
    if (::lstat(destination_.c_str(), &status) != 0) {
      if (errno != ENOENT) Fail(mcom::LastError(), Where("cannot read"));
      if (::mkdir(destination_.c_str(), 0755) != 0) Fail(mcom::LastError(), Where("cannot make"));
    } else if (!S_ISDIR(status.st_mode)) {
      Fail(std::make_error_code(std::errc::file_exists), Where("exists and is not a folder"));
    } else {
      DIR* directory = ::opendir(destination_.c_str());
      if (directory == nullptr) Fail(mcom::LastError(), Where("cannot list"));
      bool empty = true;
      while (const dirent* item = ::readdir(directory)) {
        const std::string_view name = item->d_name;
        if (name != "." && name != "..") empty = false;
      }
      ::closedir(directory);
      if (!empty) {
        Fail(std::make_error_code(std::errc::directory_not_empty), Where("is not empty"));
      }
    }
    // Entries are written below the resolved path, which holds no link: libarchive then
    // refuses every link on the way as one an entry planted.
    char* resolved = ::realpath(destination_.c_str(), nullptr);
    if (resolved == nullptr) Fail(mcom::LastError(), Where("cannot resolve"));
    base_ = resolved;
    ::free(resolved);
  }

  void Extract(archive_entry* entry) {
    const char* pathname = archive_entry_pathname(entry);
    const std::optional<std::string> relative = RelativePath(pathname);
    const std::string shown = pathname != nullptr ? pathname : "";
    if (!relative) Unsafe(shown, "absolute, empty or with \"..\"");
    const char* hardlink = archive_entry_hardlink(entry);
    const mode_t type = archive_entry_filetype(entry);

    if (entries_.empty() && !relative->empty()) {
      Fail(ImageErrc::kCorrupt, Where("the payload does not begin with its root folder"));
    }
    if (entries_.count(*relative) != 0) Unsafe(shown, "it appears twice");
    if (!relative->empty()) {
      const auto parent = entries_.find(ParentOf(*relative));
      if (parent == entries_.end() || parent->second != Kind::kDirectory) {
        Unsafe(shown, "it does not follow a folder of the payload that holds it");
      }
    }

    Kind kind = Kind::kOther;
    mode_t node = 0;  // a socket or device node, made here rather than by libarchive
    std::string link_target;
    if (hardlink != nullptr) {
      const std::optional<std::string> target = RelativePath(hardlink);
      if (!target || target->empty()) Unsafe(shown, "a hard link out of the volume");
      const auto linked = entries_.find(*target);
      if (linked == entries_.end() || linked->second != Kind::kFile) {
        Unsafe(shown, "a hard link to something that is not a file extracted before");
      }
      link_target = base_ + "/" + *target;
      archive_entry_set_hardlink(entry, link_target.c_str());
      kind = Kind::kFile;
    } else if (type == AE_IFDIR) {
      kind = Kind::kDirectory;
    } else if (type == AE_IFREG) {
      kind = Kind::kFile;
    } else if (type == AE_IFCHR || type == AE_IFBLK) {
      node = type == AE_IFCHR ? S_IFCHR : S_IFBLK;
    } else if (type != AE_IFLNK && type != AE_IFIFO) {
      Fail(ImageErrc::kCorrupt, Where("the entry \"" + shown + "\" has an unknown type"));
    }
    if (TakeFileTypeMark(entry, shown)) {
      if (type != AE_IFREG || hardlink != nullptr || archive_entry_size(entry) != 0) {
        Fail(ImageErrc::kCorrupt, Where("the entry \"" + shown +
                                        "\" is marked as a socket but "
                                        "is no empty file"));
      }
      kind = Kind::kOther;
      node = S_IFSOCK;
    }
    if (relative->empty() && kind != Kind::kDirectory) Unsafe(shown, "the root is not a folder");

    if (node != 0) {
      MakeNode(entry, *relative, node, shown);
      entries_.emplace(*relative, kind);
      return;
    }
    MapAttributes(entry, type == AE_IFLNK);
    if (!as_root_) {
      archive_entry_set_uid(entry, ::geteuid());
      archive_entry_set_gid(entry, ::getegid());
    }
    if (relative->empty()) RememberRoot(entry);
    const std::string target = relative->empty() ? base_ : base_ + "/" + *relative;
    archive_entry_set_pathname(entry, target.c_str());

    if (archive_write_header(writer_.get(), entry) != ARCHIVE_OK) {
      FailWrite("cannot extract \"" + shown + "\"");
    }
    if (archive_entry_size(entry) > 0) CopyData(shown);
    if (archive_write_finish_entry(writer_.get()) != ARCHIVE_OK) {
      FailWrite("cannot finish \"" + shown + "\"");
    }
    entries_.emplace(*relative, kind);
  }

  // Whether the entry carries the mark of a socket (kFileTypeAttribute), which is taken off
  // it. A mark of another value is no type this format knows.
  bool TakeFileTypeMark(archive_entry* entry, const std::string& shown) const {
    std::vector<std::pair<std::string, std::string>> kept;
    bool marked = false;
    archive_entry_xattr_reset(entry);
    const char* name = nullptr;
    const void* value = nullptr;
    size_t size = 0;
    while (archive_entry_xattr_next(entry, &name, &value, &size) == ARCHIVE_OK) {
      if (name == nullptr) continue;
      const std::string bytes(static_cast<const char*>(value), size);
      if (std::string_view(name) != kFileTypeAttribute) {
        kept.emplace_back(name, bytes);
      } else if (bytes == kSocketFileType) {
        marked = true;
      } else {
        Fail(ImageErrc::kCorrupt, Where("the entry \"" + shown + "\" has an unknown type"));
      }
    }
    if (!marked) return false;
    archive_entry_xattr_clear(entry);
    for (const auto& [kept_name, bytes] : kept) {
      archive_entry_xattr_add_entry(entry, kept_name.c_str(), bytes.data(), bytes.size());
    }
    return true;
  }

  // The folder of the payload at `relative` (already extracted), opened without following a
  // link on the way, so that a node is never made outside the destination.
  mcom::File OpenFolder(const std::string& relative, const std::string& shown) const {
    mcom::File folder(::open(base_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string_view rest(relative);
    while (folder && !rest.empty()) {
      const size_t slash = rest.find('/');
      const std::string component(rest.substr(0, slash));
      rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
      const int next =
          ::openat(folder.get(), component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      const int error = errno;
      folder = mcom::File(next);
      errno = error;
    }
    if (!folder) {
      Fail(errno == ELOOP || errno == ENOTDIR ? make_error_code(ImageErrc::kUnsafePayload)
                                              : mcom::LastError(),
           Where("cannot open the folder of \"" + shown + "\""));
    }
    return folder;
  }

  // Makes a socket or a device node with the entry's mode, owner and times. libarchive can
  // make no socket (mknodat can, at any path length, where binding one is limited to the
  // 108 bytes of a socket address and would leave a listener nobody wants). A device node
  // the process may not make (EPERM, not root) is skipped, as tree copies skip it: it holds
  // no data. The host keeps no extended attributes on either.
  void MakeNode(archive_entry* entry, const std::string& relative, mode_t type,
                const std::string& shown) const {
    const mcom::File folder = OpenFolder(ParentOf(relative), shown);
    const size_t slash = relative.rfind('/');
    const std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    const dev_t device = type == S_IFSOCK ? 0 : archive_entry_rdev(entry);
    if (::mknodat(folder.get(), name.c_str(), type | 0600, device) != 0) {
      if (errno == EPERM && type != S_IFSOCK) return;
      Fail(mcom::LastError(), Where("cannot make \"" + shown + "\""));
    }
    // The owner before the mode: a change of owner clears the set-id bits.
    if (as_root_ &&
        ::fchownat(folder.get(), name.c_str(), static_cast<uid_t>(archive_entry_uid(entry)),
                   static_cast<gid_t>(archive_entry_gid(entry)), AT_SYMLINK_NOFOLLOW) != 0) {
      Fail(mcom::LastError(), Where("cannot set the owner of \"" + shown + "\""));
    }
    if (::fchmodat(folder.get(), name.c_str(), archive_entry_perm(entry) & 07777, 0) != 0) {
      Fail(mcom::LastError(), Where("cannot set the mode of \"" + shown + "\""));
    }
    const struct timespec times[2] = {
        EntryTime(archive_entry_atime_is_set(entry), archive_entry_atime(entry),
                  archive_entry_atime_nsec(entry)),
        EntryTime(archive_entry_mtime_is_set(entry), archive_entry_mtime(entry),
                  archive_entry_mtime_nsec(entry))};
    if (::utimensat(folder.get(), name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
      Fail(mcom::LastError(), Where("cannot set the times of \"" + shown + "\""));
    }
  }

  static timespec EntryTime(bool is_set, time_t seconds, long nanoseconds) {
    return is_set ? timespec{seconds, nanoseconds} : timespec{0, UTIME_OMIT};
  }

  // libarchive leaves an existing folder's owner and times alone (it only sets its mode), and
  // the root entry always lands on an existing folder: those come last, here, after
  // everything inside it was written.
  void FinishRoot() const {
    if (as_root_) {
      if (::lchown(base_.c_str(), root_.uid, root_.gid) != 0 ||
          ::chmod(base_.c_str(), root_.mode & 07777) != 0) {
        Fail(mcom::LastError(), Where("cannot set the owner of the root folder"));
      }
    }
    const struct timespec times[2] = {root_.accessed, root_.modified};
    if (::utimensat(AT_FDCWD, base_.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
      Fail(mcom::LastError(), Where("cannot set the times of the root folder"));
    }
  }

  void RememberRoot(archive_entry* entry) {
    root_.uid = static_cast<uid_t>(archive_entry_uid(entry));
    root_.gid = static_cast<gid_t>(archive_entry_gid(entry));
    root_.mode = archive_entry_perm(entry);
    root_.accessed = EntryTime(archive_entry_atime_is_set(entry), archive_entry_atime(entry),
                               archive_entry_atime_nsec(entry));
    root_.modified = EntryTime(archive_entry_mtime_is_set(entry), archive_entry_mtime(entry),
                               archive_entry_mtime_nsec(entry));
  }

  // The payload keeps Mac attribute names; the host wants its own. Links cannot carry
  // attributes on the host, so theirs are dropped, as a tree copy drops them.
  static void MapAttributes(archive_entry* entry, bool is_link) {
    std::vector<std::pair<std::string, std::string>> attributes;
    archive_entry_xattr_reset(entry);
    const char* name = nullptr;
    const void* value = nullptr;
    size_t size = 0;
    while (archive_entry_xattr_next(entry, &name, &value, &size) == ARCHIVE_OK) {
      if (name == nullptr || *name == '\0') continue;
      attributes.emplace_back(platform::HostAttributeName(name),
                              std::string(static_cast<const char*>(value), size));
    }
    archive_entry_xattr_clear(entry);
    if (is_link) return;
    for (const auto& [host_name, bytes] : attributes) {
      archive_entry_xattr_add_entry(entry, host_name.c_str(), bytes.data(), bytes.size());
    }
  }

  void CopyData(const std::string& shown) {
    for (;;) {
      const void* block = nullptr;
      size_t size = 0;
      la_int64_t offset = 0;
      const int status = archive_read_data_block(reader_.get(), &block, &size, &offset);
      if (status == ARCHIVE_EOF) return;
      if (status != ARCHIVE_OK) {
        FailReading(reader_.get(), input_, Where("cannot read the data of \"" + shown + "\""));
      }
      if (archive_write_data_block(writer_.get(), block, size, offset) < 0) {
        FailWrite("cannot write \"" + shown + "\"");
      }
    }
  }

  const ImagePayload& payload_;
  const mcom::FilePath& destination_;
  PayloadInput input_;
  ArchiveReader reader_{archive_read_new()};
  ArchiveWriter writer_{archive_write_disk_new()};
  const bool as_root_ = ::geteuid() == 0;
  std::string base_;
  struct {
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0755;
    struct timespec accessed = {0, UTIME_OMIT};
    struct timespec modified = {0, UTIME_OMIT};
  } root_;
  // Every entry extracted so far, by its relative path.
  std::unordered_map<std::string, Kind> entries_;
};

}  // namespace

uint64_t PackFolder(const mcom::FilePath& folder, const mcom::File& output,
                    PayloadCompression compression) {
  const mcom::File root(OpenWithoutAccessTime(AT_FDCWD, folder.c_str(), O_DIRECTORY));
  if (!root) {
    // A link to a folder is not the folder (O_NOFOLLOW says ELOOP).
    const std::error_code error =
        errno == ELOOP ? std::make_error_code(std::errc::not_a_directory) : mcom::LastError();
    Fail(error, folder.string() + ": cannot pack");
  }
  // The sink outlives the writer: freeing a writer left open by a throw flushes into it.
  FileOutput sink(output.get());
  ArchiveWriter writer(archive_write_new());
  // Names are bytes on the host; keep them as bytes, whatever the locale.
  if (archive_write_set_format_pax(writer.get()) != ARCHIVE_OK ||
      archive_write_set_options(writer.get(), "pax:hdrcharset=BINARY") != ARCHIVE_OK) {
    FailWriting(writer.get(), sink, folder.string() + ": cannot pack",
                std::make_error_code(std::errc::io_error));
  }
  sink.Open(writer.get(), compression);
  Packer(writer.get(), sink, folder).PackRoot(root.get());
  if (archive_write_close(writer.get()) != ARCHIVE_OK) {
    FailWriting(writer.get(), sink, folder.string() + ": cannot finish the payload",
                std::make_error_code(std::errc::io_error));
  }
  return sink.written();
}

void ExtractPayload(const ImagePayload& payload, const mcom::FilePath& destination) {
  Extractor(payload, destination).Run();
}

}  // namespace sim
