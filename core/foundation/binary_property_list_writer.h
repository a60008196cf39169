#pragma once

#include <optional>
#include <string>

#include "core/foundation/cf_object.h"

namespace mcom::cf {

// The binary ("bplist00") form of the property list `root` (see property_list.h). Empty when
// `root` is not a property list.
std::optional<std::string> WriteBinaryPropertyList(const Object& root);

}  // namespace mcom::cf
