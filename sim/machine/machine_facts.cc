#include "sim/machine/machine_facts.h"
#include "core/foundation/hex_text.h"

#include <string_view>

#include "core/foundation/cf_data.h"
#include "core/foundation/cf_file_data.h"
#include "sim/machine/machine_paths.h"

namespace sim {
namespace {

// The fact's line without its line break; nothing when it cannot be read.
std::optional<std::string_view> FactLine(const mcom::cf::Ref<mcom::cf::Data>& data) {
  if (!data) return std::nullopt;
  std::string_view text = data->AsStringView();
  if (text.ends_with('\n')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<signature::PublicKey> ReadTrustedAnchor(const mcom::FilePath& root) {
  const mcom::cf::Ref<mcom::cf::Data> data =
      mcom::cf::CreateDataFromFile(TrustedAnchorFactPath(root));
  const std::optional<std::string_view> hex = FactLine(data);
  signature::PublicKey key{};
  if (!hex || !mcom::ParseHex(*hex, key)) return std::nullopt;
  return key;
}

bool ReadAdministratorApproves(const mcom::FilePath& root) {
  const mcom::cf::Ref<mcom::cf::Data> data =
      mcom::cf::CreateDataFromFile(AdministratorApprovesFactPath(root));
  return FactLine(data) == "yes";
}

bool ReadRecoveryEnvironment(const mcom::FilePath& root) {
  const mcom::cf::Ref<mcom::cf::Data> data =
      mcom::cf::CreateDataFromFile(RecoveryEnvironmentFactPath(root));
  return FactLine(data) == "yes";
}

}  // namespace sim
