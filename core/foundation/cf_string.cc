#include "core/foundation/cf_string.h"

#include <algorithm>
#include <cstdint>

namespace mcom::cf {
namespace {

// One decoded character of UTF-8 text and the number of bytes it took. Only called on text
// that IsValidUTF8 accepted; on anything else it still stays within `text`.
struct Decoded {
  char32_t code_point;
  size_t size;
};

Decoded DecodeAt(std::string_view text, size_t at) {
  const auto byte = [&](size_t index) {
    return index < text.size() ? static_cast<uint8_t>(text[index]) : uint8_t{0x80};
  };
  const uint8_t lead = byte(at);
  if (lead < 0x80) return {lead, 1};
  if (lead < 0xE0) return {static_cast<char32_t>((lead & 0x1F) << 6 | (byte(at + 1) & 0x3F)), 2};
  if (lead < 0xF0) {
    return {static_cast<char32_t>((lead & 0x0F) << 12 | (byte(at + 1) & 0x3F) << 6 |
                                  (byte(at + 2) & 0x3F)),
            3};
  }
  return {static_cast<char32_t>((lead & 0x07) << 18 | (byte(at + 1) & 0x3F) << 12 |
                                (byte(at + 2) & 0x3F) << 6 | (byte(at + 3) & 0x3F)),
          4};
}

// The first UTF-16 code unit of a character: the character itself in the Basic Multilingual
// Plane, its high surrogate above it.
char32_t FirstUTF16Unit(char32_t code_point) {
  return code_point < 0x10000 ? code_point : 0xD800 + ((code_point - 0x10000) >> 10);
}

}  // namespace

Ref<String> String::Create(std::string_view utf8) {
  if (!IsValidUTF8(utf8)) return nullptr;
  return Make<String>(std::string(utf8));
}

Ref<String> String::CreateWithCString(const char* c_string) {
  if (c_string == nullptr) return nullptr;
  return Create(std::string_view(c_string));
}

size_t String::UTF16Length() const { return cf::UTF16Length(utf8_); }

std::string String::ToStdString(StringEncoding encoding) const {
  if (encoding == StringEncoding::kUTF8) return utf8_;
  const char32_t limit = encoding == StringEncoding::kASCII ? 0x7F : 0xFF;
  std::string result;
  for (size_t at = 0; at < utf8_.size();) {
    const Decoded character = DecodeAt(utf8_, at);
    // The platform stops at the first character the encoding lacks; it never substitutes.
    if (character.code_point > limit) break;
    result.push_back(static_cast<char>(character.code_point));
    at += character.size;
  }
  return result;
}

bool String::EqualTo(const Object& other, int) const {
  return utf8_ == static_cast<const String&>(other).utf8_;
}

std::string ToStdString(const Ref<String>& string, StringEncoding encoding) {
  return string ? string->ToStdString(encoding) : std::string();
}

bool IsValidUTF8(std::string_view text) {
  size_t at = 0;
  while (at < text.size()) {
    const uint8_t lead = static_cast<uint8_t>(text[at]);
    if (lead < 0x80) {
      ++at;
      continue;
    }
    size_t size;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
      size = 2;
      minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      size = 3;
      minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      size = 4;
      minimum = 0x10000;
    } else {
      return false;  // a continuation byte, an overlong two-byte lead or beyond U+10FFFF
    }
    if (text.size() - at < size) return false;
    for (size_t index = 1; index < size; ++index) {
      if ((static_cast<uint8_t>(text[at + index]) & 0xC0) != 0x80) return false;
    }
    const char32_t code_point = DecodeAt(text, at).code_point;
    if (code_point < minimum || code_point > 0x10FFFF) return false;
    if (code_point >= 0xD800 && code_point <= 0xDFFF) return false;
    at += size;
  }
  return true;
}

size_t UTF16Length(std::string_view text) {
  size_t units = 0;
  for (size_t at = 0; at < text.size();) {
    const Decoded character = DecodeAt(text, at);
    units += character.code_point >= 0x10000 ? 2 : 1;
    at += character.size;
  }
  return units;
}

std::u16string ToUTF16(std::string_view text) {
  std::u16string units;
  units.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const Decoded character = DecodeAt(text, at);
    if (character.code_point < 0x10000) {
      units.push_back(static_cast<char16_t>(character.code_point));
    } else {
      units.push_back(static_cast<char16_t>(FirstUTF16Unit(character.code_point)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((character.code_point - 0x10000) & 0x3FF)));
    }
    at += character.size;
  }
  return units;
}

int CompareUTF16(std::string_view left, std::string_view right) {
  // UTF-8 byte order is code point order, which equals UTF-16 order except where a character
  // at or above U+E000 meets one above U+FFFF. So find the first difference and compare the
  // two characters there by their UTF-16 units.
  const size_t common = std::min(left.size(), right.size());
  size_t at = 0;
  while (at < common && left[at] == right[at]) ++at;
  if (at == common) {
    if (left.size() == right.size()) return 0;
    return left.size() < right.size() ? -1 : 1;
  }
  while (at > 0 && (static_cast<uint8_t>(left[at]) & 0xC0) == 0x80) --at;
  const char32_t left_point = DecodeAt(left, at).code_point;
  const char32_t right_point = DecodeAt(right, at).code_point;
  const char32_t left_unit = FirstUTF16Unit(left_point);
  const char32_t right_unit = FirstUTF16Unit(right_point);
  if (left_unit != right_unit) return left_unit < right_unit ? -1 : 1;
  if (left_point != right_point) return left_point < right_point ? -1 : 1;
  return 0;
}

}  // namespace mcom::cf
