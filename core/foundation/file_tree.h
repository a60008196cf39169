#pragma once

#include <system_error>

#include "core/foundation/file_path.h"

namespace mcom {

// rmdir of an empty directory. Logs "did remove directory %s" at debug level on success and
// "failed to remove directory %s: %{darwin.errno}d" at error level on failure. Returns the
// errno in the system category.
std::error_code RemoveDirectory(const FilePath& path);

// Removes `path` and everything below it without following symbolic links (the platform's
// removefile with REMOVEFILE_RECURSIVE). Logs "did recursively remove %s" at debug level on
// success and "removefile recursive failed for %s: %{darwin.errno}d" at error level on
// failure. Returns the errno in the system category.
std::error_code RemoveRecursively(const FilePath& path);

// Copies the tree at `source` to `destination` with all metadata: data, modes, owners where
// permitted, access and modification times, extended attributes; symbolic links are copied
// as links, never followed (the platform's copyfile with COPYFILE_ALL, COPYFILE_RECURSIVE,
// COPYFILE_NOFOLLOW and COPYFILE_CLONE). File data is cloned or copied in the kernel where
// the file system allows. A regular file or a link may be copied on its own as well.
// Returns the errno in the system category.
std::error_code CopyTree(const FilePath& source, const FilePath& destination);

}  // namespace mcom
