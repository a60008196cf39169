#include "app/model/disk_model.h"

#include <gmock/gmock.h>

#include <ostream>
#include <string>
#include <vector>

#include "app/model/preboot_lookup.h"
#include "core/foundation/cf_array.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/property_list.h"
#include "core/foundation/xml_property_list_writer.h"
#include "sim/machine/atomic_file.h"
#include "sim/machine/machine.h"
#include "sim/machine/model.h"
#include "sim/machine/test_machine.h"
#include "tests/support/temporary_folder.h"

namespace app {

// Failure messages show disk names as text.
void PrintTo(const DiskName& name, std::ostream* out) { *out << FormatDiskName(name); }

namespace {

namespace cf = mcom::cf;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

DiskName Disk(uint32_t number, std::optional<int32_t> slice = std::nullopt) {
  return DiskName{static_cast<int32_t>(number), slice};
}

const sim::Disk& DiskOf(const sim::Model& model, const std::string& store) {
  return *sim::FindDisk(model, sim::ParseDiskNameOrThrow(store).disk);
}

// The container as the machine holds it: its volumes (name, use, UUID) in slice order, its
// size and use, and its physical disks, which the model must have found through the
// registry and disk arbitration instead.
void ExpectContainerOfMachine(const APFSContainerInfo& info, const sim::Model& model,
                              uint32_t number) {
  SCOPED_TRACE("disk" + std::to_string(number));
  const sim::Container* container = sim::FindContainer(model, number);
  ASSERT_NE(container, nullptr);
  EXPECT_EQ(info.name.diskName, Disk(number));
  EXPECT_EQ(info.size, static_cast<int64_t>(container->size));
  int64_t used = 0;
  ASSERT_EQ(info.volumes.size(), sim::VolumesOfContainer(model, number).size());
  for (size_t index = 0; const sim::Volume* volume : sim::VolumesOfContainer(model, number)) {
    EXPECT_EQ(info.volumes[index].name, volume->name);
    EXPECT_EQ(info.volumes[index].spaceConsumed, static_cast<int64_t>(volume->used));
    EXPECT_EQ(info.volumes[index].uuid, volume->uuid);
    used += static_cast<int64_t>(volume->used);
    ++index;
  }
  EXPECT_EQ(info.spaceUsed, used);
  const sim::Disk& main = DiskOf(model, container->stores.front());
  EXPECT_EQ(info.physicalDiskName, main.media_name);
  EXPECT_EQ(info.isInternal, main.location == "Internal");
  EXPECT_FALSE(info.iconURL);
}

const APFSContainerInfo* ContainerTarget(const std::vector<RestoreTargetInfo>& targets,
                                         DiskName name) {
  for (const RestoreTargetInfo& target : targets) {
    const auto* container = std::get_if<APFSContainerInfo>(&target.target);
    if (container != nullptr && container->name.diskName == name) return container;
  }
  return nullptr;
}

std::vector<DiskName> DiskNames(const std::vector<RestoreTargetInfo>& targets) {
  std::vector<DiskName> names;
  for (const RestoreTargetInfo& target : targets) names.push_back(DiskNameOf(target));
  return names;
}

std::vector<DiskName> DiskNames(const std::vector<APFSContainerInfo>& containers) {
  std::vector<DiskName> names;
  for (const APFSContainerInfo& container : containers) names.push_back(container.name.diskName);
  return names;
}

// The registry entry tree with "Size" taken from the container disk `bsd_name` and from its
// AppleAPFSContainer: a container the space query has nothing to answer for.
cf::Ref<cf::Object> WithoutContainerSize(const cf::Ref<cf::Object>& object,
                                         const std::string& bsd_name, bool inside = false) {
  const cf::Ref<cf::Dictionary> entry = cf::As<cf::Dictionary>(object);
  if (!entry) return object;
  const std::string class_name = entry->GetString("IOObjectClass").value_or("");
  const bool target = class_name == "AppleAPFSMedia" && entry->GetString("BSD Name") == bsd_name;
  cf::Ref<cf::MutableDictionary> copy = entry->MutableCopy();
  if (target || (inside && class_name == "AppleAPFSContainer")) copy->RemoveValue("Size");
  if (const cf::Ref<cf::Array> children = entry->GetArray("IORegistryEntryChildren")) {
    cf::Ref<cf::MutableArray> rebuilt = cf::MutableArray::Create();
    for (const cf::Ref<cf::Object>& child : *children) {
      rebuilt->Append(WithoutContainerSize(child, bsd_name, target));
    }
    copy->SetValue("IORegistryEntryChildren", rebuilt);
  }
  return copy;
}

class DiskModelTest : public ::testing::Test {
 protected:
  sim::Machine Make(const std::string& fixture) {
    return sim::testing::MakeTestMachine(root_.path(), fixture);
  }

  testing::TemporaryMachineRoot root_;
};

TEST_F(DiskModelTest, EveryMacOffersItsContainerAsSourceAndTarget) {
  for (const char* fixture :
       {"intel-mac", "t2-mac", "fusion-mac", "dual-boot-mac", "user-volumes-mac"}) {
    SCOPED_TRACE(fixture);
    testing::TemporaryMachineRoot root;
    const sim::Model model = sim::testing::MakeTestMachine(root.path(), fixture).Read();
    ASSERT_EQ(model.containers.size(), 1u);
    const uint32_t number = model.containers.front().number;

    const std::vector<APFSContainerInfo> sources = SourceContainers();
    ASSERT_EQ(sources.size(), 1u);
    ExpectContainerOfMachine(sources.front(), model, number);

    // The container's partition is offered as the container, once, even where it spans
    // two disks; the EFI system partitions are not offered.
    const std::vector<RestoreTargetInfo> targets = RestoreTargets();
    EXPECT_THAT(DiskNames(targets), ElementsAre(Disk(number)));
    const APFSContainerInfo* target = ContainerTarget(targets, Disk(number));
    ASSERT_NE(target, nullptr);
    ExpectContainerOfMachine(*target, model, number);
    EXPECT_EQ(
        TargetDescription(targets.front()),
        "APFS Container on " + DiskOf(model, model.containers.front().stores.front()).media_name);

    const std::vector<std::string>& stores = model.containers.front().stores;
    std::vector<std::string> secondary;
    for (size_t index = 1; index < stores.size(); ++index) {
      secondary.push_back(DiskOf(model, stores[index]).media_name);
    }
    EXPECT_EQ(sources.front().secondaryPhysicalDiskNames, secondary);
  }
}

TEST_F(DiskModelTest, TheFusionDriveShowsItsMainTierAndItsSecondaryDisk) {
  Make("fusion-mac");
  const std::vector<APFSContainerInfo> sources = SourceContainers();
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_EQ(sources.front().physicalDiskName, "APPLE SSD SM0128G Media");
  EXPECT_THAT(sources.front().secondaryPhysicalDiskNames,
              ElementsAre("APPLE HDD ST1000DM003 Media"));
  EXPECT_TRUE(sources.front().isInternal);
}

TEST_F(DiskModelTest, PluggedMediaAreOfferedByWhatTheyHold) {
  sim::Machine machine = Make("intel-mac");
  const uint32_t hfs = sim::testing::PlugTestMedium(machine, "usb-hfs");
  const uint32_t usb = sim::testing::PlugTestMedium(machine, "usb-apfs");
  sim::testing::PlugTestMedium(machine, "usb-blank");
  const uint32_t second = sim::testing::PlugTestMedium(machine, "internal-second-disk");
  const sim::Model model = machine.Read();
  const uint32_t usb_container =
      sim::ContainerOnStore(model, "disk" + std::to_string(usb) + "s2")->number;
  const sim::Container* second_container = nullptr;
  for (const sim::Container& container : model.containers) {
    if (DiskOf(model, container.stores.front()).number == second) second_container = &container;
  }
  ASSERT_NE(second_container, nullptr);

  const std::vector<APFSContainerInfo> sources = SourceContainers();
  EXPECT_THAT(DiskNames(sources),
              ElementsAre(Disk(1), Disk(usb_container), Disk(second_container->number)));
  for (const APFSContainerInfo& source : sources) {
    ExpectContainerOfMachine(source, model, static_cast<uint32_t>(source.name.diskName.major));
  }
  ASSERT_EQ(sources.size(), 3u);
  EXPECT_FALSE(sources[1].isInternal);
  EXPECT_TRUE(sources[2].isInternal);

  // The blank disk has no partition map, and the HFS+ disk's partition is offered as itself,
  // with its mounted volume.
  const std::vector<RestoreTargetInfo> targets = RestoreTargets();
  std::vector<DiskName> expected = {Disk(1), Disk(hfs, 2), Disk(usb_container),
                                    Disk(second_container->number)};
  EXPECT_THAT(DiskNames(targets), ::testing::ElementsAreArray(expected));
  for (const RestoreTargetInfo& target : targets) {
    const auto* partition = std::get_if<PartitionInfo>(&target.target);
    if (partition == nullptr) continue;
    const sim::Volume* volume = sim::FindVolume(model, mcom::DiskName{hfs, 2});
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(partition->device, Disk(hfs, 2));
    EXPECT_EQ(partition->physicalDiskName, sim::FindDisk(model, hfs)->media_name);
    EXPECT_EQ(partition->size,
              static_cast<int64_t>(sim::FindPartition(model, mcom::DiskName{hfs, 2})->size));
    ASSERT_TRUE(partition->volumeInfo);
    EXPECT_EQ(partition->volumeInfo->name, "USB HFS");
    EXPECT_EQ(partition->volumeInfo->spaceUsed, static_cast<int64_t>(volume->used));
    EXPECT_EQ(TargetDescription(target), "USB HFS on " + partition->physicalDiskName);
  }

  // No EFI system partition of any disk is among them.
  for (const sim::Disk& disk : model.disks) {
    for (const sim::Partition& partition : disk.partitions) {
      if (partition.type != sim::kEFIPartitionGUID) continue;
      EXPECT_THAT(DiskNames(targets), ::testing::Not(::testing::Contains(Disk(
                                          disk.number, static_cast<int32_t>(partition.slice)))));
    }
  }

  // A partition without a volume is described by its device.
  PartitionInfo bare{"Generic Flash Disk Media", 1, std::nullopt, Disk(7, 2), std::nullopt};
  EXPECT_EQ(TargetDescription(bare), "disk7s2 on Generic Flash Disk Media");
}

TEST_F(DiskModelTest, AContainerWhoseSpaceQueryFailsIsNoSource) {
  sim::Machine machine = Make("intel-mac");
  const uint32_t usb = sim::testing::PlugTestMedium(machine, "usb-apfs");
  const uint32_t container =
      sim::ContainerOnStore(machine.Read(), "disk" + std::to_string(usb) + "s2")->number;
  ASSERT_THAT(DiskNames(SourceContainers()), ElementsAre(Disk(1), Disk(container)));

  const mcom::FilePath registry = root_.Join("private/var/db/macsim/registry.plist");
  const cf::Ref<cf::Object> changed =
      WithoutContainerSize(cf::PropertyListFromFile(registry), "disk" + std::to_string(container));
  const std::optional<std::string> xml = cf::WriteXMLPropertyList(*changed);
  ASSERT_TRUE(xml);
  ASSERT_FALSE(sim::WriteFileAtomically(registry, *xml, 0644));

  EXPECT_THAT(DiskNames(SourceContainers()), ElementsAre(Disk(1)));
}

TEST_F(DiskModelTest, FindsThePrebootVolumeOfATarget) {
  sim::Machine machine = Make("intel-mac");
  const uint32_t hfs = sim::testing::PlugTestMedium(machine, "usb-hfs");
  const uint32_t usb = sim::testing::PlugTestMedium(machine, "usb-apfs");
  const sim::Model model = machine.Read();
  DiskName preboot;
  for (const sim::Volume* volume : sim::VolumesOfContainer(model, 1)) {
    if (volume->HasRole("Preboot"))
      preboot = Disk(volume->disk.disk, static_cast<int32_t>(volume->disk.slice));
  }

  EXPECT_EQ(PrebootVolumeOfContainer(APFSContainerName{Disk(1)}), preboot);
  EXPECT_EQ(ContainerOnPartition(Disk(0, 2)), APFSContainerName{Disk(1)});
  EXPECT_EQ(ContainerOnPartition(Disk(0, 1)), std::nullopt);

  const std::vector<RestoreTargetInfo> targets = RestoreTargets();
  ASSERT_NE(ContainerTarget(targets, Disk(1)), nullptr);
  EXPECT_EQ(
      PrebootVolumeOfTarget(RestoreTargetInfo::apfsContainer(*ContainerTarget(targets, Disk(1)))),
      preboot);
  // A partition target starts from the container a restore makes on it: the internal
  // partition holds one, the HFS+ partition none, and the plugged container has no Preboot.
  PartitionInfo internal{"", 0, std::nullopt, Disk(0, 2), std::nullopt};
  EXPECT_EQ(PrebootVolumeOfTarget(RestoreTargetInfo::partition(internal)), preboot);
  PartitionInfo plain{"", 0, std::nullopt, Disk(hfs, 2), std::nullopt};
  EXPECT_EQ(PrebootVolumeOfTarget(RestoreTargetInfo::partition(plain)), std::nullopt);
  PartitionInfo external{"", 0, std::nullopt, Disk(usb, 2), std::nullopt};
  EXPECT_EQ(PrebootVolumeOfTarget(RestoreTargetInfo::partition(external)), std::nullopt);
  EXPECT_EQ(PrebootVolumeOfContainer(APFSContainerName{Disk(42)}), std::nullopt);
}

TEST_F(DiskModelTest, AMachineWithoutDisksOffersNothing) {
  EXPECT_THAT(SourceContainers(), IsEmpty());
  EXPECT_THAT(RestoreTargets(), IsEmpty());
}

}  // namespace
}  // namespace app
