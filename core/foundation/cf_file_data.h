#pragma once

#include "core/foundation/cf_data.h"
#include "core/foundation/file_path.h"

namespace mcom::cf {

// Reads the whole file at `path` into data. The file is opened read-only (without blocking,
// so a FIFO cannot stall the caller), its size taken
// from its status, exactly that many bytes allocated and filled by one read; the data is
// returned only when that read produced exactly the size and the file holds nothing beyond
// it. The bytes are then owned by the data object, without a copy.
//
// Null for everything else: a missing or unreadable file, a directory, a file that grew or
// shrank between the size query and the read, a file whose size its status does not report
// (a pipe, most of /proc), a size that cannot be allocated or read in one go (on Linux one
// read returns at most about 2 GiB). An empty file gives empty data.
Ref<Data> CreateDataFromFile(const FilePath& path);

// Test seam: `hook` (if not null) runs after the size has been taken and before the read,
// with the path being read; tests use it to change the file at exactly that moment. Not for
// production code; not thread-safe against concurrent reads.
using FileDataReadHook = void (*)(const FilePath& path);
void SetFileDataReadHookForTesting(FileDataReadHook hook);

}  // namespace mcom::cf
