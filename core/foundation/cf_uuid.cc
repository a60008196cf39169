#include "core/foundation/cf_uuid.h"

namespace mcom::cf {
namespace {

int HexDigitValue(char character) {
  if (character >= '0' && character <= '9') return character - '0';
  if (character >= 'a' && character <= 'f') return character - 'a' + 10;
  if (character >= 'A' && character <= 'F') return character - 'A' + 10;
  return -1;
}

bool IsDashPosition(size_t index) {
  return index == 8 || index == 13 || index == 18 || index == 23;
}

}  // namespace

Ref<UUID> UUID::Create(const Bytes& bytes) { return Make<UUID>(bytes); }

Ref<UUID> UUID::CreateFromString(std::string_view text) {
  if (text.size() != 36) return nullptr;
  Bytes bytes{};
  size_t nibble = 0;
  for (size_t index = 0; index < text.size(); ++index) {
    if (IsDashPosition(index)) {
      if (text[index] != '-') return nullptr;
      continue;
    }
    const int value = HexDigitValue(text[index]);
    if (value < 0) return nullptr;
    bytes[nibble / 2] = static_cast<uint8_t>(bytes[nibble / 2] << 4 | value);
    ++nibble;
  }
  return Create(bytes);
}

std::string UUID::ToString() const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (size_t index = 0; index < bytes_.size(); ++index) {
    if (index == 4 || index == 6 || index == 8 || index == 10) text.push_back('-');
    text.push_back(kHex[bytes_[index] >> 4]);
    text.push_back(kHex[bytes_[index] & 0x0F]);
  }
  return text;
}

bool UUID::EqualTo(const Object& other, int) const {
  return bytes_ == static_cast<const UUID&>(other).bytes_;
}

}  // namespace mcom::cf
