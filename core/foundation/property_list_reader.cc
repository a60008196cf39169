// Reading property lists: libplist parses the bytes, and the tree it builds is converted into
// immutable cf:: objects. libplist 2.2 has a few traps that shape this file:
//  - integers are unsigned: a negative number reads as its two's complement, and only the
//    node's hidden size tells it from an unsigned value above INT64_MAX;
//  - the date getter truncates to 32-bit seconds and loses the sign of a negative fraction;
//  - getters on the wrong node type leave their outputs untouched;
//  - strings, keys, data and iterators are malloc'd and must be freed by the caller;
//  - the string and key getters assert (abort) on text holding a zero character, so such
//    documents never reach them (property_list_checks.h);
//  - the parser and plist_free recurse, it copies shared binary objects, loses strings with
//    unpaired surrogates and accepts some truncated XML; property_list_checks.h refuses all
//    of those before parsing.
// The hidden integer size and the exact date are recovered through the library's own binary
// writer, which writes both faithfully.

#include <plist/plist.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_date.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_file_data.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/property_list.h"
#include "core/foundation/property_list_checks.h"
#include "core/foundation/scoped_plist.h"

namespace mcom::cf {
namespace {

// The bytes of the top object of `node` written alone as a binary property list: its marker
// byte and what follows it, up to the offset table.
std::optional<std::string> BinaryObjectOf(plist_t node) {
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(node, &bytes, &length);
  const ScopedMalloc owner(bytes);
  constexpr uint32_t kTrailer = 32;
  if (bytes == nullptr || length < 8 + kTrailer) return std::nullopt;
  const auto byte = [&](uint32_t at) { return static_cast<uint8_t>(bytes[at]); };
  const auto big_endian = [&](uint32_t at, uint32_t size) {
    uint64_t value = 0;
    for (uint32_t index = 0; index < size; ++index) value = value << 8 | byte(at + index);
    return value;
  };
  const uint32_t trailer = length - kTrailer;
  const uint32_t offset_size = byte(trailer + 6);
  const uint64_t top = big_endian(trailer + 16, 8);
  const uint64_t table = big_endian(trailer + 24, 8);
  if (offset_size < 1 || offset_size > 8 || table >= trailer ||
      top >= (trailer - table) / offset_size) {
    return std::nullopt;
  }
  const uint64_t offset = big_endian(static_cast<uint32_t>(table + top * offset_size), offset_size);
  if (offset < 8 || offset >= table) return std::nullopt;
  return std::string(bytes + offset, bytes + table);
}

Ref<Object> ConvertInteger(plist_t node) {
  uint64_t value = 0;
  plist_get_uint_val(node, &value);
  if (value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return Number::CreateInteger(static_cast<int64_t>(value));
  }
  // Above INT64_MAX the node is either a negative number (written in 8 bytes, marker 0x13)
  // or an unsigned one (written in 16 bytes, marker 0x14).
  const std::optional<std::string> object = BinaryObjectOf(node);
  if (!object || object->empty()) return nullptr;
  if (static_cast<uint8_t>((*object)[0]) == 0x14) return Number::CreateUnsigned(value);
  return Number::CreateInteger(static_cast<int64_t>(value));
}

Ref<Object> ConvertDate(plist_t node) {
  const std::optional<std::string> object = BinaryObjectOf(node);
  if (!object || object->size() < 9 || static_cast<uint8_t>((*object)[0]) != 0x33) {
    return nullptr;
  }
  uint64_t bits = 0;
  for (size_t index = 1; index < 9; ++index) {
    bits = bits << 8 | static_cast<uint8_t>((*object)[index]);
  }
  double absolute_time;
  static_assert(sizeof absolute_time == sizeof bits);
  std::memcpy(&absolute_time, &bits, sizeof bits);
  if (!(absolute_time >= kEarliestPropertyListDate && absolute_time < kEndOfPropertyListDates)) {
    return nullptr;
  }
  return Date::Create(absolute_time);
}

Ref<Object> ConvertString(plist_t node) {
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (text == nullptr) return nullptr;
  return String::Create(std::string_view(text, length));
}

Ref<Object> ConvertData(plist_t node) {
  char* bytes = nullptr;
  uint64_t length = 0;
  plist_get_data_val(node, &bytes, &length);
  ScopedMalloc owner(bytes);
  if (length == 0) return Data::Create(nullptr, 0);
  if (bytes == nullptr) return nullptr;
  // The data object takes over libplist's buffer instead of copying it.
  Ref<Data> data = Data::CreateWithBytesNoCopy(
      owner.get(), length, [](const void* memory) { std::free(const_cast<void*>(memory)); });
  (void)owner.release();
  return data;
}

Ref<Object> ConvertUID(plist_t node) {
  uint64_t value = 0;
  plist_get_uid_val(node, &value);
  Dictionary::Entries entries;
  entries.emplace("CF$UID", Number::CreateUnsigned(value));
  return Dictionary::Create(std::move(entries));
}

Ref<Object> Convert(plist_t node, int depth);

Ref<Object> ConvertArray(plist_t node, int depth) {
  Array::Values values;
  values.reserve(plist_array_get_size(node));
  plist_array_iter iterator = nullptr;
  plist_array_new_iter(node, &iterator);
  const ScopedMalloc owner(iterator);
  if (iterator == nullptr) return nullptr;
  for (;;) {
    plist_t item = nullptr;
    plist_array_next_item(node, iterator, &item);
    if (item == nullptr) break;
    Ref<Object> value = Convert(item, depth + 1);
    if (!value) return nullptr;
    values.push_back(std::move(value));
  }
  return Array::Create(std::move(values));
}

Ref<Object> ConvertDictionary(plist_t node, int depth) {
  Dictionary::Entries entries;
  plist_dict_iter iterator = nullptr;
  plist_dict_new_iter(node, &iterator);
  const ScopedMalloc owner(iterator);
  if (iterator == nullptr) return nullptr;
  for (;;) {
    char* key = nullptr;
    plist_t item = nullptr;
    plist_dict_next_item(node, iterator, &key, &item);
    const ScopedMalloc key_owner(key);
    if (item == nullptr) break;
    if (key == nullptr || !IsValidUTF8(key)) return nullptr;
    Ref<Object> value = Convert(item, depth + 1);
    if (!value) return nullptr;
    // A repeated key keeps its last value, as the platform's reader does.
    entries.insert_or_assign(key, std::move(value));
  }
  return Dictionary::Create(std::move(entries));
}

Ref<Object> Convert(plist_t node, int depth) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return Boolean::Get(value != 0);
    }
    case PLIST_UINT:
      return ConvertInteger(node);
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return Number::CreateReal(value);
    }
    case PLIST_STRING:
      return ConvertString(node);
    case PLIST_DATA:
      return ConvertData(node);
    case PLIST_DATE:
      return ConvertDate(node);
    case PLIST_UID:
      // The dictionary stands one level deeper than the UID did.
      if (depth >= kMaxNesting) return nullptr;
      return ConvertUID(node);
    case PLIST_ARRAY:
      if (depth >= kMaxNesting) return nullptr;
      return ConvertArray(node, depth);
    case PLIST_DICT:
      if (depth >= kMaxNesting) return nullptr;
      return ConvertDictionary(node, depth);
    default:
      return nullptr;
  }
}

}  // namespace

Ref<Object> PropertyListFromBytes(const void* bytes, size_t length) {
  if (bytes == nullptr || length == 0 || length > std::numeric_limits<uint32_t>::max()) {
    return nullptr;
  }
  const char* text = static_cast<const char*>(bytes);
  const std::string_view view(text, length);
  const auto size = static_cast<uint32_t>(length);
  if (plist_is_binary(text, size)) {
    if (!BinaryPropertyListWithinLimits(view, BinaryPropertyListLimitsFor(length))) {
      return nullptr;
    }
  } else if (!XMLPropertyListWithinLimits(view, kMaxNesting) || !XMLElementsBalanced(view)) {
    return nullptr;
  }
  plist_t root = nullptr;
  plist_from_memory(text, size, &root);
  const ScopedPlist owner(root);
  if (root == nullptr) return nullptr;
  return Convert(root, 0);
}

Ref<Object> PropertyListFromData(const Ref<Data>& data) {
  if (!data) return nullptr;
  return PropertyListFromBytes(data->bytes(), data->length());
}

Ref<Object> PropertyListFromFile(const FilePath& path) {
  return PropertyListFromData(CreateDataFromFile(path));
}

}  // namespace mcom::cf
