#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/foundation/file_path.h"
#include "sim/machine/model.h"

// The machine's "/" view: what a process sees at ROOT, since every Mac path of the product is
// taken relative to the machine root. A new machine shows its first system there as laid out
// (machine_layout.h), while the System volume's own files stay in its store.
//
// `macsim boot` changes the running system. It puts the old view away and mounts the new
// system at "/": the top-level entries of the system volume's store are moved into ROOT, so
// its files really are there, as with any mount (mounting.h). The entries the simulation
// itself needs whatever system runs (the state folder and the tools: private, tmp, var, etc,
// usr, bin, sbin, dev, and Volumes with its mounts) stay the machine's; a volume's entry of
// such a name stays in its store. Putting away moves a mounted system's entries back into its
// store, or the first system's view into ROOT/private/var/db/macsim/first-system, from where
// it comes back when that system is started again.
namespace sim {

// Whether a top-level entry of ROOT belongs to the machine rather than to the running system.
bool IsMachineEntry(const std::string& name);

// Renames done during a change, undone in reverse order unless Commit() is called, so that a
// failed boot leaves the files as they were.
class RootViewMoves {
 public:
  RootViewMoves() = default;
  RootViewMoves(const RootViewMoves&) = delete;
  RootViewMoves& operator=(const RootViewMoves&) = delete;
  ~RootViewMoves();

  // Renames `from` to `to`; throws MachineError when it cannot.
  void Move(const mcom::FilePath& from, const mcom::FilePath& to);
  void Commit() { moves_.clear(); }

 private:
  std::vector<std::pair<mcom::FilePath, mcom::FilePath>> moves_;
};

// Puts the running system's view away (above) and records that ROOT shows nothing.
void PutAwayRootView(const mcom::FilePath& root, Model& model, RootViewMoves& moves);

// Shows `system` at "/" after PutAwayRootView: the first system's view when it is that
// system's, else the volume mounted at "/" (recorded as the boot settings' RootVolume).
void ShowRootView(const mcom::FilePath& root, Model& model, const Volume& system,
                  RootViewMoves& moves);

}  // namespace sim
