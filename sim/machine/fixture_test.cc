#include "sim/machine/fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/foundation/property_list.h"
#include "sim/machine/data_size.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/test_machine.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::HasSubstr;

TEST(Fixture, EveryFixtureOfTheTreeLoads) {
  const std::vector<std::string> names = ListFixtures(testing::FixturesFolder());
  EXPECT_THAT(names, ::testing::IsSupersetOf({"intel-mac", "t2-mac", "fusion-mac", "usb-blank",
                                              "usb-hfs", "usb-apfs", "internal-second-disk"}));
  for (const std::string& name : names) {
    const Fixture fixture = testing::TestFixture(name);
    EXPECT_FALSE(fixture.description.empty()) << name;
    EXPECT_LE(fixture.data_size, 8u << 20) << name << ": fixtures stay small by default";
  }
  const Fixture fusion = testing::TestFixture("fusion-mac");
  ASSERT_EQ(fusion.disks.size(), 2u);
  EXPECT_EQ(fusion.disks[0].spec.tier, "Main");
  EXPECT_EQ(fusion.disks[1].spec.medium_type, "Rotational");
  EXPECT_TRUE(testing::TestFixture("t2-mac").facts.has_t2);
  EXPECT_FALSE(testing::TestFixture("intel-mac").facts.has_t2);
  EXPECT_EQ(testing::TestFixture("usb-blank").kind, Fixture::Kind::kMedium);
}

std::string LoadError(const ::testing::TemporaryFolder& folder, const std::string& name) {
  try {
    LoadFixture(folder.path(), name);
  } catch (const MachineError& error) {
    return error.what();
  }
  return "no error";
}

TEST(Fixture, BadFixturesAreNamedWithTheirProblem) {
  ::testing::TemporaryFolder folder;
  EXPECT_THAT(LoadError(folder, "missing"), HasSubstr("no such fixture: missing"));
  EXPECT_THAT(LoadError(folder, "../etc/passwd"), HasSubstr("no such fixture"));
  folder.WriteFile("text.plist", "not a plist");
  EXPECT_THAT(LoadError(folder, "text"), HasSubstr("not a property list"));

  const std::string head = "<plist><dict><key>Kind</key><string>Medium</string>";
  folder.WriteFile("nodisks.plist", head + "</dict></plist>");
  EXPECT_EQ(LoadError(folder, "nodisks"),
            "fixture nodisks: Disks: a fixture needs at least one disk");
  const std::string disk =
      "<key>Disks</key><array><dict><key>Kind</key><string>external</string>"
      "<key>Protocol</key><string>USB</string><key>MediaName</key><string>M</string>"
      "<key>Size</key><integer>1000000000</integer><key>Partitions</key><array><dict>"
      "<key>Type</key><string>";
  folder.WriteFile("badtype.plist",
                   head + disk + "NTFS</string></dict></array></dict></array></dict></plist>");
  EXPECT_EQ(LoadError(folder, "badtype"),
            "fixture badtype: Disks[0].Partitions[0].Type: not EFI, APFS, HFS, Apple_Boot or a "
            "type GUID");
  folder.WriteFile("nocontainer.plist",
                   head + disk +
                       "APFS</string><key>Container</key><string>c</string></dict></array></dict>"
                       "</array></dict></plist>");
  EXPECT_EQ(LoadError(folder, "nocontainer"), "fixture nocontainer: container c is not described");
  folder.WriteFile("badkind.plist",
                   "<plist><dict><key>Kind</key><string>Toaster</string></dict></plist>");
  EXPECT_EQ(LoadError(folder, "badkind"), "fixture badkind: Kind: not Machine or Medium");
}

TEST(DataSize, UnitsArePowersOf1024) {
  EXPECT_EQ(ParseDataSize("0"), 0u);
  EXPECT_EQ(ParseDataSize("4096"), 4096u);
  EXPECT_EQ(ParseDataSize("10M"), 10u << 20);
  EXPECT_EQ(ParseDataSize("10m"), 10u << 20);
  EXPECT_EQ(ParseDataSize("512KB"), 512u << 10);
  EXPECT_EQ(ParseDataSize("1G"), 1ull << 30);
  EXPECT_EQ(ParseDataSize("2T"), 2ull << 40);
  EXPECT_EQ(ParseDataSize("7B"), 7u);
  for (const char* bad : {"", "M", "-1M", "1.5G", "10 M", "10MiB", "1X", "16777216T"}) {
    EXPECT_FALSE(ParseDataSize(bad).has_value()) << bad;
  }
}

// The parsing itself is DiskName's; the machine adds "/dev/" and an error to show.
TEST(ParseDiskNameOrThrow, TakesDevicePathsAndThrowsForTheRest) {
  EXPECT_EQ(ParseDiskNameOrThrow("/dev/disk4s2"), (mcom::DiskName{4, 2}));
  EXPECT_THROW(ParseDiskNameOrThrow("sda1"), MachineError);
  EXPECT_THROW(ParseDiskNameOrThrow("disk01"), MachineError);
}

}  // namespace
}  // namespace sim
