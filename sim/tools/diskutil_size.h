#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Sizes as diskutil writes and reads them.
namespace sim::tools::diskutil {

// A byte count the way diskutil prints it in its listings: decimal units with one fraction
// digit ("500.3 GB", "524.3 MB", "20.5 KB"), plain bytes below 1000 ("512 B"). A value that
// rounds up to 1000 of a unit is written in the next unit ("1.0 GB", never "1000.0 MB").
std::string FormatSize(uint64_t bytes);

// "524.3 MB (524288000 Bytes) (exactly 1024000 512-Byte-Units)", as `diskutil info` writes
// sizes.
std::string FormatSizeWithBytes(uint64_t bytes);

// A partition size of `diskutil partitionDisk`: a decimal number (a fraction is allowed)
// followed by one unit letter, upper or lower case: B (bytes), S (512-byte sectors), K, M,
// G, T, P, E (powers of 1000). Nothing for anything else, for a size of zero bytes and for
// one beyond 2^64. The remainder size "R" is the caller's business.
std::optional<uint64_t> ParseSize(std::string_view text);

}  // namespace sim::tools::diskutil
