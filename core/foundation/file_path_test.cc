#include "core/foundation/file_path.h"

#include <gtest/gtest.h>

#include "core/foundation/system_path.h"

namespace {

using mcom::FilePath;

TEST(FilePath, JoinKeepsSeparatorsAsWrittenAndComparisonIsByteExact) {
  EXPECT_EQ(FilePath("/Volumes/X").Join("a"), FilePath("/Volumes/X/a"));
  EXPECT_EQ(FilePath("/Volumes/X/").Join("a"), FilePath("/Volumes/X//a"));
  EXPECT_EQ(FilePath("/Volumes/X").Join("/b"), FilePath("/b"));
  EXPECT_EQ(FilePath("relative").Join(FilePath("./c/")), FilePath("relative/./c/"));
  EXPECT_EQ(FilePath("").Join("a"), FilePath("/a"));
  // Comparison is byte-exact.
  EXPECT_NE(FilePath("/a/b"), FilePath("/a//b"));
  EXPECT_LT(FilePath("/a/B"), FilePath("/a/b"));
}

TEST(FilePath, Parent) {
  EXPECT_EQ(FilePath("disk").Parent(), FilePath("."));
  EXPECT_EQ(FilePath("/disk").Parent(), FilePath("/"));
  EXPECT_EQ(FilePath("/").Parent(), FilePath("/"));
  EXPECT_EQ(FilePath("/a/b/c").Parent(), FilePath("/a/b"));
  EXPECT_EQ(FilePath("/a/b/").Parent(), FilePath("/a/b"));
  EXPECT_EQ(FilePath("a//b").Parent(), FilePath("a/"));
}

TEST(FilePath, LastComponent) {
  EXPECT_EQ(FilePath("/dev/disk5/").LastComponent(), "disk5");
  EXPECT_EQ(FilePath("/dev/disk5").LastComponent(), "disk5");
  EXPECT_EQ(FilePath("disk5").LastComponent(), "disk5");
  EXPECT_EQ(FilePath("a").LastComponent(), "a");
  EXPECT_EQ(FilePath("/").LastComponent(), "/");
  EXPECT_EQ(FilePath("///").LastComponent(), "/");
  EXPECT_EQ(FilePath("").LastComponent(), "");
  EXPECT_EQ(FilePath("/a//").LastComponent(), "a");
}

TEST(SystemPath, ResolvesUnderTheMachineRoot) {
  const FilePath previous = mcom::SystemRoot();
  mcom::SetSystemRoot(FilePath("/sim/mac/"));
  EXPECT_EQ(mcom::SystemRoot(), FilePath("/sim/mac"));
  EXPECT_EQ(mcom::SystemPath("/usr/bin/hdiutil"), FilePath("/sim/mac/usr/bin/hdiutil"));
  mcom::SetSystemRoot(FilePath("/"));
  EXPECT_EQ(mcom::SystemPath("/usr/bin/hdiutil"), FilePath("/usr/bin/hdiutil"));
  mcom::SetSystemRoot(previous);
}

}  // namespace
