#include "app/controllers/product_name.h"

#include <optional>

namespace app {

std::string ProductName(const mcom::cf::Ref<mcom::cf::Bundle>& bundle) {
  const std::optional<std::string> name =
      bundle ? bundle->InfoDictionary()->GetString("CFBundleName") : std::nullopt;
  return name.value_or("PLACEHOLER_PRODUCT_NAME");
}

const std::string& ProductName() {
  static const std::string name = ProductName(mcom::cf::Bundle::MainBundle());
  return name;
}

}  // namespace app
