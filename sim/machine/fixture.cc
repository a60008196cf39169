#include "sim/machine/fixture.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

#include "core/foundation/property_list.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/model_property_list.h"
#include "sim/machine/property_list_fields.h"
#include "sim/machine/uuid.h"

namespace sim {
namespace {

namespace cf = mcom::cf;

std::string PartitionTypeGUID(const PropertyListFields& fields) {
  const std::string type = fields.RequiredString("Type");
  if (type == "EFI") return std::string(kEFIPartitionGUID);
  if (type == "APFS") return std::string(kAPFSPartitionGUID);
  if (type == "HFS") return std::string(kHFSPartitionGUID);
  if (type == "Apple_Boot") return std::string(kAppleBootPartitionGUID);
  if (IsUUID(type)) {
    std::string upper = type;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    return upper;
  }
  fields.Fail("Type", "not EFI, APFS, HFS, Apple_Boot or a type GUID");
}

FixtureVolume ReadVolume(const PropertyListFields& fields) {
  FixtureVolume volume;
  volume.name = fields.RequiredString("Name");
  volume.roles = fields.Strings("Roles");
  volume.group = fields.String("Group");
  volume.seed = fields.Unsigned("Seed", 0);
  volume.share = fields.Unsigned("Share", 1);
  volume.running_system = fields.Bool("RunningSystem", false);
  return volume;
}

FixtureDisk ReadDisk(const PropertyListFields& fields) {
  FixtureDisk disk;
  WholeDiskSpec& spec = disk.spec;
  const std::string kind = fields.RequiredString("Kind");
  if (!ParseDiskKind(kind, &spec.kind) || spec.kind == DiskKind::kImage) {
    fields.Fail("Kind", "not internal or external");
  }
  spec.protocol = fields.RequiredString("Protocol");
  spec.media_name = fields.RequiredString("MediaName");
  spec.vendor_name = fields.String("VendorName");
  spec.product_name = fields.String("ProductName");
  spec.medium_type = fields.String("MediumType");
  spec.size = fields.RequiredUnsigned("Size");
  if (spec.size == 0) fields.Fail("Size", "a disk needs a size");
  spec.block_size = fields.UInt32("BlockSize", 512);
  const bool external = spec.kind == DiskKind::kExternal;
  spec.removable = fields.Bool("Removable", external);
  spec.ejectable = fields.Bool("Ejectable", external);
  spec.writable = fields.Bool("Writable", true);
  spec.tier = fields.String("Tier");
  disk.container = fields.String("Container");
  disk.gpt = fields.Has("Partitions");
  if (disk.gpt && !disk.container.empty()) {
    fields.Fail("Container", "a disk with partitions cannot be a store itself");
  }
  fields.ForEachDictionary("Partitions", [&](const PropertyListFields& partition_fields) {
    FixturePartition partition;
    partition.type = PartitionTypeGUID(partition_fields);
    partition.name = partition_fields.String("Name");
    partition.size = partition_fields.Unsigned("Size", 0);
    partition.container = partition_fields.String("Container");
    if (partition_fields.Has("Volume")) {
      partition.volume = ReadVolume(partition_fields.Nested("Volume"));
    }
    if (!partition.container.empty() && partition.volume) {
      partition_fields.Fail("Volume", "a partition holds a container or a volume, not both");
    }
    disk.partitions.push_back(std::move(partition));
  });
  return disk;
}

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
    const PropertyListFields fields(root, "");
    Fixture fixture;
    fixture.name = name;
    const std::string kind = fields.RequiredString("Kind");
    if (kind == "Machine") {
      fixture.kind = Fixture::Kind::kMachine;
    } else if (kind == "Medium") {
      fixture.kind = Fixture::Kind::kMedium;
    } else {
      fields.Fail("Kind", "not Machine or Medium");
    }
    fixture.description = fields.String("Description");
    fixture.data_size = fields.Unsigned("DataSize", fixture.data_size);
    if (fields.Has("Facts")) fixture.facts = ReadFacts(fields.Nested("Facts"));
    fields.ForEachDictionary(
        "Disks", [&](const PropertyListFields& f) { fixture.disks.push_back(ReadDisk(f)); });
    if (fixture.disks.empty()) throw MachineError("Disks: a fixture needs at least one disk");
    fields.ForEachDictionary("Containers", [&](const PropertyListFields& f) {
      FixtureContainer container;
      container.name = f.RequiredString("Name");
      f.ForEachDictionary("Volumes", [&](const PropertyListFields& volume) {
        container.volumes.push_back(ReadVolume(volume));
      });
      fixture.containers.push_back(std::move(container));
    });
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
