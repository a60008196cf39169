#pragma once

// Copying and removing file trees as the Mac's copyfile(3) and removefile(3) do.

#include <system_error>

namespace platform {

// copyfile(from, to, NULL, COPYFILE_ALL | COPYFILE_RECURSIVE | COPYFILE_NOFOLLOW |
// COPYFILE_CLONE): copies a directory tree, a regular file or a symbolic link with data,
// modes, owners where permitted, access and modification times and extended attributes (all
// of the host's namespaces the process may write). Symbolic links are copied as links,
// never followed. Data is cloned where the file system can (FICLONE), else copied in the
// kernel (copy_file_range), else read and written; holes of sparse files stay holes.
// Directories get their times after their contents are copied. Existing destination
// directories are merged into; an existing destination file is replaced.
std::error_code CopyTree(const char* from, const char* to);

// fcopyfile(from, to, NULL, COPYFILE_ALL) between two open regular files: data, permissions,
// times and extended attributes.
std::error_code CopyFileContents(int from, int to);

// removefile(path, NULL, REMOVEFILE_RECURSIVE): removes a file, a link or a directory tree,
// never following symbolic links.
std::error_code RemoveTree(const char* path);

}  // namespace platform
