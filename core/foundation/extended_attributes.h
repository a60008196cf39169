#pragma once

#include <string>
#include <vector>

#include "core/foundation/file_path.h"
#include "core/foundation/result.h"

namespace mcom {

// Extended attributes by their Mac names ("com.apple.quarantine"). A final symbolic link is
// never followed. How Mac names map onto the host's attribute namespaces is described in
// platform/extended_attributes.h.
//
// Errors are errno values in the system category.

// The attribute's bytes. Asks for the size first, then reads; if the attribute grew in
// between, asks again.
Result<std::vector<char>> ReadExtendedAttribute(const FilePath& path, const char* name);

// The names of the attributes, with the same size-then-read scheme.
Result<std::vector<std::string>> ListExtendedAttributes(const FilePath& path);

}  // namespace mcom
