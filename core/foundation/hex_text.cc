#include "core/foundation/hex_text.h"

#include <charconv>
#include <system_error>

namespace mcom {

std::string HexOf(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * bytes.size());
  for (const uint8_t byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xf];
  }
  return hex;
}

bool ParseHex(std::string_view hex, std::span<uint8_t> bytes) {
  if (hex.size() != 2 * bytes.size()) return false;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char* digits = hex.data() + 2 * i;
    const auto [end, failure] = std::from_chars(digits, digits + 2, bytes[i], 16);
    if (failure != std::errc() || end != digits + 2) return false;
  }
  return true;
}

}  // namespace mcom
