#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <system_error>
#include <vector>

#include "core/foundation/file_path.h"
#include "core/foundation/result.h"
#include "platform/posix/scoped_fd.h"

namespace mcom {

// Owner of one open file descriptor; -1 means none. Destroying it closes the descriptor and
// ignores the result; Close() reports it. Move-only.
//
// The operations report failure as errno values in the generic category and never throw.
class File {
 public:
  File() = default;
  // Takes over `fd`.
  explicit File(int fd) : fd_(fd) {}

  int get() const { return fd_.get(); }
  bool IsValid() const { return fd_.is_valid(); }
  explicit operator bool() const { return IsValid(); }

  // Gives the descriptor up without closing it; this File becomes empty.
  [[nodiscard]] int release() { return fd_.release(); }

  // Closes the descriptor and returns the error of close(). The File is empty afterwards
  // even when close() failed, since the descriptor is released either way. Closing an
  // empty File succeeds.
  std::error_code Close();

  // One read() of up to `length` bytes, repeated while it is interrupted. 0 means end of data.
  Result<size_t> Read(void* buffer, size_t length) const;

  // Reads 1 MiB chunks until a read returns 0. An empty file gives an empty vector.
  Result<std::vector<char>> ReadAll() const;

  // Writes every byte, continuing after short writes. The first failed write ends the
  // operation with its error; nothing more is written.
  std::error_code WriteAll(const void* bytes, size_t length) const;

 private:
  ScopedFD fd_;
};

// The open-flag word: bit 0 read, bit 1 write, bit 2 create, bit 3 exclusive; the high 32
// bits are the permission mode used when creating.
using OpenFlags = uint64_t;
inline constexpr OpenFlags kOpenRead = 1 << 0;
inline constexpr OpenFlags kOpenWrite = 1 << 1;
inline constexpr OpenFlags kOpenCreate = 1 << 2;
inline constexpr OpenFlags kOpenExclusive = 1 << 3;
constexpr OpenFlags OpenMode(uint32_t mode) { return static_cast<OpenFlags>(mode) << 32; }

// Write without read is write-only, write with read is read-write, neither is read-only;
// create adds O_CREAT, and exclusive adds O_EXCL only together with create. Descriptors are
// always close-on-exec, so children never inherit them by accident.
int PosixOpenFlags(OpenFlags flags);
mode_t PosixCreationMode(OpenFlags flags);

Result<File> Open(const FilePath& path, OpenFlags flags);

enum class FileKind { kOther = 0, kRegular = 1, kDirectory = 2 };
struct FileStatus {
  uint64_t size = 0;
  FileKind kind = FileKind::kOther;
};

// fstat of a descriptor.
Result<FileStatus> StatusOf(const File& file);
// lstat of a path: a symbolic link is not followed and reports kind kOther.
Result<FileStatus> StatusOfPath(const FilePath& path);

// The current path of an open descriptor (the platform's F_GETPATH).
Result<FilePath> PathOf(int fd);

std::error_code Unlink(const FilePath& path);

struct Pipe {
  File read;
  File write;
};
// Both ends are close-on-exec; a spawned child gets them only through its file actions.
Result<Pipe> CreatePipe();

// mkdir with mode 0755.
std::error_code MakeDirectory(const FilePath& path);
// Makes the directory and every missing parent with mode 0755 (the platform's mkpath_np);
// an existing directory is success.
std::error_code MakePath(const FilePath& path);

}  // namespace mcom
