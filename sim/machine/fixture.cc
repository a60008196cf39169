#include "sim/machine/fixture.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

#include "core/foundation/property_list.h"
#include "sim/machine/field_table.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/model_property_list.h"
#include "sim/machine/property_list_fields.h"
#include "sim/machine/uuid.h"

namespace sim {
namespace {

namespace cf = mcom::cf;

// A partition's type by its short name or as a GUID, kept as the upper-case GUID.
void ReadPartitionType(const PropertyListFields& fields, std::string_view key,
                       FixturePartition& partition) {
  std::string& type = partition.type;
  type = fields.RequiredString(key);
  if (type == "EFI") {
    type = kEFIPartitionGUID;
  } else if (type == "APFS") {
    type = kAPFSPartitionGUID;
  } else if (type == "HFS") {
    type = kHFSPartitionGUID;
  } else if (type == "Apple_Boot") {
    type = kAppleBootPartitionGUID;
  } else if (IsUUID(type)) {
    std::transform(type.begin(), type.end(), type.begin(), ::toupper);
  } else {
    fields.Fail(key, "not EFI, APFS, HFS, Apple_Boot or a type GUID");
  }
}

void ReadFixtureKind(const PropertyListFields& fields, std::string_view key, Fixture& fixture) {
  const std::string kind = fields.RequiredString(key);
  if (kind == "Machine") {
    fixture.kind = Fixture::Kind::kMachine;
  } else if (kind == "Medium") {
    fixture.kind = Fixture::Kind::kMedium;
  } else {
    fields.Fail(key, "not Machine or Medium");
  }
}

constexpr Field<FixtureVolume> kVolumeFields[] = {
    {"Name", &FixtureVolume::name, FieldUse::kRequired},
    {"Roles", &FixtureVolume::roles},
    {"Group", &FixtureVolume::group},
    {"Seed", &FixtureVolume::seed},
    {"Share", &FixtureVolume::share},
    {"RunningSystem", &FixtureVolume::running_system},
};

constexpr Field<FixturePartition> kPartitionFields[] = {
    {"Type", FieldFunctions<FixturePartition>{ReadPartitionType}, FieldUse::kRequired},
    {"Name", &FixturePartition::name},
    {"Size", &FixturePartition::size},
    {"Container", &FixturePartition::container},
    {"Volume",
     FieldFunctions<FixturePartition>{
         [](const PropertyListFields& fields, std::string_view key, FixturePartition& partition) {
           partition.volume = ReadRecord<kVolumeFields>(fields.Nested(key));
         }}},
};

FixturePartition ReadPartition(const PropertyListFields& fields) {
  FixturePartition partition = ReadRecord<kPartitionFields>(fields);
  if (!partition.container.empty() && partition.volume) {
    fields.Fail("Volume", "a partition holds a container or a volume, not both");
  }
  return partition;
}

// The disk's description; "Removable" and "Ejectable" default to whether it is external.
constexpr Field<WholeDiskSpec> kWholeDiskFields[] = {
    {"Kind", &WholeDiskSpec::kind, FieldUse::kRequired},
    {"Protocol", &WholeDiskSpec::protocol, FieldUse::kRequired},
    {"MediaName", &WholeDiskSpec::media_name, FieldUse::kRequired},
    {"VendorName", &WholeDiskSpec::vendor_name},
    {"ProductName", &WholeDiskSpec::product_name},
    {"MediumType", &WholeDiskSpec::medium_type},
    {"Size", &WholeDiskSpec::size, FieldUse::kRequired},
    {"BlockSize", &WholeDiskSpec::block_size},
    {"Removable", &WholeDiskSpec::removable},
    {"Ejectable", &WholeDiskSpec::ejectable},
    {"Writable", &WholeDiskSpec::writable},
    {"Tier", &WholeDiskSpec::tier},
};

// What the disk holds: partitions (a GPT disk), or a container using it whole.
constexpr Field<FixtureDisk> kDiskFields[] = {
    {"Container", &FixtureDisk::container},
    {"Partitions", RecordArray<&FixtureDisk::partitions, ReadPartition>()},
};

FixtureDisk ReadDisk(const PropertyListFields& fields) {
  FixtureDisk disk;
  WholeDiskSpec& spec = disk.spec;
  ReadFields(fields, kWholeDiskFields, spec);
  if (spec.kind == DiskKind::kImage) fields.Fail("Kind", "not internal or external");
  if (spec.size == 0) fields.Fail("Size", "a disk needs a size");
  const bool external = spec.kind == DiskKind::kExternal;
  if (!fields.Has("Removable")) spec.removable = external;
  if (!fields.Has("Ejectable")) spec.ejectable = external;
  ReadFields(fields, kDiskFields, disk);
  disk.gpt = fields.Has("Partitions");
  if (disk.gpt && !disk.container.empty()) {
    fields.Fail("Container", "a disk with partitions cannot be a store itself");
  }
  return disk;
}

constexpr Field<FixtureContainer> kContainerFields[] = {
    {"Name", &FixtureContainer::name, FieldUse::kRequired},
    {"Volumes", RecordArray<&FixtureContainer::volumes, ReadRecord<kVolumeFields>>()},
};

constexpr Field<Fixture> kFixtureFields[] = {
    {"Kind", FieldFunctions<Fixture>{ReadFixtureKind}, FieldUse::kRequired},
    {"Description", &Fixture::description},
    {"DataSize", &Fixture::data_size},
    {"Facts", FieldFunctions<Fixture>{[](const PropertyListFields& fields, std::string_view key,
                                         Fixture& fixture) {
       fixture.facts = ReadFacts(fields.Nested(key));
     }}},
    {"Disks", RecordArray<&Fixture::disks, ReadDisk>()},
    {"Containers", RecordArray<&Fixture::containers, ReadRecord<kContainerFields>>()},
};

// Every container named by a disk or partition is described, every described container is
// used, and there is at most one running system.
void CheckReferences(const Fixture& fixture) {
  std::set<std::string> described;
  int running = 0;
  for (const FixtureContainer& container : fixture.containers) {
    if (!described.insert(container.name).second) {
      throw MachineError("Containers: " + container.name + " is described twice");
    }
    for (const FixtureVolume& volume : container.volumes) running += volume.running_system;
  }
  std::set<std::string> used;
  for (const FixtureDisk& disk : fixture.disks) {
    if (!disk.container.empty()) used.insert(disk.container);
    for (const FixturePartition& partition : disk.partitions) {
      if (!partition.container.empty()) used.insert(partition.container);
      if (partition.volume) running += partition.volume->running_system;
    }
  }
  for (const std::string& name : used) {
    if (described.count(name) == 0) throw MachineError("container " + name + " is not described");
  }
  for (const std::string& name : described) {
    if (used.count(name) == 0) throw MachineError("container " + name + " is on no disk");
  }
  if (running > 1) throw MachineError("more than one volume is the running system");
  if (running == 1 && fixture.kind == Fixture::Kind::kMedium) {
    throw MachineError("a medium cannot hold the running system");
  }
}

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

Fixture FixtureFromPropertyList(const cf::Ref<cf::Object>& plist, const std::string& name) {
  try {
    const cf::Ref<cf::Dictionary> root = cf::As<cf::Dictionary>(plist);
    if (!root) throw MachineError("not a dictionary");
    Fixture fixture;
    fixture.name = name;
    ReadFields(PropertyListFields(root, ""), kFixtureFields, fixture);
    if (fixture.disks.empty()) throw MachineError("Disks: a fixture needs at least one disk");
    CheckReferences(fixture);
    return fixture;
  } catch (const MachineError& error) {
    throw MachineError("fixture " + name + ": " + error.what());
  }
}

Fixture LoadFixture(const mcom::FilePath& folder, const std::string& name) {
  const mcom::FilePath path = folder.Join(name + ".plist");
  std::error_code error;
  if (!IsPlainName(name) || !std::filesystem::is_regular_file(path.string(), error)) {
    throw MachineError("no such fixture: " + name + " (in " + folder.string() + ")");
  }
  const cf::Ref<cf::Object> plist = cf::PropertyListFromFile(path);
  if (!plist) throw MachineError("fixture " + name + ": not a property list: " + path.string());
  return FixtureFromPropertyList(plist, name);
}

std::vector<std::string> ListFixtures(const mcom::FilePath& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder.string(), error)) {
    if (entry.path().extension() == ".plist") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace sim
