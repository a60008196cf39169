#include "core/foundation/directory_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>
#include <utility>

#include "core/foundation/file_tree.h"
#include "core/foundation/log.h"
#include "platform/file_copy.h"
#include "platform/posix/posix_error.h"

namespace mcom {
namespace {

// Removes the directory open at `fd` with everything in it, found by its current path. The
// path is only trusted while it still names this directory: once the directory has been
// deleted by someone else, its old path may name a different directory that is not ours to
// remove.
void RemoveDirectoryOf(int fd) {
  Result<FilePath> path = PathOf(fd);
  if (!path) {
    log::Error("failed to find the path of a directory to remove: %{darwin.errno}d",
               path.error().value());
    return;
  }
  struct stat opened {};
  struct stat named {};
  if (::fstat(fd, &opened) != 0 || ::lstat(path->c_str(), &named) != 0 ||
      opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
    log::Error("directory %s is gone or was replaced; not removing it", *path);
    return;
  }
  (void)RemoveRecursively(*path);
}

}  // namespace

DirectoryHandle::DirectoryHandle(DirectoryHandle&& other) noexcept
    : fd_(std::move(other.fd_)),
      stream_(std::exchange(other.stream_, nullptr)),
      remove_on_release_(std::exchange(other.remove_on_release_, false)) {}

DirectoryHandle& DirectoryHandle::operator=(DirectoryHandle&& other) noexcept {
  if (this != &other) {
    (void)Release();
    fd_ = std::move(other.fd_);
    stream_ = std::exchange(other.stream_, nullptr);
    remove_on_release_ = std::exchange(other.remove_on_release_, false);
  }
  return *this;
}

std::error_code DirectoryHandle::Release() {
  if (remove_on_release_ && fd_.is_valid()) RemoveDirectoryOf(fd_.get());
  remove_on_release_ = false;

  // The stream reads through its own duplicate of the descriptor (see List), so both are
  // closed, each exactly once.
  std::error_code error;
  if (stream_ != nullptr) {
    if (::closedir(stream_) != 0) error = LastSystemError();
    stream_ = nullptr;
  }
  if (const std::error_code closed = fd_.Close(); closed && !error) {
    error = std::error_code(closed.value(), std::system_category());
  }
  return error;
}

Result<FilePath> DirectoryHandle::Path() const { return PathOf(fd_.get()); }

Result<File> DirectoryHandle::OpenFile(const char* name, OpenFlags flags) const {
  const int fd = RetryOnInterrupt(
      [&] { return ::openat(fd_.get(), name, PosixOpenFlags(flags), PosixCreationMode(flags)); });
  if (fd < 0) return LastError();
  return File(fd);
}

std::error_code DirectoryHandle::Rename(const char* old_name, const char* new_name) const {
  if (::renameat(fd_.get(), old_name, fd_.get(), new_name) != 0) return LastError();
  return {};
}

bool DirectoryHandle::Exists(const char* name) const {
  return ::faccessat(fd_.get(), name, F_OK, 0) == 0;
}

std::error_code DirectoryHandle::RemoveFile(const char* name) const {
  if (::unlinkat(fd_.get(), name, 0) != 0) return LastError();
  return {};
}

std::error_code DirectoryHandle::RemoveDirectory(const char* name) const {
  if (::unlinkat(fd_.get(), name, AT_REMOVEDIR) != 0) return LastError();
  return {};
}

std::error_code DirectoryHandle::MakeDirectory(const char* name) const {
  if (::mkdirat(fd_.get(), name, 0755) != 0) return LastError();
  return {};
}

Result<std::vector<std::string>> DirectoryHandle::List() {
  if (!fd_.is_valid()) return std::make_error_code(std::errc::bad_file_descriptor);
  if (stream_ == nullptr) {
    // fdopendir takes the descriptor it is given, and closedir closes it. Giving it a
    // duplicate keeps fd_ this handle's own for every other operation, untouched by the
    // stream, and leaves each of the two with exactly one owner to close it.
    ScopedFD copy = DuplicateFD(fd_.get());
    if (!copy.is_valid()) return LastError();
    stream_ = ::fdopendir(copy.get());
    if (stream_ == nullptr) return LastError();
    (void)copy.release();  // the stream owns it now
  }
  // The duplicate shares the read position with fd_ and with earlier listings: start over.
  ::rewinddir(stream_);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream_);
    if (entry == nullptr) {
      if (errno != 0) return LastError();
      break;
    }
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

std::error_code DirectoryHandle::CopyFileInto(const FilePath& source, const char* name) const {
  // Non-blocking, so that a FIFO given as the source is refused instead of waiting for a
  // writer; reads of regular files are not affected.
  const int source_fd =
      RetryOnInterrupt([&] { return ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); });
  if (source_fd < 0) return LastError();
  const File from(source_fd);

  Result<File> to = OpenFile(name, kOpenWrite | kOpenCreate | kOpenExclusive | OpenMode(0644));
  if (!to) return to.error();
  std::error_code error = platform::CopyFileContents(from.get(), to->get());
  if (!error) error = to->Close();  // a failed close may have lost written data
  if (error) {
    // The name was created here, exclusively: a half-made copy must not look like a whole
    // one.
    (void)::unlinkat(fd_.get(), name, 0);
  }
  return error;
}

Result<DirectoryHandle> OpenDirectory(const FilePath& path) {
  const int fd =
      RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return LastError();
  return DirectoryHandle(fd, false);
}

}  // namespace mcom
