#pragma once

// The payloads of the structured values that travel out of line, each in its own region:
//
//   container or disk name  disk number (u32), slice as a signed 32-bit value (-1: none)
//   Error                   operation (string), message (string), cause flag (u32: 1 when the
//                           cause's own encoding follows, 0 when not)
//   ProgressUpdate          variant index (u32), then the double (index 0, at offset 4) or
//                           the string (index 1)
//
// Readers insist that the whole region is used exactly and reject anything else; they never
// read past the region.

#include <optional>

#include "core/foundation/disk_name.h"
#include "core/foundation/error.h"
#include "transport/payload_buffer.h"
#include "transport/payload_reader.h"
#include "transport/progress_update.h"

namespace mach {

// Causes deeper than this are refused when reading: a chain that long is no error report but
// an attempt to exhaust the reader's stack.
inline constexpr int kMaxErrorCauses = 64;

void AppendDiskName(PayloadBuffer& payload, mcom::DiskName name);
std::optional<mcom::DiskName> ReadDiskName(PayloadReader& reader);

void AppendError(PayloadBuffer& payload, const Error& error);
std::optional<Error> ReadError(PayloadReader& reader);

void AppendProgressUpdate(PayloadBuffer& payload, const ProgressUpdate& update);
// No value for an index other than 0 or 1 as well as for a short or overlong payload.
std::optional<ProgressUpdate> ReadProgressUpdate(PayloadReader& reader);

}  // namespace mach
