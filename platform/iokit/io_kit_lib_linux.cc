#ifndef __linux__
#error "This file implements the registry stand-in for Linux only."
#endif

#include "platform/iokit/io_kit_lib.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "platform/iokit/registry_file_linux.h"
#include "platform/iokit/registry_snapshot_linux.h"

namespace platform {

using iokit_internal::RegistrySnapshot;
using mcom::cf::As;
using mcom::cf::Dictionary;
using mcom::cf::MutableDictionary;
using mcom::cf::Object;
using mcom::cf::Ref;

// The object behind an io_object_t: an entry of one registry snapshot, or an iterator over
// entries of one. The snapshot is shared, so every object made from one matching call sees
// the same registry however long it is kept.
struct IOObject {
  enum class Kind { kEntry, kIterator };

  IOObject(Kind object_kind, std::shared_ptr<const RegistrySnapshot> object_registry)
      : kind(object_kind), registry(std::move(object_registry)) {}

  const Kind kind;
  const std::shared_ptr<const RegistrySnapshot> registry;
  std::atomic<uint32_t> references{1};

  // An entry: its index in the registry.
  uint32_t entry = 0;

  // An iterator: the entries it yields and the next position. An iterator is not
  // thread-safe (nor is IOKit's: two threads taking turns on one see an unspecified
  // interleaving); its position is atomic so that such misuse stays defined.
  std::vector<uint32_t> entries;
  std::atomic<size_t> position{0};
};

namespace {

constexpr const char* kIteratorClass = "IOUserIterator";

io_object_t NewEntry(const std::shared_ptr<const RegistrySnapshot>& registry, uint32_t index) {
  auto* object = new IOObject(IOObject::Kind::kEntry, registry);
  object->entry = index;
  return object;
}

io_iterator_t NewIterator(const std::shared_ptr<const RegistrySnapshot>& registry,
                          std::vector<uint32_t> entries) {
  auto* object = new IOObject(IOObject::Kind::kIterator, registry);
  object->entries = std::move(entries);
  return object;
}

bool IsEntry(io_object_t object) {
  return object != IO_OBJECT_NULL && object->kind == IOObject::Kind::kEntry;
}

bool IsIterator(io_object_t object) {
  return object != IO_OBJECT_NULL && object->kind == IOObject::Kind::kIterator;
}

// Copies `text` into an io_name_t, cut to fit with its terminating zero.
void CopyName(std::string_view text, io_name_t name) {
  const size_t length = std::min(text.size(), sizeof(io_name_t) - 1);
  std::memcpy(name, text.data(), length);
  name[length] = '\0';
}

Ref<MutableDictionary> DictionaryWith(std::string_view key, const char* value) {
  if (value == nullptr) return nullptr;
  Ref<mcom::cf::String> string = mcom::cf::String::Create(value);
  if (!string) return nullptr;  // not UTF-8: no service can have such a name
  Ref<MutableDictionary> matching = MutableDictionary::Create();
  matching->SetValue(key, std::move(string));
  return matching;
}

IOReturn RelativesIterator(io_registry_entry_t entry, const char* plane, io_iterator_t* iterator,
                           bool children) {
  if (iterator == nullptr) return kIOReturnBadArgument;
  *iterator = IO_OBJECT_NULL;
  if (!IsEntry(entry) || plane == nullptr || std::strcmp(plane, kIOServicePlane) != 0) {
    return kIOReturnBadArgument;
  }
  const iokit_internal::RegistryEntry& registry_entry = entry->registry->entries()[entry->entry];
  *iterator =
      NewIterator(entry->registry, children ? registry_entry.children : registry_entry.parents);
  return kIOReturnSuccess;
}

}  // namespace

Ref<MutableDictionary> IOServiceMatching(const char* class_name) {
  return DictionaryWith(kIOProviderClassKey, class_name);
}

Ref<MutableDictionary> IOServiceNameMatching(const char* name) {
  return DictionaryWith(kIONameMatchKey, name);
}

Ref<MutableDictionary> IOBSDNameMatching(mach_port_t, uint32_t, const char* bsd_name) {
  return DictionaryWith(kIOBSDNameKey, bsd_name);
}

// The dictionary is taken by value because the call consumes the caller's reference.
IOReturn IOServiceGetMatchingServices(
    mach_port_t,
    Ref<Dictionary> matching,  // NOLINT(performance-unnecessary-value-param)
    io_iterator_t* existing) {
  if (existing == nullptr) return kIOReturnBadArgument;
  *existing = IO_OBJECT_NULL;
  if (!matching) return kIOReturnBadArgument;
  std::shared_ptr<const RegistrySnapshot> registry;
  if (const IOReturn status = iokit_internal::CurrentRegistry(&registry); status != 0) {
    return status;
  }
  std::vector<uint32_t> indices;
  if (const IOReturn status = registry->Match(*matching, &indices); status != 0) return status;
  *existing = NewIterator(registry, std::move(indices));
  return kIOReturnSuccess;
}

io_service_t IOServiceGetMatchingService(mach_port_t main_port, Ref<Dictionary> matching) {
  io_iterator_t iterator = IO_OBJECT_NULL;
  if (IOServiceGetMatchingServices(main_port, std::move(matching), &iterator) != 0) {
    return IO_OBJECT_NULL;
  }
  const io_service_t first = IOIteratorNext(iterator);
  IOObjectRelease(iterator);
  return first;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
  if (!IsIterator(iterator)) return IO_OBJECT_NULL;
  const size_t position = iterator->position.fetch_add(1);
  if (position >= iterator->entries.size()) {
    iterator->position = iterator->entries.size();  // stays exhausted, never wraps
    return IO_OBJECT_NULL;
  }
  return NewEntry(iterator->registry, iterator->entries[position]);
}

void IOIteratorReset(io_iterator_t iterator) {
  if (IsIterator(iterator)) iterator->position = 0;
}

bool IOIteratorIsValid(io_iterator_t iterator) { return IsIterator(iterator); }

IOReturn IOObjectRetain(io_object_t object) {
  if (object == IO_OBJECT_NULL) return kIOReturnBadArgument;
  object->references.fetch_add(1, std::memory_order_relaxed);
  return kIOReturnSuccess;
}

IOReturn IOObjectRelease(io_object_t object) {
  if (object == IO_OBJECT_NULL) return kIOReturnBadArgument;
  if (object->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete object;
  return kIOReturnSuccess;
}

IOReturn IOObjectGetClass(io_object_t object, io_name_t class_name) {
  if (object == IO_OBJECT_NULL || class_name == nullptr) return kIOReturnBadArgument;
  CopyName(IsEntry(object) ? object->registry->ClassName(object->entry) : kIteratorClass,
           class_name);
  return kIOReturnSuccess;
}

bool IOObjectConformsTo(io_object_t object, const char* class_name) {
  if (object == IO_OBJECT_NULL || class_name == nullptr) return false;
  // An iterator is no registry entry: it is of its own class only.
  if (!IsEntry(object)) return std::strcmp(class_name, kIteratorClass) == 0;
  // The kernel's answer first; then, as IOKitLib does, the class the entry names itself.
  return object->registry->KernelClassConformsTo(object->entry, class_name) ||
         object->registry->ClassName(object->entry) == class_name;
}

bool IOObjectIsEqualTo(io_object_t object, io_object_t another) {
  if (object == another) return true;
  if (!IsEntry(object) || !IsEntry(another)) return false;
  return object->registry->entries()[object->entry].id ==
         another->registry->entries()[another->entry].id;
}

IOReturn IORegistryEntryGetChildIterator(io_registry_entry_t entry, const char* plane,
                                         io_iterator_t* iterator) {
  return RelativesIterator(entry, plane, iterator, /*children=*/true);
}

IOReturn IORegistryEntryGetParentIterator(io_registry_entry_t entry, const char* plane,
                                          io_iterator_t* iterator) {
  return RelativesIterator(entry, plane, iterator, /*children=*/false);
}

IOReturn IORegistryEntryGetName(io_registry_entry_t entry, io_name_t name) {
  if (!IsEntry(entry) || name == nullptr) return kIOReturnBadArgument;
  CopyName(entry->registry->entries()[entry->entry].name, name);
  return kIOReturnSuccess;
}

IOReturn IORegistryEntryGetRegistryEntryID(io_registry_entry_t entry, uint64_t* id) {
  if (!IsEntry(entry) || id == nullptr) return kIOReturnBadArgument;
  *id = entry->registry->entries()[entry->entry].id;
  return kIOReturnSuccess;
}

Ref<Object> IORegistryEntryCreateCFProperty(io_registry_entry_t entry, std::string_view key,
                                            uint32_t) {
  if (!IsEntry(entry)) return nullptr;
  return entry->registry->Property(entry->entry, key);
}

IOReturn IORegistryEntryGetProperty(io_registry_entry_t entry, const char* property_name,
                                    char* buffer, uint32_t* size) {
  if (!IsEntry(entry) || property_name == nullptr || buffer == nullptr || size == nullptr) {
    return kIOReturnBadArgument;
  }
  const Ref<Object> value = entry->registry->Property(entry->entry, property_name);
  if (!value) return kIOReturnNotFound;

  std::string bytes;
  if (const Ref<mcom::cf::String> string = As<mcom::cf::String>(value)) {
    bytes.assign(string->utf8());
    bytes.push_back('\0');
  } else if (const Ref<mcom::cf::Data> data = As<mcom::cf::Data>(value)) {
    bytes.assign(data->AsStringView());
  } else if (const Ref<mcom::cf::Boolean> boolean = As<mcom::cf::Boolean>(value)) {
    bytes.assign(boolean->value() ? "Yes" : "No");
    bytes.push_back('\0');
  } else if (const Ref<mcom::cf::Number> number = As<mcom::cf::Number>(value);
             number && !number->IsReal()) {
    // A negative integer is held as its two's complement, as the platform's 64-bit view
    // of it is.
    const uint64_t integer =
        number->UInt64Value().value_or(static_cast<uint64_t>(number->Int64Value().value_or(0)));
    bytes.assign(reinterpret_cast<const char*>(&integer), sizeof integer);
  } else {
    return kIOReturnBadArgument;
  }
  if (bytes.size() > *size) return kIOReturnNoSpace;
  std::copy(bytes.begin(), bytes.end(), buffer);
  *size = static_cast<uint32_t>(bytes.size());
  return kIOReturnSuccess;
}

}  // namespace platform
