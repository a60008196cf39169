#include "core/foundation/property_list.h"

#include <memory>
#include <optional>
#include <string>

#include "core/foundation/binary_property_list_writer.h"
#include "core/foundation/xml_property_list_writer.h"

namespace mcom::cf {

Ref<Data> PropertyListToData(const Ref<Object>& root, PropertyListFormat format) {
  if (!root) return nullptr;
  std::optional<std::string> bytes;
  switch (format) {
    case PropertyListFormat::kXML:
      bytes = WriteXMLPropertyList(*root);
      break;
    case PropertyListFormat::kBinary:
      bytes = WriteBinaryPropertyList(*root);
      break;
  }
  if (!bytes) return nullptr;
  // The data takes over the written bytes rather than copying them.
  auto owned = std::make_shared<std::string>(std::move(*bytes));
  return Data::CreateWithBytesNoCopy(owned->data(), owned->size(),
                                     [owned](const void*) mutable { owned.reset(); });
}

}  // namespace mcom::cf
