#pragma once

#include <cstdint>

#include "core/foundation/disk_name.h"
#include "core/foundation/file_path.h"

// How much data an operation copies, for the throughput it shows; 0 when unknown.

// The bytes in use in `container`: its size less its free space.
uint64_t ContainerDataBytes(APFSContainerName container);
// The bytes a sparse image file holds: its allocated blocks, not its declared size.
uint64_t ImageDataBytes(const mcom::FilePath& image);
