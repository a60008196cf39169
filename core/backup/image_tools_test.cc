#include "core/backup/image_tools.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/temporary_folder.h"

namespace {

using testing::ElementsAre;

std::string Sample(const char* name) {
  return testing::TemporaryFolder::ReadFile(
      mcom::FilePath(DORVANE_SOURCE_DIR "/tests/data/real-samples/").Join(name));
}

TEST(AttachArguments, ModeBitsChooseReadingOnlyAndMounting) {
  const mcom::FilePath image("/Volumes/Backup/Mac.sparseimage");
  const std::vector<std::string> backup = AttachArguments(image, 0);
  EXPECT_THAT(backup, ElementsAre("attach", "-nobrowse", "-owners", "on", "-readwrite", "-plist",
                                  image.string(), "-nomount"));
  std::vector<std::string> read_only = backup;
  read_only[4] = "-readonly";
  EXPECT_EQ(AttachArguments(image, 1), read_only);
  read_only.pop_back();
  EXPECT_EQ(AttachArguments(image, 3), read_only) << "mounted";
}

TEST(ParseAttachOutput, RealOutputNamesTheFirstEntity) {
  const auto apfs = ParseAttachOutput(Sample("hdiutil-attach-plist-1.xml"));
  ASSERT_TRUE(apfs);
  EXPECT_EQ(apfs->disk, (mcom::DiskName{6}));
  // The mounted volume is listed after the whole disk, which has no mount point.
  EXPECT_EQ(apfs->mount_point, "/private/tmp/brcart.5kKPp5/mnt");

  // This older output lists a partition first, and the mounted one last.
  const auto hfs = ParseAttachOutput(Sample("hdiutil-attach-plist-2-apm-hfs.xml"));
  ASSERT_TRUE(hfs);
  EXPECT_EQ(hfs->disk, (mcom::DiskName{3, 1}));
  EXPECT_EQ(hfs->mount_point, "/private/tmp/dmg.BhfS2g");
}

TEST(ParseAttachOutput, RefusesAnythingElse) {
  const char* kHeader = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
  auto document = [&](const std::string& body) { return kHeader + body + "</plist>\n"; };
  for (const std::string& output : {
           std::string(""),
           std::string("not a property list"),
           document("<array/>"),
           document("<dict><key>system-entities</key><array/></dict>"),
           document("<dict><key>system-entities</key><dict/></dict>"),
           document("<dict><key>system-entities</key><array><string>x</string></array></dict>"),
           document("<dict><key>system-entities</key><array><dict><key>dev-entry</key>"
                    "<integer>5</integer></dict></array></dict>"),
           document("<dict><key>system-entities</key><array><dict><key>dev-entry</key>"
                    "<string>/dev/disk5x</string></dict></array></dict>"),
       }) {
    EXPECT_EQ(ParseAttachOutput(output), std::nullopt) << output;
  }
  const auto mounted = ParseAttachOutput(
      document("<dict><key>system-entities</key><array><dict><key>dev-entry</key>"
               "<string>/dev/disk5s1</string><key>mount-point</key><string>/Volumes/B</string>"
               "</dict></array></dict>"));
  ASSERT_TRUE(mounted);
  EXPECT_EQ(mounted->disk, (mcom::DiskName{5, 1}));
  EXPECT_EQ(mounted->mount_point, "/Volumes/B");
}

}  // namespace
