#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/foundation/cf_object.h"
#include "core/foundation/file_path.h"
#include "sim/machine/disk_operations.h"
#include "sim/machine/model.h"

// Machine and media fixtures: the property lists in sim/machines/ that describe a Mac to
// create or a medium to plug. One file per fixture, named "<name>.plist":
//
//   Kind         "Machine" or "Medium"
//   Description  one line for `macsim` to show
//   DataSize     the bytes of generated files over all volumes (a few MB by default, so
//                that tests are fast; `--data-size` replaces it)
//   Facts        (machines) Model, HasT2, ProductName, ProductVersion, BuildVersion,
//                HostName, FullDiskAccess, AdministratorApproves, RecoveryEnvironment
//   Disks        array of disks: Kind ("internal", "external"), Protocol, MediaName,
//                VendorName, ProductName, MediumType, Size, BlockSize, Removable,
//                Ejectable, Writable, Tier; then either Partitions (a GPT disk: array of
//                {Type, Name, Size, and Container or Volume}) or Container (the blank disk
//                is the container's store), or neither (a blank disk)
//   Containers   array of {Name, Volumes}; a partition's "Container" names one, and two
//                partitions naming one make a Fusion container
//
// A partition "Type" is "EFI", "APFS", "HFS", "Apple_Boot" or a type GUID; a partition
// without "Size" takes the rest of the disk. A volume is {Name, Roles, Group (a name shared
// by the volumes of one volume group), Seed, Share (its part of DataSize, relative to the
// other volumes' shares), RunningSystem (true for the running system's System volume)}; a
// partition's "Volume" is an HFS+ volume. A System-role volume also gets SystemVersion.plist
// and a Recovery-role volume the recovery system (system_files.h).
namespace sim {

struct FixtureVolume {
  std::string name;
  std::vector<std::string> roles;
  std::string group;
  uint64_t seed = 0;
  uint64_t share = 1;
  bool running_system = false;
};

struct FixtureContainer {
  std::string name;
  std::vector<FixtureVolume> volumes;
};

struct FixturePartition {
  std::string type;  // a GUID
  std::string name;
  uint64_t size = 0;                    // 0: the rest of the disk
  std::string container;                // the name of a FixtureContainer, or empty
  std::optional<FixtureVolume> volume;  // an HFS+ volume
};

struct FixtureDisk {
  WholeDiskSpec spec;
  bool gpt = false;
  std::vector<FixturePartition> partitions;
  std::string container;  // a container using the whole (blank) disk as its store
};

struct Fixture {
  enum class Kind { kMachine, kMedium };

  std::string name;
  Kind kind = Kind::kMachine;
  std::string description;
  uint64_t data_size = 4 << 20;
  Facts facts;
  std::vector<FixtureDisk> disks;
  std::vector<FixtureContainer> containers;
};

// Reads a fixture from its property list. Throws MachineError naming the fixture and the
// problem: a wrong kind, an unknown partition type, a container that no partition names or
// that is not described, two running systems.
Fixture FixtureFromPropertyList(const mcom::cf::Ref<mcom::cf::Object>& plist,
                                const std::string& name);

// Reads "<folder>/<name>.plist". Throws MachineError ("no such fixture: NAME") when there is
// none, or when `name` is not a plain file name.
Fixture LoadFixture(const mcom::FilePath& folder, const std::string& name);

// The fixture names in `folder`, sorted.
std::vector<std::string> ListFixtures(const mcom::FilePath& folder);

}  // namespace sim
