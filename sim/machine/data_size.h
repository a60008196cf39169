#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace sim {

// A size as `macsim` takes it: decimal digits with an optional unit, K, M, G or T (upper or
// lower case, powers of 1024, an optional trailing "B": "10M", "1g", "512KB"), or bytes
// without one. Empty for anything else, and for sizes that do not fit in 64 bits.
std::optional<uint64_t> ParseDataSize(std::string_view text);

}  // namespace sim
