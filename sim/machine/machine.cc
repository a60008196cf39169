#include "sim/machine/machine.h"

#include "core/foundation/cf_data.h"
#include "core/foundation/cf_file_data.h"
#include "core/foundation/property_list.h"
#include "sim/machine/atomic_file.h"
#include "sim/machine/blockers.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_layout.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/model_property_list.h"
#include "sim/machine/registry_renderer.h"
#include "sim/machine/state_lock.h"

namespace sim {
namespace {

namespace cf = mcom::cf;

void WriteOrThrow(const mcom::FilePath& path, std::string_view bytes) {
  if (std::error_code error = WriteFileAtomically(path, bytes, 0644)) {
    throw MachineError("cannot write " + path.string() + ": " + error.message());
  }
}

std::string XMLBytes(const cf::Ref<cf::Object>& plist, const char* what) {
  const cf::Ref<cf::Data> data = cf::PropertyListToData(plist, cf::PropertyListFormat::kXML);
  if (!data) throw MachineError(std::string("cannot encode the ") + what);
  return std::string(data->AsStringView());
}

// The registry is only replaced when it changes: watchers of the file (the platform's
// appeared and disappeared callbacks) then wake only for real changes.
void WriteRegistryIfChanged(const mcom::FilePath& path, std::string_view bytes) {
  const cf::Ref<cf::Data> current = cf::CreateDataFromFile(path);
  if (current && current->AsStringView() == bytes) return;
  WriteOrThrow(path, bytes);
}

}  // namespace

Model ReadModelFile(const mcom::FilePath& root) {
  const mcom::FilePath path = MachinePlistPath(root);
  const cf::Ref<cf::Data> data = cf::CreateDataFromFile(path);
  if (!data) throw MachineError("cannot read the machine description " + path.string());
  const cf::Ref<cf::Object> plist = cf::PropertyListFromData(data);
  if (!plist) {
    throw MachineError("the machine description " + path.string() +
                       " is damaged: not a property list");
  }
  try {
    return ModelFromPropertyList(plist);
  } catch (const MachineError& error) {
    throw MachineError("the machine description " + path.string() + " is damaged: " + error.what());
  }
}

void WriteModelFiles(const mcom::FilePath& root, Model& model) {
  DropDeadBlockers(model);
  SortModel(model);
  WriteOrThrow(MachinePlistPath(root), XMLBytes(ModelToPropertyList(model), "machine model"));
  WriteRegistryIfChanged(RegistryPlistPath(root), XMLBytes(RenderRegistry(model), "registry"));
  WriteOrThrow(FullDiskAccessFactPath(root), model.facts.full_disk_access ? "yes\n" : "no\n");
  WriteOrThrow(TrustedAnchorFactPath(root), model.facts.trusted_anchor + "\n");
  WriteOrThrow(AdministratorApprovesFactPath(root),
               model.facts.administrator_approves ? "yes\n" : "no\n");
  WriteOrThrow(RecoveryEnvironmentFactPath(root),
               model.facts.recovery_environment ? "yes\n" : "no\n");
}

Machine::Machine(mcom::FilePath root) : root_(std::move(root)) { CheckMachineRoot(root_); }

Machine Machine::Create(mcom::FilePath root, Model model) {
  {
    StateLock lock(root, StateLock::Mode::kExclusive);
    if (IsMachineRoot(root))
      throw MachineError("the root already holds a machine: " + root.string());
    WriteModelFiles(root, model);
  }
  return Machine(std::move(root));
}

Model Machine::Read() const {
  StateLock lock(root_, StateLock::Mode::kShared);
  return ReadModelFile(root_);
}

void Machine::ChangeModel(const std::function<void(Model&)>& change) {
  StateLock lock(root_, StateLock::Mode::kExclusive);
  Model model = ReadModelFile(root_);
  change(model);
  WriteModelFiles(root_, model);
}

}  // namespace sim
