#include "core/foundation/disk_name.h"

#include <gtest/gtest.h>

namespace {

using mcom::DiskName;
using mcom::FormatDiskName;
using mcom::ParseDiskName;

TEST(DiskName, ParsesWholeDisksAndSlices) {
  EXPECT_EQ(ParseDiskName("disk0"), (DiskName{0, DiskName::kNoSlice}));
  EXPECT_EQ(ParseDiskName("disk0s1"), (DiskName{0, 1}));
  EXPECT_EQ(ParseDiskName("disk12s3"), (DiskName{12, 3}));
  EXPECT_EQ(ParseDiskName("disk4294967294s7"), (DiskName{4294967294u, 7}));
}

TEST(DiskName, RefusesAnythingButTheWholeText) {
  for (const char* text :
       {"", "disk", "disks1", "disk0s", "disk0s1x", "disk5x", "disk0s1s2", "/dev/disk0", "disk-1",
        "disk 1", "Disk0", "disk0s+1", "disk+0", "disk99999999999", "disk0s4294967296", "disk01",
        "disk1s01", "disk0s4294967295"}) {
    EXPECT_EQ(ParseDiskName(text), std::nullopt) << text;
  }
}

TEST(DiskName, FormatsAndParsesBack) {
  EXPECT_EQ(FormatDiskName(DiskName{4, DiskName::kNoSlice}), "disk4");
  EXPECT_EQ(FormatDiskName(DiskName{4, 2}), "disk4s2");
  for (const char* text : {"disk0", "disk10s0", "disk12s3", "disk2147483647s1"}) {
    EXPECT_EQ(FormatDiskName(*ParseDiskName(text)), text);
  }
  EXPECT_EQ(FormatDiskName(APFSContainerName{DiskName{1, DiskName::kNoSlice}}), "disk1");
  EXPECT_EQ((DiskName{4, 2}.Whole()), (DiskName{4, DiskName::kNoSlice}));
  // Huge numbers format without crashing.
  EXPECT_EQ(FormatDiskName(DiskName{2147483648u, DiskName::kNoSlice}), "disk-2147483648");
}

}  // namespace
