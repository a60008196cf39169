#include "sim/machine/machine_creation.h"

#include <sys/stat.h>

#include <filesystem>

#include "core/foundation/file_tree.h"
#include "core/foundation/scope_guard.h"
#include "sim/machine/fixture_installer.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_layout.h"

namespace sim {
namespace {

// Removes what a failed creation made: the root when it did not exist before, else only
// what is inside it.
void RemoveCreated(const mcom::FilePath& root, bool root_existed) {
  if (!root_existed) {
    mcom::RemoveRecursively(root);
    return;
  }
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(root.string(), error)) {
    mcom::RemoveRecursively(mcom::FilePath(entry.path().string()));
  }
}

}  // namespace

Machine CreateMachine(const mcom::FilePath& root, const Fixture& fixture, uint64_t data_size) {
  if (fixture.kind != Fixture::Kind::kMachine) {
    throw MachineError(fixture.name + " is a medium to plug, not a machine");
  }
  struct stat status {};
  const bool root_existed = ::lstat(root.c_str(), &status) == 0;
  CreateMachineLayout(root);
  mcom::ScopeFail clean_up([&] { RemoveCreated(root, root_existed); });

  Model model;
  model.facts = fixture.facts;
  InstallFixtureDisks(root, model, fixture, data_size);
  return Machine::Create(root, std::move(model));
}

}  // namespace sim
