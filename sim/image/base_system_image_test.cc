#include "sim/image/base_system_image.h"

#include <sys/stat.h>

#include <string>

#include "sim/image/image_file.h"
#include "sim/image/test_images.h"
#include "sim/image/test_tree.h"
#include "sim/image/volume_payload.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using sim_test::Thrown;
using ::testing::IsEmpty;

class BaseSystemImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // What a recovery system holds, in small.
    const std::string root = Path("base").string();
    for (const char* folder :
         {"", "/System", "/System/Library", "/System/Library/CoreServices", "/System/Installation",
          "/System/Installation/CDIS", "/System/Installation/CDIS/macOS Utilities.app",
          "/System/Installation/CDIS/macOS Utilities.app/Contents",
          "/System/Installation/CDIS/macOS Utilities.app/Contents/Resources", "/Applications"}) {
      ASSERT_EQ(::mkdir((root + folder).c_str(), 0755), 0) << folder;
    }
    sim_test::WriteBytes(Path("base/System/Library/CoreServices/SystemVersion.plist"),
                         "<plist><dict><key>ProductVersion</key><string>10.15.7</string>"
                         "</dict></plist>");
    sim_test::WriteBytes(
        Path("base/System/Installation/CDIS/macOS Utilities.app/Contents/Resources/"
             "Utilities.plist"),
        "<plist><dict><key>Buttons</key><array/></dict></plist>");
  }

  mcom::FilePath Path(const std::string& name) const { return folder_.Join(name); }

  ImageDescription Extract(const std::string& image, const std::string& shadow,
                           const std::string& out) {
    const ImageDescription description =
        ReadImage(Path(image), shadow.empty() ? mcom::FilePath() : Path(shadow));
    ExtractPayload(std::get<ImagePayload>(VolumesOf(description).at(0)->files), Path(out));
    return description;
  }

  ::testing::TemporaryFolder folder_;
};

TEST_F(BaseSystemImageTest, IsACompressedImageWithOneHFSVolume) {
  BaseSystemImageOptions options;
  options.volume_uuid = sim_test::kHFSUUID;
  options.partition_uuid = sim_test::kHFSPartitionUUID;
  options.disk_uuid = sim_test::kDiskUUID;
  MakeBaseSystemImage(Path("BaseSystem.dmg"), Path("base"), options);

  const ImageDescription description = Extract("BaseSystem.dmg", "", "out");
  EXPECT_EQ(description.format, ImageFormat::kUDZO);
  EXPECT_EQ(description.size, kDefaultBaseSystemImageSize);
  EXPECT_EQ(description.layout, ImageLayout::kGPT);
  EXPECT_EQ(description.disk_uuid, sim_test::kDiskUUID);
  ASSERT_EQ(description.partitions.size(), 1u);
  const ImagePartition& partition = description.partitions[0];
  EXPECT_EQ(partition.type, kHFSPartitionType);
  EXPECT_EQ(partition.name, "disk image");
  EXPECT_EQ(partition.uuid, sim_test::kHFSPartitionUUID);
  EXPECT_EQ(partition.size, description.size);
  ASSERT_TRUE(partition.content.volume);
  EXPECT_EQ(partition.content.volume->name, "macOS Base System");
  EXPECT_EQ(partition.content.volume->uuid, sim_test::kHFSUUID);
  EXPECT_EQ(partition.content.volume->file_system, VolumeFileSystem::kHFS);
  EXPECT_THAT(partition.content.volume->roles, IsEmpty());
  EXPECT_THAT(sim_test::TreeDifferences(Path("base"), Path("out")), IsEmpty());

  // The same files and UUIDs make the same image, byte for byte.
  MakeBaseSystemImage(Path("again.dmg"), Path("base"), options);
  EXPECT_TRUE(sim_test::ReadBytes(Path("again.dmg")) ==
              sim_test::ReadBytes(Path("BaseSystem.dmg")));
}

TEST_F(BaseSystemImageTest, FillsTheWholeDiskWithoutAPartitionMap) {
  BaseSystemImageOptions options;
  options.layout = ImageLayout::kNone;
  options.size = 800 << 20;
  MakeBaseSystemImage(Path("BaseSystem.dmg"), Path("base"), options);
  const ImageDescription description = Extract("BaseSystem.dmg", "", "out");
  EXPECT_EQ(description.size, 800u << 20);
  EXPECT_THAT(description.partitions, IsEmpty());
  ASSERT_TRUE(description.whole_disk.volume);
  EXPECT_EQ(description.whole_disk.volume->name, kBaseSystemVolumeName);
  EXPECT_TRUE(IsWellFormedUUID(description.whole_disk.volume->uuid));
  EXPECT_THAT(sim_test::TreeDifferences(Path("base"), Path("out")), IsEmpty());
}

TEST_F(BaseSystemImageTest, RefusesAnExistingFileAndBadOptions) {
  sim_test::WriteBytes(Path("BaseSystem.dmg"), "taken");
  EXPECT_EQ(Thrown([&] { MakeBaseSystemImage(Path("BaseSystem.dmg"), Path("base")); }).code(),
            std::errc::file_exists);
  EXPECT_EQ(sim_test::ReadBytes(Path("BaseSystem.dmg")), "taken");
  BaseSystemImageOptions options;
  options.volume_uuid = "not-a-uuid";
  EXPECT_EQ(Thrown([&] { MakeBaseSystemImage(Path("a.dmg"), Path("base"), options); }).code(),
            std::errc::invalid_argument);
  options = {};
  options.layout = ImageLayout::kNone;
  options.partition_uuid = sim_test::kHFSPartitionUUID;
  EXPECT_EQ(Thrown([&] { MakeBaseSystemImage(Path("b.dmg"), Path("base"), options); }).code(),
            std::errc::invalid_argument);
  options = {};
  options.size = 0;
  EXPECT_EQ(Thrown([&] { MakeBaseSystemImage(Path("c.dmg"), Path("base"), options); }).code(),
            std::errc::invalid_argument);
}

// The recovery builder's customisation: grow the image into a shadow, attach with the shadow,
// add an application, detach into the shadow, convert image plus shadow to a new compressed
// image. The machine's own image stays as it was.
TEST_F(BaseSystemImageTest, CustomisesThroughAShadowWithoutTouchingTheImage) {
  MakeBaseSystemImage(Path("BaseSystem.dmg"), Path("base"));
  const std::string original = sim_test::ReadBytes(Path("BaseSystem.dmg"));

  GrowImage(Path("BaseSystem.dmg"), Path("shadow"), uint64_t{2} << 30);
  ImageDescription attached = Extract("BaseSystem.dmg", "shadow", "mounted");
  ASSERT_EQ(::mkdir(Path("mounted/Applications/Backup.app").c_str(), 0755), 0);
  sim_test::WriteFile(Path("mounted/Applications/Backup.app/Executable"), 70000, 4);
  VolumesOf(attached).at(0)->files = Path("mounted");
  WriteShadow(Path("BaseSystem.dmg"), Path("shadow"), attached);

  std::vector<double> progress;
  ConvertImage(Path("BaseSystem.dmg"), Path("shadow"), Path("Customized.dmg"), ImageFormat::kUDZO,
               [&](double percent) { progress.push_back(percent); });
  EXPECT_TRUE(sim_test::ReadBytes(Path("BaseSystem.dmg")) == original);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 100);

  const ImageDescription customized = Extract("Customized.dmg", "", "check");
  EXPECT_EQ(customized.format, ImageFormat::kUDZO);
  EXPECT_EQ(customized.size, uint64_t{2} << 30);
  EXPECT_EQ(customized.partitions.at(0).size, uint64_t{2} << 30);
  EXPECT_THAT(sim_test::TreeDifferences(Path("mounted"), Path("check")), IsEmpty());
}

}  // namespace
}  // namespace sim
