#pragma once

// End-to-end tests: a simulated Mac with its disk tools, made in a temporary folder, on which
// the engine and the dorvane command line run for real.

#include <cstdint>
#include <string>
#include <vector>

#include "core/backup/progress.h"
#include "core/foundation/disk_name.h"
#include "core/foundation/file_path.h"
#include "sim/machine/fixture.h"
#include "sim/machine/machine.h"
#include "tests/support/temporary_folder.h"

namespace e2e {

class E2EMachine {
 public:
  // Makes the fixture `name` with its tools under a new temporary folder and makes it the
  // machine root for as long as this object lives.
  explicit E2EMachine(const std::string& fixture = "intel-mac");
  // The same from a fixture the test changed.
  explicit E2EMachine(const sim::Fixture& fixture);
  ~E2EMachine();

  const mcom::FilePath& root() const { return root_; }
  sim::Machine& machine() { return machine_; }
  // The test's folder, which holds the machine root "mac".
  const mcom::FilePath& folder() const { return folder_.path(); }
  // A path for files of the test (images), outside the machine's volumes.
  mcom::FilePath Scratch(const std::string& name) const { return folder_.Join(name); }
  // Writes `contents` into the scratch file `name` (a stand-in for an earlier backup).
  mcom::FilePath WriteScratch(const std::string& name, const std::string& contents) const {
    return folder_.WriteFile(name, contents);
  }

  // Plugs the medium `name`; returns its whole disk.
  mcom::DiskName Plug(const std::string& medium);
  // Sets the fault-injection hook "<tool>.<verb>" ("" clears it).
  void SetFault(const std::string& hook, const std::string& value);

  // The running system's APFS container.
  APFSContainerName SystemContainer();
  // The disks of attached images.
  std::vector<uint32_t> AttachedImages();
  // What the physical disk of `disk` holds: its partitions and every volume on it (UUID and
  // bytes used). Equal before and after a step that did not touch it.
  std::string DiskState(mcom::DiskName disk);
  // The names in the test's folder, but the machine root's.
  std::vector<std::string> ScratchNames() const;

  // How the volumes of `actual` differ from those of `expected` (both containers): volumes
  // matched by name, every file compared. Empty when identical.
  std::vector<std::string> ContainerDifferences(APFSContainerName expected,
                                                APFSContainerName actual);
  // Where the files of the volume named `name` are (its store, or its mount point while it is
  // mounted); fails the test when there is no such volume.
  mcom::FilePath VolumeFiles(const std::string& name);
  // The mount point of the volume named `name`; empty when it is not mounted.
  std::string MountPoint(const std::string& name);
  // The names of the volumes of `container`, in slice order.
  std::vector<std::string> VolumeNames(APFSContainerName container);

 private:
  testing::TemporaryFolder folder_;
  mcom::FilePath root_;
  mcom::FilePath previous_root_;
  sim::Machine machine_;
};

// Replicates in this process, as the command line does in the recovery environment.
void ReplicateHere(APFSContainerName source, APFSContainerName target, ProgressCallback progress);

// A backup of the system's container into `image`, and a restore of `image` onto `target`,
// each replicating here with its progress dropped.
void BackUpSystem(const mcom::FilePath& image);
void RestoreOnto(const mcom::FilePath& image, APFSContainerName target);

// Inode, size and modification time of the file at `path` ("missing" without one): what
// changes when a file is written or replaced.
std::string FileSignature(const mcom::FilePath& path);

// Collects updates in order.
struct ProgressLog {
  std::vector<double> fractions;
  std::vector<std::string> texts;
  ProgressCallback Callback();
};

}  // namespace e2e
