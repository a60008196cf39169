#include "sim/machine/data_size.h"

#include <charconv>

namespace sim {

std::optional<uint64_t> ParseDataSize(std::string_view text) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  std::string_view unit(end, static_cast<size_t>(text.data() + text.size() - end));
  if (unit.size() == 2 && (unit[1] == 'B' || unit[1] == 'b')) unit.remove_suffix(1);
  int shift = 0;
  if (unit.size() == 1) {
    switch (unit[0]) {
      case 'K':
      case 'k':
        shift = 10;
        break;
      case 'M':
      case 'm':
        shift = 20;
        break;
      case 'G':
      case 'g':
        shift = 30;
        break;
      case 'T':
      case 't':
        shift = 40;
        break;
      case 'B':
      case 'b':
        shift = 0;
        break;
      default:
        return std::nullopt;
    }
  } else if (!unit.empty()) {
    return std::nullopt;
  }
  if (shift > 0 && value > (UINT64_MAX >> shift)) return std::nullopt;
  return value << shift;
}

}  // namespace sim
