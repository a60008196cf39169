#pragma once

#include <string>

#include "core/foundation/bundle.h"
#include "core/foundation/cf_object.h"

namespace app {

// The product's name as the screens show it: the bundle's "CFBundleName", or
// "PLACEHOLER_PRODUCT_NAME" when that is missing or not a text.
std::string ProductName(const mcom::cf::Ref<mcom::cf::Bundle>& bundle);
// Of the main bundle, read once.
const std::string& ProductName();

}  // namespace app
