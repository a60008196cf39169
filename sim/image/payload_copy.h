#pragma once

// Copying a payload from one image file into another without unpacking it. Internal to
// sim/image.

#include <cstdint>
#include <functional>
#include <string>

#include "sim/image/image_description.h"

namespace sim::image_internal {

// Appends the bytes of `payload` to `output_fd` (from its current offset), stored with
// `compression`: copied as they are when the payload already is, else compressed with gzip
// or decompressed on the way. Returns the number of bytes written. `consumed` (may be empty)
// is called after each chunk with how many of the payload's own bytes have been read.
// Throws the errno of a failed read or write, kCorrupt for a payload that does not
// decompress; `name` begins every complaint.
uint64_t CopyPayload(const ImagePayload& payload, int output_fd, PayloadCompression compression,
                     const std::function<void(uint64_t)>& consumed, const std::string& name);

}  // namespace sim::image_internal
