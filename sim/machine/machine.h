#pragma once

#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/foundation/file_path.h"
#include "sim/machine/model.h"

namespace sim {

// One simulated Mac on disk: its root folder and the state store in
// ROOT/private/var/db/macsim (machine_paths.h).
//
// Every change is one transaction:
//
//   sim::Machine machine(root);
//   const uint32_t disk = machine.Change([&](sim::Model& model) {
//     return sim::AddWholeDisk(model, spec);
//   });
//
// Change takes the machine's lock exclusively, reads machine.plist, runs the function on the
// model, and, if the function returns normally, writes machine.plist, renders and writes
// registry.plist and the fact files, then unlocks. Both files are replaced atomically, so
// readers never see half a file, and any number of processes may change the machine at once
// without losing each other's changes. If the function throws, nothing is written and the
// exception passes through; file work the function did before throwing is its own to undo.
//
// Operations that move files (mounting.h, volume_store.h) run inside a change, with the
// machine's root: `machine.Change([&](Model& m) { return sim::Mount(machine.root(), m, ...); })`.
//
// Do not call Change or Read from inside a change function: the lock is not re-entrant, and
// the nested call waits for ever.
//
// Errors (an unreadable or damaged machine.plist, a state file that cannot be written) are
// thrown as MachineError.
class Machine {
 public:
  // The machine at `root`; throws MachineError unless the root holds one.
  explicit Machine(mcom::FilePath root);

  // Writes the first model of a machine into a root laid out by CreateMachineLayout
  // (machine_layout.h). Throws MachineError when the root already holds a machine.
  static Machine Create(mcom::FilePath root, Model model);

  const mcom::FilePath& root() const { return root_; }

  // The model as one consistent snapshot (read under the shared lock).
  Model Read() const;

  // Runs `change` as one transaction (above) and returns what it returns.
  template <typename Function>
  auto Change(Function&& change) -> std::invoke_result_t<Function&, Model&> {
    using Value = std::invoke_result_t<Function&, Model&>;
    if constexpr (std::is_void_v<Value>) {
      ChangeModel(std::function<void(Model&)>(std::ref(change)));
    } else {
      std::optional<Value> value;
      ChangeModel([&](Model& model) { value.emplace(change(model)); });
      return std::move(*value);
    }
  }

 private:
  void ChangeModel(const std::function<void(Model&)>& change);

  mcom::FilePath root_;
};

// Reads machine.plist without taking the lock (the file is replaced atomically, so it is
// whole). For code that holds the lock itself. Throws MachineError.
Model ReadModelFile(const mcom::FilePath& root);

// Writes the model's files (machine.plist, registry.plist, facts) without taking the lock;
// for code that holds it. Dead blockers are dropped first. The registry file is only
// replaced when its contents change, so watchers of it see only real changes. Throws
// MachineError.
void WriteModelFiles(const mcom::FilePath& root, Model& model);

}  // namespace sim
