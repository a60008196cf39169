#pragma once

// Copying and removing file trees as the Mac's copyfile(3) and removefile(3) do.

#include <string>
#include <system_error>
#include <vector>

#include "platform/posix/scoped_fd.h"

namespace platform {

// copyfile(from, to, NULL, COPYFILE_ALL | COPYFILE_RECURSIVE | COPYFILE_NOFOLLOW |
// COPYFILE_CLONE): copies a directory tree, a regular file or a symbolic link with data,
// modes, owners where permitted, access and modification times and extended attributes (all
// of the host's namespaces the process may write). Symbolic links are copied as links,
// never followed. Data is cloned where the file system can (FICLONE), else copied in the
// kernel (copy_file_range), else read and written; holes of sparse files stay holes.
// Directories get their times after their contents are copied. Existing destination
// directories are merged into; an existing destination file or link is replaced (never
// written through); a destination entry that already is the source file is left as it is.
//
// Hard links inside the tree become separate files. FIFOs and sockets are recreated; device
// nodes are recreated when the process may make them and skipped when mknod is refused with
// EPERM. Without the right to chown (not root), copies keep the process's owner and lose the
// set-user-id and set-group-id bits that named the source's owner or group. Copying a
// directory into itself fails with EINVAL. The walk works relative to open directories, so
// depth and total path length are limited only by the number of open descriptors.
//
// The first failure stops the copy and is returned; whatever was copied until then stays at
// the destination for the caller to remove.
std::error_code CopyTree(const char* from, const char* to);

// fcopyfile(from, to, NULL, COPYFILE_ALL) between two open regular files: data, permissions,
// times and extended attributes. `to` is truncated first; holes of a sparse source stay
// holes. The set-id bits are dropped where `to` has another owner or group than `from`.
// Not a regular file: EISDIR for a directory, else EINVAL; `from` and `to` the same file:
// EINVAL.
std::error_code CopyFileContents(int from, int to);

// fcopyfile(from, to, NULL, COPYFILE_METADATA) between two open files or directories of the
// same type: owner where permitted, extended attributes, mode and times, by CopyTree's rules
// (a directory's times are best copied after its contents).
std::error_code CopyMetadata(int from, int to);

// removefile(path, NULL, REMOVEFILE_RECURSIVE): removes a file, a link or a directory tree,
// never following symbolic links. Directories that their owner cannot read, write or search
// get those rights first when the process owns them. A directory below `path` that is a
// mount point is not entered (EBUSY), so a volume still mounted inside a temporary folder
// keeps its files. A failure does not stop the removal of the rest; the first one is
// returned. A missing `path` is ENOENT.
std::error_code RemoveTree(const char* path);

// The steps these walks are made of, for a caller that walks a tree itself (to report its
// progress entry by entry, say) and should read the source as CopyTree does.

// Opens the entry `name` below the open directory `dir` (AT_FDCWD or an absolute `name` for
// a path) for reading: close-on-exec, never following a final symbolic link and without
// changing its access time where the process may ask for that, so that reading a tree does
// not change it. `flags` may add O_DIRECTORY. An empty owner, with errno set, on failure.
mcom::ScopedFD OpenForReading(int dir, const char* name, int flags);

// The names in the open directory `dir`, without "." and "..", sorted so that a walk goes the
// same way every time. Reads from the start whatever the descriptor's position.
std::error_code ListDirectory(int dir, std::vector<std::string>* names);

}  // namespace platform
