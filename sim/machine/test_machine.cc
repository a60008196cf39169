#include "sim/machine/test_machine.h"

#include "sim/machine/machine_creation.h"
#include "sim/machine/media_plugging.h"
#include "sim/machine/tool_installer.h"

namespace sim::testing {

mcom::FilePath FixturesFolder() { return mcom::FilePath(DORVANE_SOURCE_DIR "/sim/machines"); }

Fixture TestFixture(const std::string& name) { return LoadFixture(FixturesFolder(), name); }

Machine MakeTestMachine(const mcom::FilePath& root, const std::string& name, uint64_t data_size) {
  return CreateMachine(root, TestFixture(name), data_size);
}

void InstallTestTools(const mcom::FilePath& root) {
  InstallTools(root, mcom::FilePath(DORVANE_SIMTOOL_PATH));
}

Machine MakeTestMachineWithTools(const mcom::FilePath& root, const std::string& name,
                                 uint64_t data_size) {
  Machine machine = MakeTestMachine(root, name, data_size);
  InstallTestTools(root);
  return machine;
}

uint32_t PlugTestMedium(Machine& machine, const std::string& name, uint64_t data_size) {
  const Fixture fixture = TestFixture(name);
  return machine.Change(
      [&](Model& model) { return PlugMedium(machine.root(), model, fixture, data_size); });
}

}  // namespace sim::testing
