#pragma once

#include <optional>
#include <string>

#include "core/foundation/cf_object.h"

namespace mcom::cf {

// The XML form of the property list `root`, byte for byte as the platform's
// CFPropertyListCreateData(kCFPropertyListXMLFormat_v1_0) writes it (see property_list.h).
// Empty when `root` is not a property list.
std::optional<std::string> WriteXMLPropertyList(const Object& root);

}  // namespace mcom::cf
