#pragma once

// Zip archives of folders, as `ditto -c -k` writes them.

#include <sys/types.h>

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
// Returns true on success; otherwise false with the reason in `error` ("PATH: Permission
// denied"), and what was written to `output` is not a complete archive.
bool WriteZipArchive(const mcom::FilePath& folder, int output,
                     const std::vector<FileIdentity>& skip, std::string* error);

}  // namespace sim::tools
