#pragma once

// Internal to the foundation and its tests.

#include <cstddef>
#include <functional>
#include <system_error>
#include <vector>

#include "core/foundation/result.h"

namespace mcom::internal {

// One call of an attribute query in the shape of getxattr: with a null buffer it reports the
// value's size in `length`, else it fills the buffer and reports the bytes written, failing
// with ERANGE when they do not fit.
using SizedQuery = std::function<std::error_code(void* buffer, size_t size, size_t* length)>;

// Asks for the size, then reads into a buffer of that size; a value that grew in between
// (ERANGE, or more bytes reported than asked for) is asked for again. Errors of the query are
// returned as they are.
Result<std::vector<char>> ReadSizedValue(const SizedQuery& query);

}  // namespace mcom::internal
