#pragma once

#include <cstddef>
#include <memory>

#include "platform/iokit/io_return.h"
#include "platform/iokit/registry_snapshot_linux.h"

// The machine's registry file and its cache: internal to the Linux registry stand-in.
namespace platform::iokit_internal {

// The machine's registry as it is now: the file "/private/var/db/macsim/registry.plist"
// under the machine root, parsed, in `registry`.
//
// The parsed registry is kept and handed out again for as long as the file keeps its
// identity (device, inode, size and modification time) and the machine root stays the same,
// so a burst of queries parses it once. The file is opened once and identified by the open
// descriptor, so a file replaced while it is read (the machine renames a new one into
// place) is read whole, old or new, and cached under the identity of what was read.
//
// Without the file (no machine, or a machine without a registry yet) the registry is empty
// and the status success. A file that cannot be opened or read, is not a regular file, is
// larger than 256 MiB or is not a registry gives kIOReturnError and a null `registry`; the
// reason is logged at error level, once per identity of the file. Thread-safe; concurrent
// callers wait for one parse.
IOReturn CurrentRegistry(std::shared_ptr<const RegistrySnapshot>* registry);

// How many times a registry file was parsed in this process; for tests of the cache.
size_t RegistryParseCountForTesting();

}  // namespace platform::iokit_internal
