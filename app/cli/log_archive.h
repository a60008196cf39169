#pragma once

#include <optional>
#include <string>

#include "core/foundation/file.h"
#include "core/foundation/file_path.h"

// Where `dorvane logs` puts the helper's diagnostic archive.

// Why `path` cannot take the archive, in one sentence, checked before the helper is asked:
// it must name a file (not a folder) in an existing folder, and an existing file only with
// `replace` (--force). Nothing when it can.
std::optional<std::string> WhyTheArchiveCannotGoTo(const std::string& path, bool replace);

// Copies the archive behind `archive` (read from its start) into `path`. The copy is written
// under a temporary name beside `path` and takes the final name only once it is complete:
// without `replace` it is linked in, so a file that appeared meanwhile is never overwritten;
// with it, renamed over the old file. A failure or an interruption (interruption.h) throws
// Error("SaveLogArchive", ...) and removes the temporary file; `path` is then untouched.
void SaveLogArchive(const mcom::File& archive, const mcom::FilePath& path, bool replace);
