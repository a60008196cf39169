#include "sim/machine/model_property_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/property_list.h"
#include "sim/machine/machine.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/test_machine.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

namespace cf = mcom::cf;
using ::testing::HasSubstr;

// A model with every field set to something other than its default.
Model FullModel() {
  Model model;
  model.facts = Facts{"Macmini8,1", true, false, false, true, "macOS", "10.15.6", "19G73", "mini"};
  model.faults = {{"hdiutil.create", "fail"}, {"asr.restore", "fail-after-volume:1"}};
  Disk disk;
  disk.number = 0;
  disk.kind = DiskKind::kExternal;
  disk.protocol = "USB";
  disk.location = "External";
  disk.media_name = "Generic Flash Disk Media";
  disk.vendor_name = "Generic";
  disk.product_name = "Flash Disk";
  disk.medium_type = "Solid State";
  disk.size = 16008609792;
  disk.block_size = 4096;
  disk.removable = true;
  disk.ejectable = true;
  disk.writable = false;
  disk.scheme = "GPT";
  disk.content = "GUID_partition_scheme";
  disk.tier = "Main";
  disk.uuid = "11111111-2222-4333-8444-555555555555";
  disk.image_path = "/images/a.sparseimage";
  disk.image_mode = "ro";
  disk.shadow_path = "/images/a.shadow";
  disk.bsd_minor = 7;
  disk.registry_id = 0x100000300;
  disk.partitions.push_back(Partition{1, std::string(kAPFSPartitionGUID), "store", 20480,
                                      16000000000, "AAAAAAAA-2222-4333-8444-555555555555", 8,
                                      0x100000310});
  disk.partitions.push_back(Partition{2, std::string(kHFSPartitionGUID), "hfs", 16000020480,
                                      4096000, "BBBBBBBB-2222-4333-8444-555555555555", 9,
                                      0x100000320});
  model.disks.push_back(disk);
  model.containers.push_back(Container{
      "CCCCCCCC-2222-4333-8444-555555555555", 1, 16000000000, {"disk0s1"}, 10, 0x100000330});
  Volume apfs;
  apfs.uuid = "DDDDDDDD-2222-4333-8444-555555555555";
  apfs.name = "Data";
  apfs.disk = mcom::DiskName{1, 1};
  apfs.file_system = "apfs";
  apfs.roles = {"Data"};
  apfs.group_uuid = "EEEEEEEE-2222-4333-8444-555555555555";
  apfs.store = "store-1";
  apfs.mount_point = "/tmp/mounted";
  apfs.mount_options = {"ro", "nobrowse"};
  apfs.mounted_at_given_path = true;
  apfs.given_path_mode = 0700;
  apfs.content = std::string(kAPFSVolumeContent);
  apfs.writable = false;
  apfs.used = 123456;
  apfs.bsd_minor = 11;
  apfs.registry_id = 0x100000340;
  model.volumes.push_back(apfs);
  Volume hfs;
  hfs.uuid = "FFFFFFFF-2222-4333-8444-555555555555";
  hfs.name = "HFS";
  hfs.disk = mcom::DiskName{0, 2};
  hfs.file_system = "hfs";
  hfs.store = "store-2";
  hfs.content = std::string(kHFSPartitionGUID);
  model.volumes.push_back(hfs);
  model.boot = Boot{"disk0s2", "/Volumes/R/boot", "/Volumes/R/boot/boot.efi", true};
  model.blockers.push_back(Blocker{getpid(), "disk0"});
  model.claims.push_back(Claim{getpid(), "disk0s2"});
  model.plugged = {{"disk0", "usb-hfs"}};
  model.running_system = apfs.uuid;
  model.next_registry_id = 0x100000400;
  SortModel(model);  // as the machine does before it writes
  return model;
}

cf::Ref<cf::Dictionary> RoundTrip(const Model& model) {
  return ModelToPropertyList(ModelFromPropertyList(ModelToPropertyList(model)));
}

TEST(ModelPropertyList, RoundTripKeepsEveryField) {
  const Model model = FullModel();
  const cf::Ref<cf::Dictionary> written = ModelToPropertyList(model);
  const cf::Ref<cf::Dictionary> again = RoundTrip(model);
  for (const std::string& key : written->Keys()) {
    EXPECT_TRUE(cf::Equal(written->GetValue(key), again->GetValue(key))) << key;
  }
  EXPECT_EQ(written->Count(), again->Count());

  // Through the XML bytes as well, as the file holds them.
  const cf::Ref<cf::Data> bytes = cf::PropertyListToData(written, cf::PropertyListFormat::kXML);
  const Model read = ModelFromPropertyList(cf::PropertyListFromData(bytes));
  EXPECT_EQ(read.facts.model, "Macmini8,1");
  EXPECT_TRUE(read.facts.has_t2);
  EXPECT_FALSE(read.facts.full_disk_access);
  EXPECT_EQ(read.faults.at("asr.restore"), "fail-after-volume:1");
  ASSERT_EQ(read.disks.size(), 1u);
  EXPECT_EQ(read.disks[0].kind, DiskKind::kExternal);
  EXPECT_EQ(read.disks[0].shadow_path, "/images/a.shadow");
  EXPECT_EQ(read.disks[0].partitions[1].base, 16000020480u);
  ASSERT_EQ(read.volumes.size(), 2u);
  EXPECT_EQ(read.volumes[0].disk, (mcom::DiskName{0, 2})) << "volumes are kept in BSD-name order";
  EXPECT_EQ(read.volumes[1].mount_options, (std::vector<std::string>{"ro", "nobrowse"}));
  EXPECT_EQ(read.volumes[1].given_path_mode, 0700u);
  EXPECT_EQ(read.blockers[0].pid, getpid());
  ASSERT_EQ(read.claims.size(), 1u);
  EXPECT_EQ(read.claims[0].bsd_name, "disk0s2");
  EXPECT_TRUE(read.boot.restart_requested);
  EXPECT_EQ(read.next_registry_id, 0x100000400u);
}

TEST(ModelPropertyList, WritesTheDerivedKeysForReaders) {
  const cf::Ref<cf::Dictionary> written = ModelToPropertyList(FullModel());
  EXPECT_EQ(written->GetInteger("NextDiskNumber"), 2);
  const cf::Ref<cf::Dictionary> store = cf::GetArray(written, "Disks")
                                            ->Get<cf::Dictionary>(0)
                                            ->GetArray("Partitions")
                                            ->Get<cf::Dictionary>(0);
  EXPECT_EQ(store->GetString("Container"), "CCCCCCCC-2222-4333-8444-555555555555");
  EXPECT_EQ(store->GetString("Content"), std::string(kAPFSPartitionGUID));
  const cf::Ref<cf::Array> mounts = written->GetArray("Mounts");
  ASSERT_EQ(mounts->Count(), 1u) << "the running system has no Data volume";
  EXPECT_EQ(mounts->Get<cf::Dictionary>(0)->GetString("MountPoint"), "/")
      << "the running system is listed at \"/\" whatever its own record says";
}

TEST(ModelPropertyList, KeepsUnknownTopLevelKeys) {
  cf::Ref<cf::MutableDictionary> plist = ModelToPropertyList(FullModel())->MutableCopy();
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
  cf::Ref<cf::MutableDictionary> plist = ModelToPropertyList(FullModel())->MutableCopy();
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
  EXPECT_EQ(ReadError(WithFirstDiskValue("Number", cf::Number::CreateInteger(1))),
            "Containers: disk number 1 used twice");

  cf::Ref<cf::MutableDictionary> plist = ModelToPropertyList(FullModel())->MutableCopy();
  cf::Ref<cf::MutableDictionary> volume =
      plist->GetArray("Volumes")->Get<cf::Dictionary>(0)->MutableCopy();
  volume->SetValue("Store", cf::String::Create("../../../etc"));
  plist->SetValue("Volumes", cf::Array::Create({volume}));
  EXPECT_EQ(ReadError(plist), "Volumes[0].Store: not a usable store id");
  volume->SetValue("Disk", cf::String::Create("disk1"));
  EXPECT_EQ(ReadError(plist), "Volumes[0].Disk: a volume's disk name needs a slice");
}

TEST(ModelPropertyList, AStaleRegistryCounterIsMovedPastTheIdsInUse) {
  cf::Ref<cf::MutableDictionary> plist = ModelToPropertyList(FullModel())->MutableCopy();
  plist->SetValue("NextRegistryID", cf::Number::CreateInteger(0x100000200));
  EXPECT_GT(ModelFromPropertyList(plist).next_registry_id, 0x100000340u);
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
