#include "app/model/disk_name.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace app {
namespace {

TEST(DiskNameTest, ParsesFormatsAndHashes) {
  EXPECT_EQ(ParseDiskName("disk1"), (DiskName{1, std::nullopt}));
  EXPECT_EQ(ParseDiskName("disk1s2"), (DiskName{1, 2}));
  // Empty pieces are dropped, so a separator with nothing after it is no slice.
  EXPECT_EQ(ParseDiskName("disk1s"), (DiskName{1, std::nullopt}));
  EXPECT_EQ(ParseDiskName("disk12ss3"), (DiskName{12, 3}));
  EXPECT_EQ(ParseDiskName("disk2147483647s0"), (DiskName{2147483647, 0}));
  for (const char* text : {"disk", "disks", "disk1s2s3", "disk2147483648", "Disk1", "/dev/disk1",
                           "disk1x", "disk1s2 ", "disk+1", "disk1s-1", "diskXs1", ""}) {
    EXPECT_EQ(ParseDiskName(text), std::nullopt) << text;
  }

  for (const char* text : {"disk0", "disk1s2", "disk17s10"}) {
    const std::optional<DiskName> name = ParseDiskName(text);
    ASSERT_TRUE(name) << text;
    EXPECT_EQ(FormatDiskName(*name), text);
  }

  // No slice differs from every slice, slice 0 included, also as a hash-set key.
  std::unordered_set<DiskName> names = {{1, std::nullopt}, {1, 0}, {0, 1}, {1, 1}};
  EXPECT_EQ(names.size(), 4u);
  EXPECT_NE((DiskName{1, std::nullopt}), (DiskName{1, 0}));
  EXPECT_EQ(names.count(DiskName{1, std::nullopt}), 1u);
  EXPECT_EQ(names.count(DiskName{2, std::nullopt}), 0u);
}

}  // namespace
}  // namespace app
