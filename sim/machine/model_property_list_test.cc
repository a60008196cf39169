#include "sim/machine/model_property_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/property_list.h"
#include "sim/machine/blockers.h"
#include "sim/machine/machine.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/mounting.h"
#include "sim/machine/test_machine.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

namespace cf = mcom::cf;
using ::testing::HasSubstr;

// A model as the machine makes it, with what a fixture leaves out: a Fusion Mac (its disks
// have tiers) with an HFS+ medium plugged and mounted read-only at a folder of the caller's,
// a blocker, a claim, a fault and boot settings. Made once for all tests here.
const Model& ModelOfTheMachine() {
  static const ::testing::TemporaryFolder folder;
  static const Model model = [] {
    Machine machine = testing::MakeTestMachine(folder.Join("mac"), "fusion-mac");
    const mcom::DiskName hfs{testing::PlugTestMedium(machine, "usb-hfs"), 2};
    ::mkdir(folder.Join("at").c_str(), 0700);  // a mode that is not the default
    machine.Change([&](Model& changed) {
      changed.faults["asr.restore"] = "fail-after-volume:1";
      changed.boot.device = "disk0s2";
      changed.boot.folder = "/Volumes/R/boot";
      changed.boot.boot_efi = "/Volumes/R/boot/boot.efi";
      changed.boot.folder_volume = "A1B2";
      changed.boot.folder_in_volume = "/boot";
      changed.boot.restart_requested = true;
      changed.boot.root_volume = "C3D4";
      AddBlocker(changed, getpid(), "disk0");
      AddClaim(changed, getpid(), "disk0s2");
      Unmount(machine.root(), changed, hfs);
      Mount(machine.root(), changed, hfs, MountOptions{folder.Join("at"), true, false});
    });
    return machine.Read();
  }();
  return model;
}

cf::Ref<cf::MutableDictionary> Written() {
  return ModelToPropertyList(ModelOfTheMachine())->MutableCopy();
}

TEST(ModelPropertyList, WhatIsWrittenReadsBackTheSame) {
  const cf::Ref<cf::Dictionary> written = Written();
  const cf::Ref<cf::Data> bytes = cf::PropertyListToData(written, cf::PropertyListFormat::kXML);
  const Model read = ModelFromPropertyList(cf::PropertyListFromData(bytes));
  EXPECT_TRUE(cf::Equal(ModelToPropertyList(read), written));

  EXPECT_EQ(read.faults.at("asr.restore"), "fail-after-volume:1");
  EXPECT_EQ(read.disks.at(1).tier, "Secondary");
  EXPECT_TRUE(read.boot.restart_requested);
  EXPECT_EQ(read.blockers.at(0).pid, getpid());
  EXPECT_EQ(read.claims.at(0).bsd_name, "disk0s2");
  const Volume& hfs = read.volumes.back();
  EXPECT_EQ(hfs.file_system, "hfs");
  EXPECT_TRUE(hfs.mounted_at_given_path);
  EXPECT_EQ(hfs.given_path_mode, 0700u);
  EXPECT_EQ(hfs.mount_options, (std::vector<std::string>{"ro"}));

  // Keys derived from the rest of the model are written for readers of the file, and keys
  // without a value are left out.
  EXPECT_EQ(written->GetInteger("NextDiskNumber"), 4);
  const cf::Ref<cf::Dictionary> disk = cf::GetArray(written, "Disks")->Get<cf::Dictionary>(0);
  const cf::Ref<cf::Dictionary> store = disk->GetArray("Partitions")->Get<cf::Dictionary>(1);
  EXPECT_EQ(store->GetString("Container"), read.containers.at(0).uuid);
  EXPECT_EQ(store->GetString("Content"), std::string(kAPFSPartitionGUID));
  EXPECT_FALSE(disk->Contains("ImagePath"));
  EXPECT_FALSE(cf::GetArray(written, "Volumes")->Get<cf::Dictionary>(0)->Contains("GivenPathMode"));
  EXPECT_EQ(written->GetArray("Mounts")->Get<cf::Dictionary>(0)->GetString("MountPoint"), "/")
      << "the running system is listed at \"/\" whatever its own record says";
}

TEST(ModelPropertyList, KeepsUnknownTopLevelKeys) {
  cf::Ref<cf::MutableDictionary> plist = Written();
  plist->SetValue("AddedByANewerTool", cf::String::Create("kept"));
  const cf::Ref<cf::Dictionary> again = ModelToPropertyList(ModelFromPropertyList(plist));
  EXPECT_EQ(again->GetString("AddedByANewerTool"), "kept");
}

TEST(ModelPropertyList, MissingKeysTakeDefaults) {
  const Model model = ModelFromPropertyList(cf::MutableDictionary::Create());
  EXPECT_TRUE(model.disks.empty());
  EXPECT_TRUE(model.facts.full_disk_access);
  EXPECT_TRUE(model.facts.administrator_approves);
  EXPECT_FALSE(model.facts.recovery_environment);
}

// Replaces the value at `key` of the first disk (or removes it for a null value).
cf::Ref<cf::Dictionary> WithFirstDiskValue(std::string_view key, cf::Ref<cf::Object> value) {
  cf::Ref<cf::MutableDictionary> plist = Written();
  cf::Ref<cf::MutableDictionary> disk =
      plist->GetArray("Disks")->Get<cf::Dictionary>(0)->MutableCopy();
  if (value) {
    disk->SetValue(key, value);
  } else {
    disk->RemoveValue(key);
  }
  plist->SetValue("Disks", cf::Array::Create({disk}));
  return plist;
}

std::string ReadError(const cf::Ref<cf::Object>& plist) {
  try {
    ModelFromPropertyList(plist);
  } catch (const MachineError& error) {
    return error.what();
  }
  return "no error";
}

TEST(ModelPropertyList, BadDescriptionsNameTheirProblem) {
  EXPECT_THAT(ReadError(cf::String::Create("x")), HasSubstr("not a dictionary"));
  EXPECT_EQ(ReadError(WithFirstDiskValue("Number", nullptr)),
            "Disks[0].Number: missing or not a non-negative integer");
  EXPECT_EQ(ReadError(WithFirstDiskValue("Number", cf::String::Create("0"))),
            "Disks[0].Number: missing or not a non-negative integer");
  EXPECT_EQ(ReadError(WithFirstDiskValue("Number", cf::Number::CreateInteger(-1))),
            "Disks[0].Number: missing or not a non-negative integer");
  EXPECT_EQ(ReadError(WithFirstDiskValue("Number", cf::Number::CreateInteger(0xFFFFFFFF))),
            "Disks[0].Number: number out of range");
  EXPECT_EQ(ReadError(WithFirstDiskValue("Kind", cf::String::Create("floppy"))),
            "Disks[0].Kind: not one of internal, external, image");
  EXPECT_EQ(ReadError(WithFirstDiskValue("Writable", cf::String::Create("yes"))),
            "Disks[0].Writable: not a boolean");
  EXPECT_EQ(ReadError(WithFirstDiskValue("Partitions", cf::String::Create("none"))),
            "Disks[0].Partitions: not an array");
  const uint32_t container = ModelOfTheMachine().containers.at(0).number;
  EXPECT_EQ(ReadError(WithFirstDiskValue("Number", cf::Number::CreateUnsigned(container))),
            "Containers: disk number " + std::to_string(container) + " used twice");

  cf::Ref<cf::MutableDictionary> plist = Written();
  cf::Ref<cf::MutableDictionary> volume =
      plist->GetArray("Volumes")->Get<cf::Dictionary>(0)->MutableCopy();
  volume->SetValue("Store", cf::String::Create("../../../etc"));
  plist->SetValue("Volumes", cf::Array::Create({volume}));
  EXPECT_EQ(ReadError(plist), "Volumes[0].Store: not a usable store id");
  volume->SetValue("Disk", cf::String::Create("disk1"));
  EXPECT_EQ(ReadError(plist), "Volumes[0].Disk: a volume's disk name needs a slice");
}

TEST(ModelPropertyList, AStaleRegistryCounterIsMovedPastTheIdsInUse) {
  cf::Ref<cf::MutableDictionary> plist = Written();
  plist->SetValue("NextRegistryID", cf::Number::CreateInteger(0x100000200));
  const Model read = ModelFromPropertyList(plist);
  for (const Volume& volume : read.volumes) EXPECT_GT(read.next_registry_id, volume.registry_id);
}

TEST(ModelFile, ADamagedFileGivesAClearError) {
  ::testing::TemporaryFolder folder;
  Machine machine = testing::MakeTestMachine(folder.Join("mac"));
  folder.WriteFile("mac/private/var/db/macsim/machine.plist", "<plist><dict><key>Disks");
  EXPECT_THAT([&] { machine.Read(); },
              ::testing::ThrowsMessage<MachineError>(HasSubstr("is damaged: not a property list")));
  folder.WriteFile("mac/private/var/db/macsim/machine.plist",
                   "<plist><dict><key>Disks</key><string>x</string></dict></plist>");
  EXPECT_THROW(machine.Read(), MachineError);
  EXPECT_THROW(machine.Change([](Model&) {}), MachineError);
}

}  // namespace
}  // namespace sim
