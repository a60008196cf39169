#pragma once

// Volume payloads: a volume's files packed into one archive inside an image file.
//
// A payload is a pax archive. Its first entry, ".", is the volume's root folder itself; every
// other entry is a path relative to the root, listed after its parent folder. It keeps:
// file data (sparse files as sparse entries, whose holes take no space in the archive or
// when extracted), folders, symbolic links as links (relative, absolute or dangling; never
// followed), hard links within the volume, FIFOs, sockets (pax has no type for them: an
// empty file entry marked with the format's own attribute "dorvane.sim.file-type" =
// "socket"), character and block devices with their device numbers, modes (setuid, setgid
// and sticky bits included), numeric owners, access and modification times to the
// nanosecond, and extended attributes by their Mac names ("com.apple.FinderInfo";
// platform/extended_attributes.h maps them to the host's names). Compressed payloads (UDZO
// images) are the same archive in gzip.
//
// Errors are thrown as std::system_error (see image_error.h).

#include <cstdint>

#include "core/foundation/file.h"
#include "core/foundation/file_path.h"
#include "sim/image/image_description.h"

namespace sim {

// Packs the tree at `folder` (which must be a folder; a symbolic link to one is refused
// with ENOTDIR) into a payload, written to `output` from its current offset onwards. Returns
// the number of bytes written. A file of a type no volume holds, or one carrying the
// format's own attribute, is refused with ENOTSUP naming the file; attributes of other
// namespaces than the Mac names have no Mac name and are left out. A file that changes while
// it is packed is kept as it was read.
uint64_t PackFolder(const mcom::FilePath& folder, const mcom::File& output,
                    PayloadCompression compression);

// Extracts `payload` into `destination`, which must be an empty folder or not exist yet (it
// is made, mode 0755, and its parent must exist; anything else is EEXIST or ENOTEMPTY). The
// root entry's metadata goes to `destination` itself. Owners are restored when the process
// runs as root; otherwise every file belongs to the caller. Sockets and device nodes are made
// with mknodat; a device node the process may not make (EPERM) is skipped, as the platform's
// tree copy skips it.
//
// The payload is outside input and is treated as hostile: entries must stay inside
// `destination` (no absolute paths, no "..", no entry below something that is not a folder
// of the payload, no entry twice, no hard link to anything but a file extracted before), and
// links are never followed while writing, nor while making a node; any such entry ends the
// extraction with ImageErrc::kUnsafePayload, a damaged archive with kCorrupt. On failure
// what was extracted so far stays in `destination`; the caller removes it.
void ExtractPayload(const ImagePayload& payload, const mcom::FilePath& destination);

}  // namespace sim
