#include "core/foundation/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/libc.h"
#include "platform/posix/posix_error.h"

namespace mcom {

std::error_code File::Close() { return fd_.Close(); }

Result<size_t> File::Read(void* buffer, size_t length) const {
  const ssize_t count = RetryOnInterrupt([&] { return ::read(get(), buffer, length); });
  if (count < 0) return LastError();
  return static_cast<size_t>(count);
}

Result<std::vector<char>> File::ReadAll() const {
  constexpr size_t kChunk = 1048576;
  std::vector<char> bytes;
  size_t used = 0;
  for (;;) {
    bytes.resize(used + kChunk);
    Result<size_t> count = Read(bytes.data() + used, kChunk);
    if (!count) return count.error();
    if (*count == 0) break;
    used += *count;
  }
  bytes.resize(used);
  return bytes;
}

std::error_code File::WriteAll(const void* bytes, size_t length) const {
  const char* next = static_cast<const char*>(bytes);
  while (length > 0) {
    const ssize_t written = RetryOnInterrupt([&] { return ::write(get(), next, length); });
    if (written < 0) return LastError();
    next += written;
    length -= static_cast<size_t>(written);
  }
  return {};
}

int PosixOpenFlags(OpenFlags flags) {
  int posix = O_CLOEXEC;
  if (flags & kOpenWrite) {
    posix |= (flags & kOpenRead) ? O_RDWR : O_WRONLY;
  } else {
    posix |= O_RDONLY;
  }
  if (flags & kOpenCreate) {
    posix |= O_CREAT;
    if (flags & kOpenExclusive) posix |= O_EXCL;
  }
  return posix;
}

mode_t PosixCreationMode(OpenFlags flags) { return static_cast<mode_t>(flags >> 32); }

Result<File> Open(const FilePath& path, OpenFlags flags) {
  const int fd = RetryOnInterrupt(
      [&] { return ::open(path.c_str(), PosixOpenFlags(flags), PosixCreationMode(flags)); });
  if (fd < 0) return LastError();
  return File(fd);
}

namespace {

FileStatus ToFileStatus(const struct stat& info) {
  FileStatus status;
  status.size = static_cast<uint64_t>(info.st_size);
  if (S_ISREG(info.st_mode)) {
    status.kind = FileKind::kRegular;
  } else if (S_ISDIR(info.st_mode)) {
    status.kind = FileKind::kDirectory;
  }
  return status;
}

}  // namespace

Result<FileStatus> StatusOf(const File& file) {
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return LastError();
  return ToFileStatus(info);
}

Result<FileStatus> StatusOfPath(const FilePath& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return LastError();
  return ToFileStatus(info);
}

Result<FilePath> PathOf(int fd) {
  std::string path;
  if (std::error_code error = platform::PathOfDescriptor(fd, &path)) return error;
  return FilePath(std::move(path));
}

std::error_code Unlink(const FilePath& path) {
  if (::unlink(path.c_str()) != 0) return LastError();
  return {};
}

Result<Pipe> CreatePipe() {
  int ends[2];
  if (std::error_code error = platform::CreateCloseOnExecPipe(ends)) return error;
  return Pipe{File(ends[0]), File(ends[1])};
}

std::error_code MakeDirectory(const FilePath& path) {
  if (::mkdir(path.c_str(), 0755) != 0) return LastError();
  return {};
}

std::error_code MakePath(const FilePath& path) { return platform::MakePath(path.c_str(), 0755); }

}  // namespace mcom
