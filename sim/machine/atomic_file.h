#pragma once

#include <sys/types.h>

#include <string_view>
#include <system_error>

#include "core/foundation/file_path.h"

namespace sim {

// Replaces the file at `path` with `bytes` so that a reader sees either the old file or the
// new one, whole, never a mixture, and a crash leaves one of the two: the bytes go to a new
// temporary file in the same folder, which is given `mode`, flushed to disk (fsync) and
// renamed over `path`. On failure the temporary file is removed and `path` is untouched.
// Returns the errno of the step that failed, in the generic category.
std::error_code WriteFileAtomically(const mcom::FilePath& path, std::string_view bytes,
                                    mode_t mode);

}  // namespace sim
