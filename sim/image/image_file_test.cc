#include "sim/image/image_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "sim/image/image_error.h"
#include "sim/image/test_images.h"
#include "sim/image/test_tree.h"
#include "sim/image/volume_payload.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using sim_test::Thrown;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class ImageFileTest : public ::testing::Test {
 protected:
  mcom::FilePath Path(const std::string& name) const { return folder_.Join(name); }

  struct stat Status(const std::string& name) const {
    struct stat status = {};
    EXPECT_EQ(::lstat(Path(name).c_str(), &status), 0) << name;
    return status;
  }

  // Three trees for the three volumes of a disk.
  void MakeTrees() {
    sim_test::MakeRichTree(Path("system"), 1);
    sim_test::MakeRichTree(Path("data"), 2);
    ASSERT_EQ(::mkdir(Path("hfs").c_str(), 0755), 0);
    sim_test::WriteFile(Path("hfs/boot.efi"), 5000, 3);
  }

  // Extracts every volume of `description` and checks it against the tree it came from.
  void ExpectVolumesHold(const ImageDescription& description,
                         const std::vector<std::string>& trees) {
    const std::vector<const ImageVolume*> volumes = VolumesOf(description);
    ASSERT_EQ(volumes.size(), trees.size());
    for (size_t index = 0; index < volumes.size(); ++index) {
      const mcom::FilePath out = Path("out-" + std::to_string(++extracted_));
      ExtractPayload(std::get<ImagePayload>(volumes[index]->files), out);
      EXPECT_THAT(sim::TreeDifferences(Path(trees[index]), out, sim_test::kExactCopy), IsEmpty())
          << volumes[index]->name;
    }
  }

  ::testing::TemporaryFolder folder_;
  int extracted_ = 0;
};

TEST_F(ImageFileTest, CreatesALargeSparseImageThatTakesNoRoom) {
  const uint64_t size = uint64_t{500} * 1000 * 1000 * 1000;
  CreateSparseImage(Path("backup.sparseimage"), size);
  const struct stat status = Status("backup.sparseimage");
  EXPECT_EQ(static_cast<uint64_t>(status.st_size), size);
  EXPECT_LT(static_cast<uint64_t>(status.st_blocks) * 512, 64u << 10);
  EXPECT_EQ(
      status.st_mode & 0777, 0666 & ~[] {
        const mode_t mask = ::umask(022);
        ::umask(mask);
        return mask;
      }());

  const ImageDescription description = ReadImage(Path("backup.sparseimage"));
  EXPECT_EQ(description.format, ImageFormat::kSparse);
  EXPECT_EQ(description.size, size);
  EXPECT_EQ(description.layout, ImageLayout::kNone);
  EXPECT_FALSE(description.whole_disk.container || description.whole_disk.volume);
  EXPECT_THAT(description.partitions, IsEmpty());
  // Nothing else was left beside it.
  EXPECT_THAT(sim_test::OtherNames(folder_.path(), {"backup.sparseimage"}), IsEmpty());
}

TEST_F(ImageFileTest, CreateRefusesAnythingAtThePathAndImpossibleSizes) {
  sim_test::WriteBytes(Path("taken"), "mine");
  EXPECT_EQ(Thrown([&] { CreateSparseImage(Path("taken"), 1 << 20); }).code(),
            std::errc::file_exists);
  EXPECT_EQ(sim_test::ReadBytes(Path("taken")), "mine");
  ASSERT_EQ(::symlink("nowhere", Path("dangling").c_str()), 0);
  EXPECT_EQ(Thrown([&] { CreateSparseImage(Path("dangling"), 1 << 20); }).code(),
            std::errc::file_exists);
  EXPECT_EQ(Thrown([&] { CreateSparseImage(Path("zero"), 0); }).code(),
            std::errc::invalid_argument);
  EXPECT_EQ(Thrown([&] { CreateSparseImage(Path("huge"), kMaxImageSize + 1); }).code(),
            std::errc::invalid_argument);
  EXPECT_EQ(Thrown([&] { CreateSparseImage(Path("missing/image"), 1 << 20); }).code(),
            std::errc::no_such_file_or_directory);
  EXPECT_THAT(sim_test::OtherNames(folder_.path(), {"taken", "dangling"}), IsEmpty());
}

TEST_F(ImageFileTest, ReadRefusesWhatIsNoFile) {
  EXPECT_EQ(Thrown([&] { ReadImage(Path("missing")); }).code(),
            std::errc::no_such_file_or_directory);
  ASSERT_EQ(::mkdir(Path("folder").c_str(), 0755), 0);
  EXPECT_EQ(Thrown([&] { ReadImage(Path("folder")); }).code(), std::errc::is_a_directory);
  // Opening a FIFO for reading would wait for a writer; the reader must not hang on one.
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0644), 0);
  EXPECT_EQ(Thrown([&] { ReadImage(Path("fifo")); }).code(), ImageErrc::kNotRecognized);
  sim_test::WriteBytes(Path("text"), "just some text\n");
  const std::system_error error = Thrown([&] { ReadImage(Path("text")); });
  EXPECT_EQ(error.code(), ImageErrc::kNotRecognized);
  EXPECT_THAT(error.what(), HasSubstr(Path("text").string()));
  EXPECT_THAT(error.what(), HasSubstr("image not recognized"));
}

class ImageFormatRoundTripTest : public ImageFileTest,
                                 public ::testing::WithParamInterface<ImageFormat> {};

TEST_P(ImageFormatRoundTripTest, KeepsTheDiskAndEveryVolume) {
  MakeTrees();
  const ImageDescription written =
      sim_test::MacDisk(GetParam(), Path("system"), Path("data"), Path("hfs"));
  WriteImage(written, Path("disk.img"), ExistingImage::kRefuse);

  const ImageDescription read = ReadImage(Path("disk.img"));
  EXPECT_EQ(sim_test::WithoutFiles(read), sim_test::WithoutFiles(written));
  for (const ImageVolume* volume : VolumesOf(read)) {
    EXPECT_EQ(std::get<ImagePayload>(volume->files).compression, GetParam() == ImageFormat::kUDZO
                                                                     ? PayloadCompression::kGzip
                                                                     : PayloadCompression::kNone);
  }
  ExpectVolumesHold(read, {"system", "data", "hfs"});

  const struct stat status = Status("disk.img");
  if (GetParam() == ImageFormat::kSparse) {
    // As long as the disk, holding only its data.
    EXPECT_EQ(static_cast<uint64_t>(status.st_size), written.size);
    EXPECT_LT(static_cast<uint64_t>(status.st_blocks) * 512, 32u << 20);
  } else {
    EXPECT_LT(static_cast<uint64_t>(status.st_size), 32u << 20);
  }
}

TEST_P(ImageFormatRoundTripTest, KeepsAWholeDiskContainer) {
  MakeTrees();
  const ImageDescription written =
      sim_test::ContainerDisk(GetParam(), Path("system"), Path("data"));
  WriteImage(written, Path("disk.img"), ExistingImage::kRefuse);
  const ImageDescription read = ReadImage(Path("disk.img"));
  EXPECT_EQ(sim_test::WithoutFiles(read), sim_test::WithoutFiles(written));
  ExpectVolumesHold(read, {"system", "data"});
}

INSTANTIATE_TEST_SUITE_P(Formats, ImageFormatRoundTripTest,
                         ::testing::Values(ImageFormat::kSparse, ImageFormat::kUDZO,
                                           ImageFormat::kUDRW),
                         [](const auto& test) { return ImageFormatName(test.param); });

TEST_F(ImageFileTest, RewritesAnImageInPlaceFromItsOwnPayloads) {
  MakeTrees();
  WriteImage(sim_test::MacDisk(ImageFormat::kSparse, Path("system"), Path("data"), Path("hfs")),
             Path("disk.img"), ExistingImage::kRefuse);
  ASSERT_EQ(::chmod(Path("disk.img").c_str(), 0604), 0);

  // The detach of a read-write attach: one volume changed, the others are copied from the
  // very file that is being replaced.
  ImageDescription description = ReadImage(Path("disk.img"));
  ASSERT_EQ(::mkdir(Path("changed").c_str(), 0700), 0);
  sim_test::WriteFile(Path("changed/new file"), 100, 9);
  FindVolume(description, sim_test::kDataUUID)->files = Path("changed");
  WriteImage(description, Path("disk.img"), ExistingImage::kReplace);

  EXPECT_EQ(Status("disk.img").st_mode & 07777, 0604u);
  ExpectVolumesHold(ReadImage(Path("disk.img")), {"system", "changed", "hfs"});
  EXPECT_THAT(sim_test::OtherNames(folder_.path(), {"disk.img", "system", "data", "hfs", "changed",
                                                    "out-1", "out-2", "out-3"}),
              IsEmpty());
}

TEST_F(ImageFileTest, AFailedWriteLeavesTheDestinationAsItWas) {
  MakeTrees();
  WriteImage(sim_test::ContainerDisk(ImageFormat::kUDRW, Path("system"), Path("data")),
             Path("disk.img"), ExistingImage::kRefuse);
  const std::string before = sim_test::ReadBytes(Path("disk.img"));

  // A volume whose folder is gone.
  ImageDescription description = ReadImage(Path("disk.img"));
  FindVolume(description, sim_test::kDataUUID)->files = Path("vanished");
  EXPECT_EQ(
      Thrown([&] { WriteImage(description, Path("disk.img"), ExistingImage::kReplace); }).code(),
      std::errc::no_such_file_or_directory);
  // A description that is not valid.
  description = ReadImage(Path("disk.img"));
  description.size = 0;
  EXPECT_EQ(
      Thrown([&] { WriteImage(description, Path("disk.img"), ExistingImage::kReplace); }).code(),
      std::errc::invalid_argument);
  // An existing destination that must not be replaced.
  description = ReadImage(Path("disk.img"));
  EXPECT_EQ(
      Thrown([&] { WriteImage(description, Path("disk.img"), ExistingImage::kRefuse); }).code(),
      std::errc::file_exists);

  EXPECT_TRUE(sim_test::ReadBytes(Path("disk.img")) == before);
  EXPECT_THAT(sim_test::OtherNames(folder_.path(), {"disk.img", "system", "data", "hfs"}),
              IsEmpty());
}

TEST_F(ImageFileTest, ReadsAVolumeFromAFileThatWasReplacedMeanwhile) {
  MakeTrees();
  WriteImage(sim_test::ContainerDisk(ImageFormat::kUDRW, Path("system"), Path("data")),
             Path("disk.img"), ExistingImage::kRefuse);
  const ImageDescription description = ReadImage(Path("disk.img"));
  // Another writer replaces the image (a blank one); the description still reads the old.
  ASSERT_EQ(::unlink(Path("disk.img").c_str()), 0);
  CreateSparseImage(Path("disk.img"), 1 << 20);
  ExpectVolumesHold(description, {"system", "data"});
}

}  // namespace
}  // namespace sim
