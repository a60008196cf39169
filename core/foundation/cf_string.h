#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/foundation/cf_object.h"

namespace mcom::cf {

// The encodings a String converts to. The system uses UTF-8 everywhere; ASCII and Latin-1
// exist for the few places that must produce them.
enum class StringEncoding { kUTF8, kASCII, kISOLatin1 };

// An immutable Unicode string (CFString). It holds valid UTF-8; where the platform's UTF-16
// nature shows (lengths, the order of dictionary keys), it behaves as UTF-16 would.
class String final : public Object {
 public:
  static constexpr TypeId kTypeId = TypeId::kString;

  // The platform's CFStringCreateWithCString in UTF-8 (also for text with embedded zero
  // bytes when given as a string_view): null when `utf8` is not valid UTF-8. Invalid text
  // is refused, never repaired.
  static Ref<String> Create(std::string_view utf8);
  // As Create; null also when `c_string` is null.
  static Ref<String> CreateWithCString(const char* c_string);

  // The text in UTF-8, as given.
  const std::string& utf8() const { return utf8_; }

  // The length in UTF-16 code units (CFStringGetLength): a character outside the Basic
  // Multilingual Plane counts 2.
  size_t UTF16Length() const;

  // The text in `encoding`. A string that cannot be fully represented yields only the part
  // before the first character that cannot be represented (empty when that is the first
  // character), never substitute characters: "abcé€" in ASCII is "abc", in Latin-1 "abcé"
  // (as the byte 0xE9). UTF-8 always gives the whole text.
  std::string ToStdString(StringEncoding encoding = StringEncoding::kUTF8) const;

  String(Passkey, std::string utf8) : Object(kTypeId), utf8_(std::move(utf8)) {}

 private:
  bool EqualTo(const Object& other, int depth_left) const override;

  std::string utf8_;
};

// The text of `string` in `encoding` (see String::ToStdString); "" for null.
std::string ToStdString(const Ref<String>& string, StringEncoding encoding = StringEncoding::kUTF8);

// Whether `text` is well-formed UTF-8: no overlong forms, no surrogate code points, nothing
// above U+10FFFF, no truncated sequence.
bool IsValidUTF8(std::string_view text);

// The number of UTF-16 code units of valid UTF-8 `text`.
size_t UTF16Length(std::string_view text);

// The UTF-16 code units of valid UTF-8 `text`.
std::u16string ToUTF16(std::string_view text);

// The platform's literal comparison (CFStringCompare with no options) of two valid UTF-8
// texts: the order of their UTF-16 code units, so "Z" sorts before "a" and U+FF5E sorts
// after U+1F600 (whose first unit is a surrogate). Negative, zero or positive.
int CompareUTF16(std::string_view left, std::string_view right);

// Orders keys the way the platform sorts dictionary keys when writing a property list.
struct UTF16Less {
  using is_transparent = void;
  bool operator()(std::string_view left, std::string_view right) const {
    return CompareUTF16(left, right) < 0;
  }
};

}  // namespace mcom::cf
