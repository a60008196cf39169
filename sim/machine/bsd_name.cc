#include "sim/machine/bsd_name.h"

#include <charconv>

namespace sim {
namespace {

// Reads decimal digits at the front of `text` into `value`; false when there are none or
// the number does not fit. A leading zero is accepted only as the number 0 itself, so every
// number has one spelling ("disk01" is not "disk1").
bool TakeNumber(std::string_view& text, uint32_t* value) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || (digits > 1 && text[0] == '0')) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + digits, *value);
  if (error != std::errc() || end != text.data() + digits) return false;
  text.remove_prefix(digits);
  return true;
}

}  // namespace

std::string BSDName::Format() const {
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about "text" + std::string&&.
  std::string name = "disk";
  name += std::to_string(disk);
  if (has_slice()) {
    name += 's';
    name += std::to_string(slice);
  }
  return name;
}

std::optional<BSDName> BSDName::Parse(std::string_view text) {
  if (!text.starts_with("disk")) return std::nullopt;
  text.remove_prefix(4);
  BSDName name;
  if (!TakeNumber(text, &name.disk)) return std::nullopt;
  if (text.empty()) return name;
  if (text[0] != 's') return std::nullopt;
  text.remove_prefix(1);
  if (!TakeNumber(text, &name.slice) || !text.empty() || name.slice == kNoSlice) {
    return std::nullopt;
  }
  return name;
}

}  // namespace sim
