#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace mcom {

// Bytes as text: two lower-case hex digits a byte, high nibble first ("ab0f…").
std::string HexOf(std::span<const uint8_t> bytes);
// Fills `bytes` from exactly 2 x bytes.size() hex digits (either case); false for anything
// else, `bytes` then left unspecified.
bool ParseHex(std::string_view hex, std::span<uint8_t> bytes);

}  // namespace mcom
