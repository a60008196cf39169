#include "core/discovery/service_property.h"

#include <cstdint>
#include <cstring>
#include <system_error>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/error_category.h"

namespace mcom::iokit {
namespace {

// The size of the platform's in-band buffer the small reads use.
constexpr uint32_t kSmallPropertySize = 128;

}  // namespace

cf::Ref<cf::Object> CopyProperty(const Service& service, std::string_view key) {
  return platform::IORegistryEntryCreateCFProperty(service.get(), key, 0);
}

cf::Ref<cf::Dictionary> DictionaryProperty(const Service& service, std::string_view key) {
  return cf::As<cf::Dictionary>(CopyProperty(service, key));
}

cf::Ref<cf::Array> ArrayProperty(const Service& service, std::string_view key) {
  return cf::As<cf::Array>(CopyProperty(service, key));
}

cf::Ref<cf::String> StringProperty(const Service& service, std::string_view key) {
  return cf::As<cf::String>(CopyProperty(service, key));
}

bool PropertyIsTrue(const Service& service, std::string_view key) {
  return CopyProperty(service, key).SameObject(cf::Boolean::True());
}

bool PropertyIsFalse(const Service& service, std::string_view key) {
  return CopyProperty(service, key).SameObject(cf::Boolean::False());
}

Result<std::string> SmallStringProperty(const Service& service, const char* key, bool cut_at_zero) {
  char buffer[kSmallPropertySize];
  uint32_t size = sizeof buffer;
  const platform::IOReturn status =
      platform::IORegistryEntryGetProperty(service.get(), key, buffer, &size);
  if (status != platform::kIOReturnSuccess) return std::error_code(status, category());
  size_t length = size;
  if (cut_at_zero) {
    if (const void* zero = std::memchr(buffer, '\0', length)) {
      length = static_cast<size_t>(static_cast<const char*>(zero) - buffer);
    }
  }
  return std::string(buffer, length);
}

std::optional<DiskName> BSDName(const Service& service) {
  const Result<std::string> name = SmallStringProperty(service, "BSD Name", /*cut_at_zero=*/true);
  if (!name) return std::nullopt;
  return ParseDiskName(*name);
}

std::string ClassName(const Service& service) {
  platform::io_name_t name = {};
  if (platform::IOObjectGetClass(service.get(), name) != platform::kIOReturnSuccess) return {};
  return name;
}

}  // namespace mcom::iokit
