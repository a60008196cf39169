#include "sim/machine/registry_renderer.h"

#include <stdlib.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/property_list.h"
#include "sim/machine/apfs_operations.h"
#include "sim/machine/disk_operations.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/test_machine.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

namespace cf = mcom::cf;
using ::testing::ElementsAre;

// The registry tree, flattened: every entry with its parent, as the platform's reader sees
// it after merging entries by id.
struct Registry {
  struct Entry {
    cf::Ref<cf::Dictionary> properties;
    std::vector<uint64_t> parents;
    std::vector<uint64_t> children;
  };
  std::map<uint64_t, Entry> entries;

  explicit Registry(const cf::Ref<cf::Dictionary>& root) { Add(root, 0); }

  void Add(const cf::Ref<cf::Dictionary>& entry, uint64_t parent) {
    const uint64_t id = static_cast<uint64_t>(*entry->GetInteger("IORegistryEntryID"));
    Entry& flat = entries[id];
    flat.properties = entry;
    // An entry met again under another parent is merged, as readers do by id.
    if (parent != 0 &&
        std::find(flat.parents.begin(), flat.parents.end(), parent) == flat.parents.end()) {
      flat.parents.push_back(parent);
      entries[parent].children.push_back(id);
    }
    if (const cf::Ref<cf::Array> children = entry->GetArray("IORegistryEntryChildren")) {
      for (size_t i = 0; i < children->Count(); ++i) Add(children->Get<cf::Dictionary>(i), id);
    }
  }

  std::vector<uint64_t> Matching(
      const std::function<bool(const cf::Dictionary&)>& predicate) const {
    std::vector<uint64_t> ids;
    for (const auto& [id, entry] : entries) {
      if (predicate(*entry.properties)) ids.push_back(id);
    }
    return ids;
  }
  const Entry* ByBSDName(const std::string& name) const {
    for (const auto& [id, entry] : entries) {
      if (entry.properties->GetString("BSD Name") == name) return &entry;
    }
    return nullptr;
  }
  const Entry& Get(uint64_t id) const { return entries.at(id); }
  std::string ClassOf(uint64_t id) const { return *Get(id).properties->GetString("IOObjectClass"); }
  std::vector<std::string> ChildClasses(const Entry& entry) const {
    std::vector<std::string> classes;
    for (uint64_t child : entry.children) classes.push_back(ClassOf(child));
    return classes;
  }
  // The entry `levels` parents up (the first parent each time).
  const Entry& Up(const Entry& entry, int levels) const {
    const Entry* current = &entry;
    for (int i = 0; i < levels; ++i) current = &Get(current->parents.at(0));
    return *current;
  }
};

Registry LoadRegistry(const mcom::FilePath& root) {
  const cf::Ref<cf::Dictionary> plist =
      cf::As<cf::Dictionary>(cf::PropertyListFromFile(RegistryPlistPath(root)));
  EXPECT_TRUE(plist);
  return Registry(plist);
}

// The shapes every Mac fixture shares: the platform device, the system container with its
// volume group, and the volume properties with their real types.
void ExpectMacShapes(const Registry& registry, const std::string& model,
                     const std::string& container_disk = "disk1") {
  const std::string& c = container_disk;
  const Registry::Entry& root = registry.entries.begin()->second;
  EXPECT_EQ(root.properties->GetString("IORegistryEntryName"), "Root");
  const Registry::Entry& platform = registry.Get(root.children.at(0));
  EXPECT_EQ(platform.properties->GetString("IOObjectClass"), "IOPlatformExpertDevice");
  const cf::Ref<cf::Data> model_data = platform.properties->GetData("model");
  ASSERT_TRUE(model_data);
  EXPECT_EQ(model_data->AsStringView(), model + std::string(1, '\0'));

  // The whole disk of the internal SSD, its partitions, the container on disk0s2.
  const Registry::Entry* disk0 = registry.ByBSDName("disk0");
  ASSERT_NE(disk0, nullptr);
  EXPECT_EQ(disk0->properties->GetBool("Whole"), true);
  EXPECT_EQ(disk0->properties->GetString("Content"), "GUID_partition_scheme");
  EXPECT_EQ(registry.ClassOf(disk0->parents.at(0)), "IOBlockStorageDriver");
  const cf::Ref<cf::Dictionary> interconnect =
      registry.Up(*disk0, 2).properties->GetDictionary("Protocol Characteristics");
  EXPECT_EQ(cf::GetString(interconnect, "Physical Interconnect Location"), "Internal");
  EXPECT_THAT(registry.ChildClasses(*disk0), ElementsAre("IOGUIDPartitionScheme"));
  EXPECT_EQ(cf::GetString(disk0->properties->GetDictionary("IOMediaIcon"), "IOBundleResourceFile"),
            "Internal.icns");

  const Registry::Entry* efi = registry.ByBSDName("disk0s1");
  ASSERT_NE(efi, nullptr);
  EXPECT_EQ(efi->properties->GetString("IORegistryEntryName"), "EFI System Partition@1");
  EXPECT_EQ(efi->properties->GetString("Content"), "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
  EXPECT_EQ(efi->properties->GetBool("Whole"), false);
  EXPECT_EQ(efi->properties->GetInteger("Partition ID"), 1);

  // The System volume (s5): volume → container → container disk, two levels up.
  const Registry::Entry* system = registry.ByBSDName(c + "s5");
  ASSERT_NE(system, nullptr);
  EXPECT_EQ(system->properties->GetString("IOObjectClass"), "AppleAPFSVolume");
  EXPECT_EQ(system->properties->GetString("IORegistryEntryName"), "Macintosh HD@5");
  EXPECT_EQ(registry.ClassOf(system->parents.at(0)), "AppleAPFSContainer");
  EXPECT_EQ(registry.Up(*system, 2).properties->GetString("BSD Name"), c);
  EXPECT_EQ(registry.Up(*system, 2).properties->GetString("IOObjectClass"), "AppleAPFSMedia");
  EXPECT_EQ(registry.Up(*system, 3).properties->GetString("IOObjectClass"),
            "AppleAPFSContainerScheme");
  EXPECT_EQ(registry.Up(*system, 4).properties->GetString("BSD Name"), "disk0s2");
  EXPECT_EQ(system->properties->GetBool("Whole"), false);
  EXPECT_EQ(system->properties->GetBool("Leaf"), true);
  const cf::Ref<cf::Array> role = system->properties->GetArray("Role");
  ASSERT_TRUE(role);
  EXPECT_EQ(role->Count(), 1u);
  EXPECT_EQ(role->Get<cf::String>(0)->utf8(), "System");

  const Registry::Entry* data = registry.ByBSDName(c + "s1");
  ASSERT_NE(data, nullptr);
  const std::optional<std::string> group = system->properties->GetString("VolGroupUUID");
  EXPECT_EQ(data->properties->GetString("VolGroupUUID"), group);
  EXPECT_NE(group, "00000000-0000-0000-0000-000000000000");
  EXPECT_EQ(registry.ByBSDName(c + "s4")->properties->GetString("VolGroupUUID"),
            "00000000-0000-0000-0000-000000000000");

  // The recovery volume is an APFS volume like the others, as on a real Mac.
  const Registry::Entry* recovery = registry.ByBSDName(c + "s3");
  ASSERT_NE(recovery, nullptr);
  EXPECT_EQ(recovery->properties->GetString("Content"), "41504653-0000-11AA-AA11-00306543ECAC");
  EXPECT_EQ(registry.ByBSDName(c + "s2")->properties->GetString("Content"),
            "41504653-0000-11AA-AA11-00306543ECAC");

  // The container's size for the space query, and its free space below it.
  const Registry::Entry& container = registry.Get(system->parents.at(0));
  const std::optional<int64_t> size = container.properties->GetInteger("Size");
  const std::optional<int64_t> free = container.properties->GetInteger("ContainerFree");
  ASSERT_TRUE(size && free);
  EXPECT_GT(*size, 100'000'000'000);
  EXPECT_LT(*free, *size);

  // Ids are unique: every entry was added once per parent, never two objects on one id.
  std::set<std::string> names;
  for (const auto& [id, entry] : registry.entries) {
    if (std::optional<std::string> name = entry.properties->GetString("BSD Name")) {
      EXPECT_TRUE(names.insert(*name).second) << *name << " appears under two ids";
    }
  }
}

TEST(RegistryRenderer, IntelMacWithoutT2) {
  ::testing::TemporaryFolder folder;
  testing::MakeTestMachine(folder.Join("mac"), "intel-mac");
  const Registry registry = LoadRegistry(folder.Join("mac"));
  ExpectMacShapes(registry, "iMac19,1");
  EXPECT_TRUE(registry
                  .Matching([](const cf::Dictionary& entry) {
                    return entry.GetString("IORegistryEntryName") == "Apple T2 Controller";
                  })
                  .empty());
  EXPECT_FALSE(registry.ByBSDName("disk0")->properties->Contains("TierType"));
}

TEST(RegistryRenderer, T2MacHasTheController) {
  ::testing::TemporaryFolder folder;
  testing::MakeTestMachine(folder.Join("mac"), "t2-mac");
  const Registry registry = LoadRegistry(folder.Join("mac"));
  ExpectMacShapes(registry, "Macmini8,1");
  const std::vector<uint64_t> t2 = registry.Matching([](const cf::Dictionary& entry) {
    return entry.GetString("IORegistryEntryName") == "Apple T2 Controller";
  });
  ASSERT_EQ(t2.size(), 1u);
  EXPECT_EQ(registry.ClassOf(registry.Get(t2[0]).parents.at(0)), "IOPlatformExpertDevice");
}

TEST(RegistryRenderer, FusionContainerHangsUnderBothStoresWithOneId) {
  ::testing::TemporaryFolder folder;
  testing::MakeTestMachine(folder.Join("mac"), "fusion-mac");
  const Registry registry = LoadRegistry(folder.Join("mac"));
  ExpectMacShapes(registry, "iMac18,3", "disk2");

  EXPECT_EQ(registry.ByBSDName("disk0")->properties->GetString("TierType"), "Main");
  EXPECT_EQ(registry.ByBSDName("disk1")->properties->GetString("TierType"), "Secondary");
  const std::vector<uint64_t> schemes = registry.Matching([](const cf::Dictionary& entry) {
    return entry.GetString("IOObjectClass") == "AppleAPFSContainerScheme";
  });
  ASSERT_EQ(schemes.size(), 1u);
  const Registry::Entry& scheme = registry.Get(schemes[0]);
  ASSERT_EQ(scheme.parents.size(), 2u);
  EXPECT_EQ(registry.Get(scheme.parents[0]).properties->GetString("BSD Name"), "disk0s2");
  EXPECT_EQ(registry.Get(scheme.parents[1]).properties->GetString("BSD Name"), "disk1s2");
  // The container is disk2 on a Fusion Mac; its size is the two stores together.
  const Registry::Entry* container = registry.ByBSDName("disk2");
  ASSERT_NE(container, nullptr);
  EXPECT_EQ(*container->properties->GetInteger("Size"),
            *registry.ByBSDName("disk0s2")->properties->GetInteger("Size") +
                *registry.ByBSDName("disk1s2")->properties->GetInteger("Size"));
  const cf::Ref<cf::Dictionary> hdd = registry.Up(*registry.ByBSDName("disk1"), 2)
                                          .properties->GetDictionary("Device Characteristics");
  EXPECT_EQ(cf::GetString(hdd, "Medium Type"), "Rotational");
}

TEST(RegistryRenderer, MediaAndLayoutNoneImages) {
  ::testing::TemporaryFolder folder;
  Machine machine = testing::MakeTestMachine(folder.Join("mac"), "intel-mac");
  testing::PlugTestMedium(machine, "usb-hfs");
  machine.Change([&](Model& model) {
    const uint32_t disk = AddWholeDisk(
        model, ImageDiskSpec("/images/backup.sparseimage", "SPARSE", 500'000'000'000, "rw"));
    const uint32_t container = CreateContainer(machine.root(), model, {mcom::DiskName{disk}});
    AddVolume(machine.root(), model, container, {"Backup", {}, ""});
  });
  const Registry registry = LoadRegistry(machine.root());

  const Registry::Entry* usb = registry.ByBSDName("disk2");
  ASSERT_NE(usb, nullptr);
  EXPECT_EQ(
      cf::GetString(registry.Up(*usb, 2).properties->GetDictionary("Protocol Characteristics"),
                    "Physical Interconnect Location"),
      "External");
  EXPECT_EQ(registry.Up(*usb, 2).properties->GetString("IOObjectClass"), "IOBlockStorageServices");
  EXPECT_EQ(usb->properties->GetBool("Removable"), true);
  const Registry::Entry* hfs = registry.ByBSDName("disk2s2");
  ASSERT_NE(hfs, nullptr);
  EXPECT_EQ(hfs->properties->GetString("Content"), "48465300-0000-11AA-AA11-00306543ECAC");
  EXPECT_TRUE(hfs->children.empty());

  // The image: a virtual device at "File", its blank whole disk with the container scheme
  // directly below it.
  const Registry::Entry* image = registry.ByBSDName("disk3");
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->properties->GetString("IORegistryEntryName"), "Apple sparse disk image Media");
  EXPECT_EQ(image->properties->GetString("Content"), "");
  EXPECT_THAT(registry.ChildClasses(*image), ElementsAre("AppleAPFSContainerScheme"));
  const Registry::Entry& device = registry.Up(*image, 2);
  EXPECT_EQ(device.properties->GetString("IOObjectClass"), "IOHDIXHDDriveOutKernel");
  EXPECT_EQ(registry.ClassOf(device.parents.at(0)), "IOHDIXController");
  const cf::Ref<cf::Dictionary> characteristics =
      device.properties->GetDictionary("Protocol Characteristics");
  EXPECT_EQ(cf::GetString(characteristics, "Physical Interconnect"), "Virtual Interface");
  EXPECT_EQ(cf::GetString(characteristics, "Physical Interconnect Location"), "File");
  const Registry::Entry* volume = registry.ByBSDName("disk4s1");
  ASSERT_NE(volume, nullptr);
  EXPECT_FALSE(volume->properties->Contains("Role")) << "no role: the key is absent";
  EXPECT_EQ(registry.Up(*volume, 4).properties->GetString("BSD Name"), "disk3");
}

TEST(RegistryRenderer, IdsStayWhenOtherDisksComeAndGo) {
  ::testing::TemporaryFolder folder;
  Machine machine = testing::MakeTestMachine(folder.Join("mac"), "intel-mac");
  const auto id_of = [&](const std::string& name) {
    return LoadRegistry(machine.root())
        .ByBSDName(name)
        ->properties->GetInteger("IORegistryEntryID");
  };
  const std::optional<int64_t> system = id_of("disk1s5");
  const uint32_t first = testing::PlugTestMedium(machine, "usb-apfs");
  const std::optional<int64_t> usb = id_of(mcom::FormatDiskName(mcom::DiskName{first}));
  machine.Change([&](Model& model) { RemoveDisk(machine.root(), model, first); });
  testing::PlugTestMedium(machine, "usb-apfs");
  EXPECT_EQ(id_of("disk1s5"), system);
  EXPECT_NE(id_of(mcom::FormatDiskName(mcom::DiskName{first})), usb)
      << "a new disk with a reused number is a new registry entry";
}

TEST(RegistryRenderer, PythonsPlistReaderAcceptsTheRegistry) {
  ::testing::TemporaryFolder folder;
  Machine machine = testing::MakeTestMachine(folder.Join("mac"), "fusion-mac");
  testing::PlugTestMedium(machine, "usb-hfs");
  const std::string command =
      "python3 -c 'import plistlib,sys; r=plistlib.load(open(sys.argv[1],\"rb\")); "
      "assert r[\"IORegistryEntryName\"]==\"Root\"; "
      "assert isinstance(r[\"IORegistryEntryChildren\"][0][\"model\"], bytes)' '" +
      RegistryPlistPath(machine.root()).string() + "'";
  if (std::system("python3 -c 'import plistlib' 2>/dev/null") != 0) {
    GTEST_SKIP() << "python3 is not installed";
  }
  EXPECT_EQ(std::system(command.c_str()), 0);
}

}  // namespace
}  // namespace sim
