#include "sim/machine/machine_settings.h"

#include "sim/machine/machine_error.h"

namespace sim {
namespace {

constexpr std::string_view kFaultPrefix = "fault.";

bool YesOrNo(std::string_view key, std::string_view value) {
  if (value == "yes") return true;
  if (value == "no") return false;
  throw MachineError(std::string(key) + " takes yes or no, not \"" + std::string(value) + "\"");
}

// "<tool>.<verb>": two non-empty words of letters, digits, "-" and "_", joined by one dot.
bool IsFaultName(std::string_view name) {
  const size_t dot = name.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
    if (!word && i != dot) return false;
  }
  return true;
}

}  // namespace

void ApplySetting(Model& model, std::string_view key, std::string_view value) {
  if (key == "full-disk-access") {
    model.facts.full_disk_access = YesOrNo(key, value);
  } else if (key == "administrator-approves") {
    model.facts.administrator_approves = YesOrNo(key, value);
  } else if (key == "recovery-environment") {
    model.facts.recovery_environment = YesOrNo(key, value);
  } else if (key == "product-version" || key == "build-version") {
    if (value.empty()) throw MachineError(std::string(key) + " cannot be empty");
    (key == "product-version" ? model.facts.product_version : model.facts.build_version) = value;
  } else if (key == "trusted-anchor") {
    if (value.size() != 64 || value.find_first_not_of("0123456789abcdef") != std::string::npos) {
      throw MachineError("trusted-anchor takes a public key as 64 lowercase hex digits");
    }
    model.facts.trusted_anchor = value;
  } else if (key.starts_with(kFaultPrefix) && IsFaultName(key.substr(kFaultPrefix.size()))) {
    const std::string fault(key.substr(kFaultPrefix.size()));
    if (value.empty()) {
      model.faults.erase(fault);
    } else {
      model.faults[fault] = value;
    }
  } else {
    throw MachineError("unknown setting: " + std::string(key));
  }
}

const std::vector<std::string>& SettingKeys() {
  static const std::vector<std::string> keys = {
      "full-disk-access", "administrator-approves", "recovery-environment", "product-version",
      "build-version",    "trusted-anchor",         "fault.<tool>.<verb>"};
  return keys;
}

}  // namespace sim
