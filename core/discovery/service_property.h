#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/discovery/service.h"
#include "core/foundation/cf_array.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_object.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/disk_name.h"
#include "core/foundation/result.h"

// Reading the properties of a registry service. None of these throws; a property that is
// missing or of another type than asked for reads as absent.
namespace mcom::iokit {

// The property `key` (IORegistryEntryCreateCFProperty), or null when there is none.
cf::Ref<cf::Object> CopyProperty(const Service& service, std::string_view key);

// Typed views of the property: null when it is missing or of another type.
cf::Ref<cf::Dictionary> DictionaryProperty(const Service& service, std::string_view key);
cf::Ref<cf::Array> ArrayProperty(const Service& service, std::string_view key);
cf::Ref<cf::String> StringProperty(const Service& service, std::string_view key);

// Whether the property is the boolean true (false) itself; anything else, a missing property
// or the string "Yes" included, is neither.
bool PropertyIsTrue(const Service& service, std::string_view key);
bool PropertyIsFalse(const Service& service, std::string_view key);

// The bytes of a small property (IORegistryEntryGetProperty into a 128-byte buffer): a
// string with its terminating zero, "Yes"/"No" with theirs for a boolean, the bytes of data.
// With `cut_at_zero` the text ends at the first zero byte. A failure is the registry's
// status as an error code in the "mcom::iokit" category: kIOReturnNotFound for a missing
// property, kIOReturnNoSpace for a value longer than 128 bytes, kIOReturnBadArgument for one
// of a type without bytes (array, dictionary).
Result<std::string> SmallStringProperty(const Service& service, const char* key, bool cut_at_zero);

// The BSD-name mapper: the "BSD Name" small property, cut at its first zero byte and parsed
// as a disk name; empty when the property is missing or is no disk name ("en0", "disk1x").
std::optional<DiskName> BSDName(const Service& service);

// The service's class (IOObjectGetClass: its IOClassNameOverride when it has one); empty
// for a null service.
std::string ClassName(const Service& service);

}  // namespace mcom::iokit
