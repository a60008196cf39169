#include "core/foundation/extended_attributes.h"

#include <cerrno>

#include "core/foundation/extended_attributes_internal.h"
#include "platform/extended_attributes.h"

namespace mcom {
namespace internal {

Result<std::vector<char>> ReadSizedValue(const SizedQuery& query) {
  std::vector<char> value;
  for (;;) {
    size_t size = 0;
    if (std::error_code error = query(nullptr, 0, &size)) return error;
    // Never an empty buffer: a null one would ask for the size again instead of reading.
    value.resize(size == 0 ? 1 : size);
    size_t length = 0;
    if (std::error_code error = query(value.data(), value.size(), &length)) {
      if (error.value() == ERANGE) continue;
      return error;
    }
    if (length > value.size()) continue;
    value.resize(length);
    return value;
  }
}

}  // namespace internal

namespace {

std::error_code AsSystemError(std::error_code error) {
  if (!error) return {};
  return std::error_code(error.value(), std::system_category());
}

}  // namespace

Result<std::vector<char>> ReadExtendedAttribute(const FilePath& path, const char* name) {
  Result<std::vector<char>> value =
      internal::ReadSizedValue([&](void* buffer, size_t size, size_t* length) {
        return platform::GetAttribute(path.c_str(), name, buffer, size, length);
      });
  if (!value) return AsSystemError(value.error());
  return value;
}

Result<std::vector<std::string>> ListExtendedAttributes(const FilePath& path) {
  Result<std::vector<char>> list =
      internal::ReadSizedValue([&](void* buffer, size_t size, size_t* length) {
        return platform::ListAttributes(path.c_str(), static_cast<char*>(buffer), size, length);
      });
  if (!list) return AsSystemError(list.error());
  // Each name ends with a zero byte.
  std::vector<std::string> names;
  std::string name;
  for (const char byte : *list) {
    if (byte != '\0') {
      name += byte;
    } else if (!name.empty()) {
      names.push_back(std::move(name));
      name.clear();
    }
  }
  if (!name.empty()) names.push_back(std::move(name));
  return names;
}

}  // namespace mcom
