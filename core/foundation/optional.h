#pragma once

#include <optional>

namespace mcom {

// The library's optional, used where "nothing" is a normal answer of a platform call (for
// example the dissenter an approval callback returns).
template <typename T>
using Optional = std::optional<T>;

}  // namespace mcom
