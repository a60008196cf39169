#include "core/discovery/apfs_volume_info.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "tests/support/registry_builder.h"
#include "tests/support/temporary_folder.h"

namespace {

using mcom::DiskName;
using mcom::iokit::Service;
using testing::RegistryBuilder;
using testing::RegistryEntry;

constexpr const char* kGroup = "A1B2C3D4-0000-4000-8000-000000000001";

class APFSVolumeInfoTest : public testing::Test {
 protected:
  void SetUp() override {
    RegistryBuilder::Disk disk0 = registry_.AddWholeDisk(0, "Internal", /*partitioned=*/false);
    container_ = registry_.AddContainer(*disk0.media, 1);
  }

  // Adds a volume diskNs<slice> shaped by `change`, writes the registry and reads it back.
  template <typename Change>
  std::optional<APFSVolumeInfo> Read(Change change) {
    RegistryEntry& volume = registry_.AddVolume(container_, ++slice_, "Volume", {});
    change(volume);
    EXPECT_TRUE(registry_.WriteToMachine());
    const std::string bsd_name = "disk1s" + std::to_string(slice_);
    const Service service(platform::IOServiceGetMatchingService(
        platform::kIOMainPortDefault,
        platform::IOBSDNameMatching(platform::kIOMainPortDefault, 0, bsd_name.c_str())));
    EXPECT_TRUE(service) << bsd_name;
    return mcom::ReadAPFSVolumeInfo(service);
  }

  std::optional<APFSVolumeRole> RoleOf(mcom::cf::Ref<mcom::cf::Object> roles) {
    const auto info = Read([&](RegistryEntry& volume) {
      if (roles) volume.Value("Role", roles);
    });
    EXPECT_TRUE(info.has_value());
    return info ? info->role : std::nullopt;
  }

  static mcom::cf::Ref<mcom::cf::Array> Roles(std::vector<const char*> names) {
    mcom::cf::Array::Values values;
    for (const char* name : names) values.push_back(mcom::cf::String::Create(name));
    return mcom::cf::Array::Create(std::move(values));
  }

  testing::TemporaryMachineRoot root_;
  RegistryBuilder registry_;
  RegistryBuilder::Container container_;
  uint32_t slice_ = 0;
};

TEST_F(APFSVolumeInfoTest, ReadsAVolume) {
  const auto info = Read([](RegistryEntry& volume) {
    volume.Strings("Role", {"System"}).String("VolGroupUUID", kGroup).String("UUID", "V-UUID");
  });
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(*info, (APFSVolumeInfo{"V-UUID", APFSVolumeRole::kSystem, std::string(kGroup),
                                   DiskName{1, 1}}));
}

TEST_F(APFSVolumeInfoTest, TakesTheRoleThatMattersMost) {
  EXPECT_EQ(RoleOf(Roles({"System"})), APFSVolumeRole::kSystem);
  EXPECT_EQ(RoleOf(Roles({"Data"})), APFSVolumeRole::kData);
  EXPECT_EQ(RoleOf(Roles({"Data", "System"})), APFSVolumeRole::kSystem);
  EXPECT_EQ(RoleOf(Roles({"System", "Data"})), APFSVolumeRole::kSystem);
  EXPECT_EQ(RoleOf(Roles({"Preboot", "Data"})), APFSVolumeRole::kData);
  EXPECT_EQ(RoleOf(Roles({"Preboot"})), APFSVolumeRole::kOther);
  EXPECT_EQ(RoleOf(Roles({"Unheard of"})), APFSVolumeRole::kOther);
  // Roles are compared exactly.
  EXPECT_EQ(RoleOf(Roles({"system"})), APFSVolumeRole::kOther);
  EXPECT_EQ(RoleOf(mcom::cf::Array::Create({mcom::cf::Number::CreateInteger(1)})),
            APFSVolumeRole::kOther);
}

TEST_F(APFSVolumeInfoTest, HasNoRoleWithoutARoleArray) {
  EXPECT_EQ(RoleOf(Roles({})), std::nullopt);
  EXPECT_EQ(RoleOf(nullptr), std::nullopt);
  EXPECT_EQ(RoleOf(mcom::cf::String::Create("System")), std::nullopt);
}

TEST_F(APFSVolumeInfoTest, TreatsTheAllZeroGroupAsNone) {
  const auto grouped = Read([](RegistryEntry& volume) { volume.String("VolGroupUUID", kGroup); });
  ASSERT_TRUE(grouped.has_value());
  EXPECT_EQ(grouped->volume_group, kGroup);

  const auto zero =
      Read([](RegistryEntry& volume) { volume.String("VolGroupUUID", RegistryBuilder::kNoGroup); });
  ASSERT_TRUE(zero.has_value());
  EXPECT_EQ(zero->volume_group, std::nullopt);

  const auto missing = Read([](RegistryEntry& volume) { volume.Remove("VolGroupUUID"); });
  ASSERT_TRUE(missing.has_value());
  EXPECT_EQ(missing->volume_group, std::nullopt);

  const auto number = Read([](RegistryEntry& volume) { volume.Integer("VolGroupUUID", 0); });
  ASSERT_TRUE(number.has_value());
  EXPECT_EQ(number->volume_group, std::nullopt);
}

TEST_F(APFSVolumeInfoTest, NeedsAUUIDStringAndABSDName) {
  EXPECT_EQ(Read([](RegistryEntry& volume) { volume.Remove("UUID"); }), std::nullopt);
  EXPECT_EQ(Read([](RegistryEntry& volume) { volume.Integer("UUID", 5); }), std::nullopt);
  EXPECT_EQ(mcom::ReadAPFSVolumeInfo(Service()), std::nullopt);

  // A volume whose BSD name does not parse: found by name, read as nothing.
  registry_.AddVolume(container_, 90, "Odd", {"Data"}).String("BSD Name", "disk1s90x");
  ASSERT_TRUE(registry_.WriteToMachine());
  const Service odd(platform::IOServiceGetMatchingService(platform::kIOMainPortDefault,
                                                          platform::IOServiceNameMatching("Odd")));
  ASSERT_TRUE(odd);
  EXPECT_EQ(mcom::ReadAPFSVolumeInfo(odd), std::nullopt);
}

}  // namespace
