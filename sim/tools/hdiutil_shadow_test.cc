// The recovery builder's use of hdiutil on the machine's own Base System image: grow it in a
// shadow, attach it with the shadow at a mount point, change it, detach by mount point, and
// compress image plus shadow into a new image; the source image never changes.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "core/foundation/property_list.h"
#include "sim/image/image_file.h"
#include "sim/image/test_tree.h"
#include "sim/machine/volume_store.h"
#include "sim/tools/hdiutil_test_support.h"

namespace sim::tools::testing {
namespace {

namespace cf = mcom::cf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class HdiutilShadowTest : public HdiutilTest {
 protected:
  // The recovery system's image on the machine's Recovery volume.
  mcom::FilePath BaseSystemImage() {
    const Model model = machine().Read();
    for (const Volume& volume : model.volumes) {
      if (!volume.HasRole("Recovery")) continue;
      const std::string files = VolumeFilesPath(root(), volume).string();
      for (const auto& entry : std::filesystem::recursive_directory_iterator(files)) {
        if (entry.path().filename() == "BaseSystem.dmg")
          return mcom::FilePath(entry.path().string());
      }
    }
    ADD_FAILURE() << "no BaseSystem.dmg on the machine";
    return {};
  }
};

TEST_F(HdiutilShadowTest, TheBaseSystemIsCustomisedThroughAShadowAndCompressed) {
  const mcom::FilePath source = BaseSystemImage();
  const std::string source_bytes = FileBytes(source);
  ASSERT_FALSE(source_bytes.empty());
  const mcom::FilePath shadow = folder().Join("shadow-folder/shadow");
  std::filesystem::create_directories(shadow.Parent().string());
  const mcom::FilePath mount_point = folder().Join("mount-point");
  std::filesystem::create_directory(mount_point.string());
  std::filesystem::permissions(mount_point.string(), std::filesystem::perms(0700));

  // Grown to 2 GiB in the shadow only.
  const ToolOutcome resized =
      Hdiutil({"resize", "-size", "2g", "-growonly", source.string(), "-shadow", shadow.string()});
  ASSERT_EQ(resized.status, 0) << resized.err;
  EXPECT_EQ(resized.out, "");
  EXPECT_TRUE(std::filesystem::exists(shadow.string()));
  EXPECT_EQ(ReadImage(source, shadow).size, uint64_t{2} << 30);

  // Attached at the mount point with the shadow; the volume's files are there.
  const ToolOutcome attached =
      Hdiutil({"attach", "-mount", "required", "-mountpoint", mount_point.string(), "-noverify",
               "-noautoopen", source.string(), "-shadow", shadow.string()});
  ASSERT_EQ(attached.status, 0) << attached.err;
  // Text form: the whole disk with its partition scheme, the HFS+ partition at the mount point.
  std::istringstream lines(attached.out);
  std::string whole_line;
  std::string volume_line;
  std::getline(lines, whole_line);
  std::getline(lines, volume_line);
  EXPECT_THAT(whole_line, ::testing::MatchesRegex("/dev/disk[0-9]+ +\tGUID_partition_scheme +\t"));
  EXPECT_THAT(volume_line, ::testing::MatchesRegex("/dev/disk[0-9]+s1 +\tApple_HFS +\t.*"));
  EXPECT_THAT(volume_line, ::testing::EndsWith("\t" + mount_point.string()));
  const std::vector<Disk> disks = ImageDisks();
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_EQ(disks[0].shadow_path, shadow.string());
  EXPECT_EQ(disks[0].size, uint64_t{2} << 30);
  EXPECT_TRUE(disks[0].writable);
  EXPECT_EQ(disks[0].media_name, "Apple UDIF read-only compressed (zlib) Media");
  ASSERT_TRUE(std::filesystem::exists(
      mount_point.Join("System/Library/CoreServices/SystemVersion.plist").string()));

  // The customisation: an application and a changed Utilities list.
  std::filesystem::create_directories(mount_point.Join("Applications/Added.app/Contents").string());
  sim_test::WriteBytes(mount_point.Join("Applications/Added.app/Contents/Info.plist"), "added");

  // Detached by its mount point: the mount point is an empty folder again, with its mode.
  const ToolOutcome detached = Hdiutil({"detach", mount_point.string()});
  ASSERT_EQ(detached.status, 0) << detached.err;
  EXPECT_EQ(detached.out, EjectedLine(mcom::FormatDiskName(disks[0].name())));
  EXPECT_TRUE(std::filesystem::is_empty(mount_point.string()));
  EXPECT_EQ(std::filesystem::status(mount_point.string()).permissions(),
            std::filesystem::perms(0700));
  EXPECT_TRUE(ImageDisks().empty());
  EXPECT_EQ(FileBytes(source), source_bytes);

  // Converted: PERCENT lines rising from 0 to 100, then the created line.
  const mcom::FilePath destination = folder().Join("BaseSystem-custom.dmg");
  const ToolOutcome converted =
      Hdiutil({"convert", "-format", "UDZO", "-o", destination.string(), "-puppetstrings",
               source.string(), "-shadow", shadow.string()});
  ASSERT_EQ(converted.status, 0) << converted.err;
  std::istringstream output(converted.out);
  std::vector<double> percents;
  std::string line;
  std::string last;
  while (std::getline(output, line)) {
    double value = 0;
    if (std::sscanf(line.c_str(), "PERCENT:%lf", &value) == 1) percents.push_back(value);
    last = line;
  }
  ASSERT_GE(percents.size(), 2u);
  EXPECT_LE(percents.size(), 60u);
  EXPECT_EQ(percents.front(), 0.0);
  EXPECT_EQ(percents.back(), 100.0);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_EQ(last, "created: " + destination.string());
  EXPECT_THAT(converted.out, HasSubstr("PERCENT:100.000000\n"));

  // The new image holds the change; the source and the shadow's own image did not change.
  const ImageDescription written = ReadImage(destination);
  EXPECT_EQ(written.format, ImageFormat::kUDZO);
  EXPECT_EQ(written.size, uint64_t{2} << 30);
  const ToolOutcome reattached = Hdiutil(
      {"attach", "-nobrowse", "-owners", "on", "-readonly", "-plist", destination.string()});
  ASSERT_EQ(reattached.status, 0) << reattached.err;
  const auto entities = Entities(cf::As<cf::Dictionary>(
      cf::PropertyListFromBytes(reattached.out.data(), reattached.out.size())));
  ASSERT_EQ(entities.size(), 2u);
  EXPECT_EQ(cf::GetString(entities[0], "content-hint"), "GUID_partition_scheme");
  EXPECT_EQ(cf::GetString(entities[1], "content-hint"), "Apple_HFS");
  EXPECT_EQ(cf::GetString(entities[1], "unmapped-content-hint"),
            "48465300-0000-11AA-AA11-00306543ECAC");
  EXPECT_EQ(cf::GetString(entities[1], "volume-kind"), "hfs");
  const std::string mounted = cf::GetString(entities[1], "mount-point").value_or("");
  EXPECT_EQ(mounted, root().Join("Volumes/macOS Base System").string());
  EXPECT_EQ(sim_test::ReadBytes(
                mcom::FilePath(mounted).Join("Applications/Added.app/Contents/Info.plist")),
            "added");
  EXPECT_TRUE(std::filesystem::exists(
      mcom::FilePath(mounted).Join("System/Library/CoreServices/SystemVersion.plist").string()));
  EXPECT_EQ(Hdiutil({"detach", "-force", DevName(entities[0])}).status, 0);
  EXPECT_EQ(FileBytes(source), source_bytes);

  // A second customisation through the same shadow starts from the first.
  ASSERT_EQ(Hdiutil({"attach", "-mount", "required", "-mountpoint", mount_point.string(),
                     "-noverify", "-noautoopen", source.string(), "-shadow", shadow.string()})
                .status,
            0);
  EXPECT_EQ(sim_test::ReadBytes(mount_point.Join("Applications/Added.app/Contents/Info.plist")),
            "added");
  EXPECT_EQ(Hdiutil({"detach", mount_point.string()}).status, 0);
  EXPECT_EQ(FileBytes(source), source_bytes);
}

TEST_F(HdiutilShadowTest, ACompressedImageIsNeverAttachedForWritingWithoutAShadow) {
  const mcom::FilePath source = BaseSystemImage();
  const ToolOutcome refused =
      Hdiutil({"attach", "-nobrowse", "-owners", "on", "-readwrite", "-plist", source.string()});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "hdiutil: attach failed - Read-only file system\n");
  const ToolOutcome grown = Hdiutil({"resize", "-size", "2g", "-growonly", source.string()});
  EXPECT_EQ(grown.status, 1);
  EXPECT_EQ(grown.err, "hdiutil: resize failed - Read-only file system\n");
  EXPECT_TRUE(ImageDisks().empty());

  // Without -readonly or -readwrite it attaches read-only.
  const ToolOutcome attached = Hdiutil({"attach", "-nobrowse", "-plist", source.string()});
  ASSERT_EQ(attached.status, 0) << attached.err;
  ASSERT_EQ(ImageDisks().size(), 1u);
  EXPECT_FALSE(ImageDisks()[0].writable);
  EXPECT_EQ(Hdiutil({"detach", mcom::FormatDiskName(ImageDisks()[0].name())}).status, 0);
}

}  // namespace
}  // namespace sim::tools::testing
