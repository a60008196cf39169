#pragma once

// Zip archives of folders, as `ditto -c -k` writes them.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/foundation/file_path.h"

namespace sim::tools {

// A file by device and inode, to recognise it under any name.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};

// Writes a zip archive (deflate) of everything below the directory `folder` to the open
// descriptor `output`: one entry per directory ("logs.logarchive/"), regular file and
// symbolic link, named by its path relative to `folder` and carrying its mode and
// modification time, in name order. The folder itself gets no entry. Links are stored as
// links, never followed; sockets, FIFOs and devices are left out, and so are the files in
// `skip` (the archive being written, when it lies inside the folder). Extended attributes
// are not stored.
//
// The folder is listed whole first, so that `progress`, when given, can be told how much of
// the files' data is archived: (0, total) before the first entry, then after each piece of
// data written. When it returns false the archive stops there, with the error "stopped".
//
// Returns true on success; otherwise false with the reason in `error` ("PATH: Permission
// denied"), and what was written to `output` is not a complete archive.
using ZipProgress = std::function<bool(uint64_t archived, uint64_t total)>;
bool WriteZipArchive(const mcom::FilePath& folder, int output,
                     const std::vector<FileIdentity>& skip, const ZipProgress& progress,
                     std::string* error);

}  // namespace sim::tools
