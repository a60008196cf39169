#include "core/discovery/apfs_volume_info.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "tests/support/registry_test.h"

namespace {

using mcom::DiskName;
using mcom::cf::Array;
using mcom::cf::String;
using mcom::iokit::Service;
using testing::RegistryBuilder;
using testing::RegistryEntry;

constexpr const char* kGroup = RegistryBuilder::kSystemGroup;

class APFSVolumeInfoTest : public testing::RegistryTest {
 protected:
  void SetUp() override {
    container_ = registry_.AddContainer(
        *registry_.AddWholeDisk(0, "Internal", /*partitioned=*/false).media, 1);
  }

  // Adds a volume diskNs<slice> shaped by `change`, writes the registry and reads it back.
  std::optional<APFSVolumeInfo> Read(const std::function<void(RegistryEntry&)>& change) {
    change(registry_.AddVolume(container_, ++slice_, "Volume", {}));
    EXPECT_TRUE(registry_.WriteToMachine());
    const std::string bsd_name = "disk1s" + std::to_string(slice_);
    const Service service(platform::IOServiceGetMatchingService(
        platform::kIOMainPortDefault,
        platform::IOBSDNameMatching(platform::kIOMainPortDefault, 0, bsd_name.c_str())));
    EXPECT_TRUE(service) << bsd_name;
    return mcom::ReadAPFSVolumeInfo(service);
  }

  // The role read from a "Role" value of `roles` (none: no "Role").
  std::optional<APFSVolumeRole> RoleOf(mcom::cf::Ref<mcom::cf::Object> roles) {
    const auto info = Read([&](RegistryEntry& volume) {
      if (roles) volume.Value("Role", roles);
    });
    EXPECT_TRUE(info.has_value());
    return info ? info->role : std::nullopt;
  }
  std::optional<std::string> GroupOf(const std::function<void(RegistryEntry&)>& change) {
    const auto info = Read(change);
    EXPECT_TRUE(info.has_value());
    return info ? info->volume_group : std::nullopt;
  }

  static mcom::cf::Ref<Array> Roles(std::vector<const char*> names) {
    Array::Values values;
    for (const char* name : names) values.push_back(String::Create(name));
    return Array::Create(std::move(values));
  }

  RegistryBuilder::Container container_;
  uint32_t slice_ = 0;
};

TEST_F(APFSVolumeInfoTest, TakesTheRoleThatMattersMost) {
  EXPECT_EQ(RoleOf(Roles({"System"})), APFSVolumeRole::kSystem);
  EXPECT_EQ(RoleOf(Roles({"Data"})), APFSVolumeRole::kData);
  EXPECT_EQ(RoleOf(Roles({"Data", "System"})), APFSVolumeRole::kSystem);
  EXPECT_EQ(RoleOf(Roles({"System", "Data"})), APFSVolumeRole::kSystem);
  EXPECT_EQ(RoleOf(Roles({"Preboot", "Data"})), APFSVolumeRole::kData);
  EXPECT_EQ(RoleOf(Roles({"Preboot"})), APFSVolumeRole::kOther);
  EXPECT_EQ(RoleOf(Roles({"Unheard of"})), APFSVolumeRole::kOther);
  // Roles are compared exactly; an element that is no string is no role.
  EXPECT_EQ(RoleOf(Roles({"system"})), APFSVolumeRole::kOther);
  EXPECT_EQ(RoleOf(Array::Create({mcom::cf::Number::CreateInteger(1)})), APFSVolumeRole::kOther);
  // Without a role array there is no role.
  EXPECT_EQ(RoleOf(Roles({})), std::nullopt);
  EXPECT_EQ(RoleOf(nullptr), std::nullopt);
  EXPECT_EQ(RoleOf(String::Create("System")), std::nullopt);
}

TEST_F(APFSVolumeInfoTest, TreatsTheAllZeroGroupAsNone) {
  EXPECT_EQ(GroupOf([](RegistryEntry& volume) { volume.String("VolGroupUUID", kGroup); }), kGroup);
  EXPECT_EQ(GroupOf([](RegistryEntry& v) { v.String("VolGroupUUID", RegistryBuilder::kNoGroup); }),
            std::nullopt);
  EXPECT_EQ(GroupOf([](RegistryEntry& volume) { volume.Remove("VolGroupUUID"); }), std::nullopt);
  EXPECT_EQ(GroupOf([](RegistryEntry& volume) { volume.Integer("VolGroupUUID", 0); }),
            std::nullopt);
}

TEST_F(APFSVolumeInfoTest, ReadsAVolumeWithAUUIDStringAndABSDNameOnly) {
  const auto info = Read([](RegistryEntry& volume) {
    volume.Strings("Role", {"System"}).String("VolGroupUUID", kGroup).String("UUID", "V-UUID");
  });
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(*info, (APFSVolumeInfo{"V-UUID", APFSVolumeRole::kSystem, std::string(kGroup),
                                   DiskName{1, 1}}));

  EXPECT_EQ(Read([](RegistryEntry& volume) { volume.Remove("UUID"); }), std::nullopt);
  EXPECT_EQ(Read([](RegistryEntry& volume) { volume.Integer("UUID", 5); }), std::nullopt);
  EXPECT_EQ(mcom::ReadAPFSVolumeInfo(Service()), std::nullopt);

  // A volume whose BSD name does not parse: found by name, read as nothing.
  registry_.AddVolume(container_, 90, "Odd", {"Data"}).String("BSD Name", "disk1s90x");
  Write();
  const Service odd(platform::IOServiceGetMatchingService(platform::kIOMainPortDefault,
                                                          platform::IOServiceNameMatching("Odd")));
  ASSERT_TRUE(odd);
  EXPECT_EQ(mcom::ReadAPFSVolumeInfo(odd), std::nullopt);
}

}  // namespace
