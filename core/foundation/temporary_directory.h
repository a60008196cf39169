#pragma once

#include "core/foundation/directory_handle.h"
#include "core/foundation/file_path.h"
#include "core/foundation/result.h"

namespace mcom {

// mkdtemp on the pattern "/tmp/.XXXXXX", resolved under the machine root, so every temporary
// folder lives in the machine's own /tmp. Returns the new path.
Result<FilePath> MakeTemporaryDirectory();

// As above, then opens the new directory and returns a handle with the remove flag set: the
// directory and everything put into it are removed when the handle is released. If the open
// fails the new, empty directory is removed again and the open error is returned.
Result<DirectoryHandle> MakeAndOpenTemporaryDirectory();

}  // namespace mcom
