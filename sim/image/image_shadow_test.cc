// Shadow files, growing images, and conversion: the writes that must never touch the image
// they start from.

#include <sys/stat.h>

#include <string>
#include <vector>

#include "sim/image/image_error.h"
#include "sim/image/image_file.h"
#include "sim/image/test_images.h"
#include "sim/image/test_tree.h"
#include "sim/image/volume_payload.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using sim_test::Thrown;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// What a file holds, byte for byte (its holes aside), with its times: a file that was only read
// keeps both.
struct Snapshot {
  std::string bytes;
  struct timespec modified;
  struct timespec changed;
};

class ShadowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_test::MakeRichTree(Path("system"), 1);
    ASSERT_EQ(::mkdir(Path("data").c_str(), 0755), 0);
    sim_test::WriteFile(Path("data/notes"), 1000, 2);
  }

  mcom::FilePath Path(const std::string& name) const { return folder_.Join(name); }

  // An image of the System and Data volumes made in SetUp.
  void WriteDisk(ImageFormat format, const std::string& name) const {
    WriteImage(sim_test::ContainerDisk(format, Path("system"), Path("data")), Path(name),
               ExistingImage::kRefuse);
  }

  Snapshot Take(const std::string& name) const {
    struct stat status = {};
    EXPECT_EQ(::stat(Path(name).c_str(), &status), 0);
    return {sim_test::DataRegions(Path(name)), status.st_mtim, status.st_ctim};
  }

  void ExpectUnchanged(const std::string& name, const Snapshot& before) const {
    const Snapshot after = Take(name);
    EXPECT_TRUE(after.bytes == before.bytes) << name << " changed";
    EXPECT_EQ(after.modified.tv_sec, before.modified.tv_sec);
    EXPECT_EQ(after.modified.tv_nsec, before.modified.tv_nsec);
    EXPECT_EQ(after.changed.tv_nsec, before.changed.tv_nsec);
  }

  // Extracts the volume `uuid` of `description` and compares it with the tree `expected`.
  void ExpectVolume(const ImageDescription& description, const char* uuid,
                    const std::string& expected) {
    const ImageVolume* volume = FindVolume(description, uuid);
    ASSERT_NE(volume, nullptr);
    const mcom::FilePath out = Path("out-" + std::to_string(++extracted_));
    ExtractPayload(std::get<ImagePayload>(volume->files), out);
    EXPECT_THAT(sim::TreeDifferences(Path(expected), out, sim_test::kExactCopy), IsEmpty())
        << volume->name;
  }

  // The attach-change-detach of a shadowed attach: extracts the volume `uuid`, lets `change`
  // alter its files, and records the result in the shadow.
  template <typename Change>
  void ChangeThroughShadow(const std::string& image, const std::string& shadow, const char* uuid,
                           const std::string& folder, Change change) {
    ImageDescription description = ReadImage(Path(image), Path(shadow));
    ImageVolume* volume = FindVolume(description, uuid);
    ExtractPayload(std::get<ImagePayload>(volume->files), Path(folder));
    change(Path(folder));
    volume->files = Path(folder);
    WriteShadow(Path(image), Path(shadow), description);
  }

  static bool InFile(const ImageVolume* volume, const mcom::FilePath& path) {
    struct stat file, payload;
    return ::stat(path.c_str(), &file) == 0 &&
           ::fstat(std::get<ImagePayload>(volume->files).file->get(), &payload) == 0 &&
           file.st_ino == payload.st_ino;
  }

  ::testing::TemporaryFolder folder_;
  int extracted_ = 0;
};

TEST_F(ShadowTest, AMissingShadowReadsAsTheImageAlone) {
  WriteDisk(ImageFormat::kSparse, "disk.img");
  EXPECT_EQ(sim_test::WithoutFiles(ReadImage(Path("disk.img"), Path("shadow"))),
            sim_test::WithoutFiles(ReadImage(Path("disk.img"))));
}

TEST_F(ShadowTest, HoldsTheChangedVolumesAndNeverTouchesTheImage) {
  WriteDisk(ImageFormat::kSparse, "disk.img");
  const Snapshot image = Take("disk.img");

  ChangeThroughShadow("disk.img", "shadow", sim_test::kDataUUID, "data-1",
                      [](const mcom::FilePath& root) {
                        sim_test::WriteFile(root.Join("notes"), 2000, 5);
                        sim_test::WriteFile(root.Join("added"), 10, 6);
                      });
  ExpectUnchanged("disk.img", image);

  // The combined view: the changed volume from the shadow, the other from the image. The
  // shadow holds the changed volume's data only, far less than the System volume's.
  const ImageDescription combined = ReadImage(Path("disk.img"), Path("shadow"));
  EXPECT_TRUE(InFile(FindVolume(combined, sim_test::kSystemUUID), Path("disk.img")));
  EXPECT_TRUE(InFile(FindVolume(combined, sim_test::kDataUUID), Path("shadow")));
  EXPECT_LT(sim_test::AllocatedBytes(Path("shadow")), 256u << 10);
  ExpectVolume(combined, sim_test::kSystemUUID, "system");
  ExpectVolume(combined, sim_test::kDataUUID, "data-1");
  // The image alone is as it was.
  ExpectVolume(ReadImage(Path("disk.img")), sim_test::kDataUUID, "data");

  // A second shadowed session changes the other volume; the first change stays.
  ChangeThroughShadow("disk.img", "shadow", sim_test::kSystemUUID, "system-2",
                      [](const mcom::FilePath& root) {
                        sim_test::WriteFile(root.Join("Applications/App"), 300, 7);
                      });
  ExpectUnchanged("disk.img", image);
  const ImageDescription twice = ReadImage(Path("disk.img"), Path("shadow"));
  EXPECT_TRUE(InFile(FindVolume(twice, sim_test::kSystemUUID), Path("shadow")));
  ExpectVolume(twice, sim_test::kSystemUUID, "system-2");
  ExpectVolume(twice, sim_test::kDataUUID, "data-1");
  EXPECT_THAT(sim_test::OtherNames(folder_.path(),
                                   {"disk.img", "shadow", "system", "data", "data-1", "system-2",
                                    "out-1", "out-2", "out-3", "out-4", "out-5"}),
              IsEmpty());
}

TEST_F(ShadowTest, ShadowsAReadOnlyCompressedImage) {
  WriteDisk(ImageFormat::kUDZO, "disk.dmg");
  const Snapshot image = Take("disk.dmg");
  ChangeThroughShadow(
      "disk.dmg", "shadow", sim_test::kDataUUID, "data-1",
      [](const mcom::FilePath& root) { sim_test::WriteFile(root.Join("added"), 10, 6); });
  ExpectUnchanged("disk.dmg", image);
  const ImageDescription combined = ReadImage(Path("disk.dmg"), Path("shadow"));
  EXPECT_EQ(combined.format, ImageFormat::kUDZO);
  // Payloads keep their own compression: the image's compressed, the shadow's plain.
  EXPECT_EQ(std::get<ImagePayload>(FindVolume(combined, sim_test::kSystemUUID)->files).compression,
            PayloadCompression::kGzip);
  EXPECT_EQ(std::get<ImagePayload>(FindVolume(combined, sim_test::kDataUUID)->files).compression,
            PayloadCompression::kNone);
  ExpectVolume(combined, sim_test::kSystemUUID, "system");
  ExpectVolume(combined, sim_test::kDataUUID, "data-1");
}

TEST_F(ShadowTest, GrowsOnlyAndOnlyInTheShadow) {
  sim_test::MakeRichTree(Path("hfs"), 3);
  WriteImage(sim_test::MacDisk(ImageFormat::kUDZO, Path("system"), Path("data"), Path("hfs")),
             Path("disk.dmg"), ExistingImage::kRefuse);
  const Snapshot image = Take("disk.dmg");
  const uint64_t size = ReadImage(Path("disk.dmg")).size;

  GrowImage(Path("disk.dmg"), Path("shadow"), uint64_t{2} << 30);
  ExpectUnchanged("disk.dmg", image);
  ImageDescription grown = ReadImage(Path("disk.dmg"), Path("shadow"));
  EXPECT_EQ(grown.size, uint64_t{2} << 30);
  // The last partition grew with the disk; the others kept their sizes.
  EXPECT_EQ(grown.partitions.back().size, (224u << 20) + ((uint64_t{2} << 30) - size));
  EXPECT_EQ(grown.partitions[0].size, 200u << 20);
  // Nothing changed but the size: every volume still lies in the image.
  for (const ImageVolume* volume : VolumesOf(grown)) EXPECT_TRUE(InFile(volume, Path("disk.dmg")));
  ExpectVolume(grown, sim_test::kHFSUUID, "hfs");

  // Never shrinks: not by a smaller resize, nor by a shadow write with the old size.
  GrowImage(Path("disk.dmg"), Path("shadow"), 1 << 20);
  EXPECT_EQ(ReadImage(Path("disk.dmg"), Path("shadow")).size, uint64_t{2} << 30);
  grown.size = size;
  grown.partitions.back().size = 224 << 20;
  WriteShadow(Path("disk.dmg"), Path("shadow"), grown);
  EXPECT_EQ(ReadImage(Path("disk.dmg"), Path("shadow")).size, uint64_t{2} << 30);
  ExpectUnchanged("disk.dmg", image);
}

TEST_F(ShadowTest, GrowsAWritableImageInPlaceButNotAReadOnlyOne) {
  WriteDisk(ImageFormat::kSparse, "disk.img");
  GrowImage(Path("disk.img"), {}, uint64_t{600} << 30);
  struct stat status = {};
  ASSERT_EQ(::stat(Path("disk.img").c_str(), &status), 0);
  EXPECT_EQ(static_cast<uint64_t>(status.st_size), uint64_t{600} << 30);
  const ImageDescription grown = ReadImage(Path("disk.img"));
  EXPECT_EQ(grown.size, uint64_t{600} << 30);
  ExpectVolume(grown, sim_test::kSystemUUID, "system");

  WriteDisk(ImageFormat::kUDZO, "disk.dmg");
  const Snapshot image = Take("disk.dmg");
  EXPECT_EQ(Thrown([&] { GrowImage(Path("disk.dmg"), {}, uint64_t{600} << 30); }).code(),
            std::errc::read_only_file_system);
  EXPECT_EQ(Thrown([&] { GrowImage(Path("disk.img"), {}, kMaxImageSize + 1); }).code(),
            std::errc::invalid_argument);
  ExpectUnchanged("disk.dmg", image);
}

TEST_F(ShadowTest, RefusesShadowsThatDoNotBelongToTheImage) {
  WriteDisk(ImageFormat::kSparse, "disk.img");
  // An image is no shadow, and a shadow no image.
  EXPECT_EQ(Thrown([&] { ReadImage(Path("disk.img"), Path("disk.img")); }).code(),
            ImageErrc::kNotRecognized);
  GrowImage(Path("disk.img"), Path("shadow"), uint64_t{600} << 30);
  const std::system_error error = Thrown([&] { ReadImage(Path("shadow")); });
  EXPECT_EQ(error.code(), ImageErrc::kNotRecognized);
  EXPECT_THAT(error.what(), HasSubstr("is a shadow file, not a disk image"));

  // The shadow of another image names volumes this one does not hold.
  ASSERT_EQ(::mkdir(Path("other").c_str(), 0755), 0);
  ImageDescription other;
  other.format = ImageFormat::kSparse;
  other.size = uint64_t{500} << 30;
  ImageVolume volume;
  volume.uuid = "99999999-8888-4777-8666-555555555555";
  volume.name = "Other";
  volume.files = Path("other");
  other.whole_disk.container = ImageContainer{"99999999-8888-4777-8666-444444444444", {volume}};
  WriteImage(other, Path("other.img"), ExistingImage::kRefuse);
  GrowImage(Path("other.img"), Path("other.shadow"), uint64_t{600} << 30);
  EXPECT_THAT(Thrown([&] { ReadImage(Path("disk.img"), Path("other.shadow")); }).what(),
              HasSubstr("which holds no such volume"));

  // A shadow cannot change the layout.
  ImageDescription changed = ReadImage(Path("disk.img"));
  changed.layout = ImageLayout::kGPT;
  changed.partitions = {
      {kAPFSPartitionType, "", sim_test::kAPFSPartitionUUID, changed.size, changed.whole_disk}};
  changed.whole_disk = {};
  EXPECT_EQ(Thrown([&] { WriteShadow(Path("disk.img"), Path("shadow"), changed); }).code(),
            std::errc::invalid_argument);
}

TEST_F(ShadowTest, ConvertsImagePlusShadowIntoANewCompressedImage) {
  WriteDisk(ImageFormat::kSparse, "disk.img");
  ChangeThroughShadow(
      "disk.img", "shadow", sim_test::kDataUUID, "data-1",
      [](const mcom::FilePath& root) { sim_test::WriteFile(root.Join("added"), 10, 6); });
  const Snapshot image = Take("disk.img");
  const Snapshot shadow = Take("shadow");

  std::vector<double> progress;
  ConvertImage(Path("disk.img"), Path("shadow"), Path("converted.dmg"), ImageFormat::kUDZO,
               [&](double percent) { progress.push_back(percent); });
  ExpectUnchanged("disk.img", image);
  ExpectUnchanged("shadow", shadow);

  ASSERT_GE(progress.size(), 3u);
  EXPECT_EQ(progress.front(), 0);
  EXPECT_EQ(progress.back(), 100);
  for (size_t index = 1; index < progress.size(); ++index) {
    EXPECT_GT(progress[index], progress[index - 1]);
  }

  const ImageDescription converted = ReadImage(Path("converted.dmg"));
  EXPECT_EQ(converted.format, ImageFormat::kUDZO);
  EXPECT_EQ(converted.size, uint64_t{500} << 30);
  for (const ImageVolume* volume : VolumesOf(converted)) {
    EXPECT_EQ(std::get<ImagePayload>(volume->files).compression, PayloadCompression::kGzip);
    EXPECT_TRUE(InFile(volume, Path("converted.dmg")));
  }
  ExpectVolume(converted, sim_test::kSystemUUID, "system");
  ExpectVolume(converted, sim_test::kDataUUID, "data-1");
  // A compressed image is not as long as its disk.
  EXPECT_LT(Take("converted.dmg").bytes.size(), 16u << 20);
}

TEST_F(ShadowTest, ConvertsBackAndRefusesAnExistingDestination) {
  WriteDisk(ImageFormat::kUDZO, "disk.dmg");
  ConvertImage(Path("disk.dmg"), {}, Path("plain.img"), ImageFormat::kUDRW, nullptr);
  const ImageDescription plain = ReadImage(Path("plain.img"));
  for (const ImageVolume* volume : VolumesOf(plain)) {
    EXPECT_EQ(std::get<ImagePayload>(volume->files).compression, PayloadCompression::kNone);
  }
  ExpectVolume(plain, sim_test::kSystemUUID, "system");

  const Snapshot before = Take("plain.img");
  int calls = 0;
  EXPECT_EQ(Thrown([&] {
              ConvertImage(Path("disk.dmg"), {}, Path("plain.img"), ImageFormat::kUDZO,
                           [&](double) { ++calls; });
            }).code(),
            std::errc::file_exists);
  EXPECT_EQ(calls, 0);
  ExpectUnchanged("plain.img", before);
  EXPECT_EQ(Thrown([&] {
              ConvertImage(Path("missing.dmg"), {}, Path("new.dmg"), ImageFormat::kUDZO, nullptr);
            }).code(),
            std::errc::no_such_file_or_directory);
  EXPECT_THAT(
      sim_test::OtherNames(folder_.path(), {"disk.dmg", "plain.img", "system", "data", "out-1"}),
      IsEmpty());
}

}  // namespace
}  // namespace sim
