#include "sim/tools/diskutil_size.h"

#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace sim::tools::diskutil {

std::string FormatSize(uint64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + " B";
  static constexpr std::array<const char*, 6> kUnits = {"KB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1000.0;
  size_t unit = 0;
  // Decide on the unit from the rounded value, so that 999,960 bytes read "1.0 MB".
  while (unit + 1 < kUnits.size() && std::round(value * 10.0) >= 10000.0) {
    value /= 1000.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string FormatSizeWithBytes(uint64_t bytes) {
  return FormatSize(bytes) + " (" + std::to_string(bytes) + " Bytes) (exactly " +
         std::to_string(bytes / 512) + " 512-Byte-Units)";
}

std::optional<uint64_t> ParseSize(std::string_view text) {
  if (text.size() < 2) return std::nullopt;
  const char unit = static_cast<char>(std::toupper(static_cast<unsigned char>(text.back())));
  const std::string_view number = text.substr(0, text.size() - 1);

  double multiplier = 0;
  switch (unit) {
    case 'B':
      multiplier = 1;
      break;
    case 'S':
      multiplier = 512;
      break;
    case 'K':
      multiplier = 1e3;
      break;
    case 'M':
      multiplier = 1e6;
      break;
    case 'G':
      multiplier = 1e9;
      break;
    case 'T':
      multiplier = 1e12;
      break;
    case 'P':
      multiplier = 1e15;
      break;
    case 'E':
      multiplier = 1e18;
      break;
    default:
      return std::nullopt;
  }

  // Digits with at most one point, and at least one digit: strtod alone would also take
  // signs, exponents, "inf" and hexadecimal numbers.
  bool seen_point = false;
  bool seen_digit = false;
  for (char c : number) {
    if (c == '.' && !seen_point) {
      seen_point = true;
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      seen_digit = true;
    } else {
      return std::nullopt;
    }
  }
  if (!seen_digit || number.size() > 40) return std::nullopt;

  const double bytes = std::strtod(std::string(number).c_str(), nullptr) * multiplier;
  // 2^64 as a double; anything at or above it does not fit.
  if (!(bytes >= 1.0) || bytes >= 18446744073709551616.0) return std::nullopt;
  return static_cast<uint64_t>(std::floor(bytes));
}

}  // namespace sim::tools::diskutil
