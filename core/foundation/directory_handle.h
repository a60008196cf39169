#pragma once

#include <dirent.h>

#include <string>
#include <system_error>
#include <vector>

#include "core/foundation/file.h"
#include "core/foundation/file_path.h"
#include "core/foundation/result.h"
#include "platform/posix/scoped_fd.h"

namespace mcom {

// Owner of an open directory descriptor, with the operations the system performs relative to
// it. Releasing it (explicitly or by destruction) closes the descriptor; a handle made with
// the remove flag (a temporary directory) first removes the directory and everything in it.
//
// Working relative to a descriptor keeps a directory's contents reachable even if its path
// changes or is replaced meanwhile. Move-only; a moved-from handle is empty.
class DirectoryHandle {
 public:
  DirectoryHandle() = default;
  // Takes over `fd`, an open directory.
  DirectoryHandle(int fd, bool remove_on_release)
      : fd_(fd), remove_on_release_(remove_on_release) {}
  ~DirectoryHandle() { (void)Release(); }

  DirectoryHandle(DirectoryHandle&& other) noexcept;
  DirectoryHandle& operator=(DirectoryHandle&& other) noexcept;
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;

  int get() const { return fd_.get(); }
  bool IsValid() const { return fd_.is_valid(); }
  bool removes_on_release() const { return remove_on_release_; }

  // With the remove flag set: takes the directory's path from the descriptor and removes it
  // recursively (logging the outcome), provided that path still names this directory. Then
  // closes the stream, if a listing made one, and the descriptor. Returns the first close
  // error in the system category. The handle is empty afterwards; releasing an empty handle
  // succeeds.
  std::error_code Release();

  // The directory's current path (the platform's F_GETPATH).
  Result<FilePath> Path() const;

  // openat with the mapped open flags.
  Result<File> OpenFile(const char* name, OpenFlags flags) const;
  // renameat with both names relative to this directory.
  std::error_code Rename(const char* old_name, const char* new_name) const;
  // faccessat with mode 0: whether the name exists (a dangling symbolic link does not).
  bool Exists(const char* name) const;
  // unlinkat of a file / of an empty directory.
  std::error_code RemoveFile(const char* name) const;
  std::error_code RemoveDirectory(const char* name) const;
  // mkdirat with mode 0755.
  std::error_code MakeDirectory(const char* name) const;
  // The entry names, without "." and "..", read from the beginning each time.
  Result<std::vector<std::string>> List();
  // Copies `source` into a new file `name` here (created exclusively, mode 0644) with its
  // data, permissions and extended attributes (the platform's fcopyfile with COPYFILE_ALL).
  // A source that is not a regular file is refused. When the copy fails, the new file is
  // removed again.
  std::error_code CopyFileInto(const FilePath& source, const char* name) const;

 private:
  ScopedFD fd_;
  // Made by the first List() on a duplicate of fd_ and owned by this handle; closedir closes
  // the duplicate, never fd_.
  DIR* stream_ = nullptr;
  bool remove_on_release_ = false;
};

// Opens a directory read-only; the handle's remove flag is clear.
Result<DirectoryHandle> OpenDirectory(const FilePath& path);

}  // namespace mcom
