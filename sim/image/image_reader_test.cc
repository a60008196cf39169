// Damaged and hostile image files: every one must be refused with a clear error, never read
// as something else, never crash the reader.

#include "sim/image/image_reader.h"

#include <sys/stat.h>

#include <string>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/extended_attributes.h"
#include "core/foundation/property_list.h"
#include "sim/image/image_error.h"
#include "sim/image/image_file.h"
#include "sim/image/image_file_format.h"
#include "sim/image/test_images.h"
#include "sim/image/test_tree.h"
#include "sim/image/volume_payload.h"
#include "tests/support/temporary_folder.h"

namespace sim::image_internal {
namespace {

namespace cf = mcom::cf;
using sim_test::Thrown;
using ::testing::HasSubstr;

// The error of describing `bytes` as an image, or success.
std::error_code DescribeError(const std::string& bytes) {
  try {
    DescribeImageBytes(bytes);
  } catch (const std::system_error& error) {
    return error.code();
  }
  return {};
}

std::string DescribeMessage(const std::string& bytes) {
  return Thrown([&] { DescribeImageBytes(bytes); }).what();
}

class ImageReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Small volumes: the tests below copy and damage the whole image thousands of times.
    ASSERT_EQ(::mkdir(folder_.Join("system").c_str(), 0755), 0);
    sim_test::WriteFile(folder_.Join("system/file"), 3000, 1);
    ASSERT_EQ(::symlink("file", folder_.Join("system/link").c_str()), 0);
    ASSERT_EQ(::mkdir(folder_.Join("data").c_str(), 0755), 0);
    sim_test::WriteFile(folder_.Join("data/file"), 7000, 2);
    WriteImage(
        sim_test::ContainerDisk(ImageFormat::kUDRW, folder_.Join("system"), folder_.Join("data")),
        folder_.Join("disk.img"), ExistingImage::kRefuse);
    image_ = sim_test::ReadBytes(folder_.Join("disk.img"));
    header_ = DecodeImageHeader(image_, image_.size(), "disk.img");
  }

  // The image with its metadata replaced by `root` (a binary property list), placed where
  // the old metadata began.
  std::string WithMetadata(const cf::Ref<cf::Object>& root, ImageHeader header) const {
    const cf::Ref<cf::Data> metadata =
        cf::PropertyListToData(root, cf::PropertyListFormat::kBinary);
    header.metadata_length = metadata->AsStringView().size();
    std::string bytes = image_.substr(0, header_.metadata_offset);
    bytes.replace(0, kImageHeaderLength, EncodeImageHeader(header));
    bytes.append(metadata->AsStringView());
    return bytes;
  }
  std::string WithMetadata(const cf::Ref<cf::Object>& root) const {
    return WithMetadata(root, header_);
  }

  // The image's header property list with `key` set to `value` (removed when null).
  std::string WithHeaderValue(const char* key, const cf::Ref<cf::Object>& value) const {
    const size_t end = image_.find('\0', sizeof(kImageMagic) - 1);
    const std::string text =
        image_.substr(sizeof(kImageMagic) - 1, end - (sizeof(kImageMagic) - 1));
    const cf::Ref<cf::MutableDictionary> header =
        cf::As<cf::Dictionary>(cf::PropertyListFromBytes(text.data(), text.size()))->MutableCopy();
    if (value) {
      header->SetValue(key, value);
    } else {
      header->RemoveValue(key);
    }
    std::string bytes(kImageMagic);
    bytes.append(cf::PropertyListToData(header, cf::PropertyListFormat::kXML)->AsStringView());
    bytes.resize(kImageHeaderLength, '\0');
    return bytes + image_.substr(kImageHeaderLength);
  }

  // The metadata of the valid image as a mutable dictionary, and its first volume.
  cf::Ref<cf::MutableDictionary> Metadata() const {
    const std::string bytes = image_.substr(header_.metadata_offset, header_.metadata_length);
    return cf::As<cf::Dictionary>(cf::PropertyListFromBytes(bytes.data(), bytes.size()))
        ->MutableCopy();
  }

  // The metadata with one value of the first volume changed (removed when null).
  std::string WithVolumeValue(const char* key, const cf::Ref<cf::Object>& value) const {
    const cf::Ref<cf::MutableDictionary> root = Metadata();
    const cf::Ref<cf::MutableDictionary> whole = root->GetDictionary("WholeDisk")->MutableCopy();
    const cf::Ref<cf::MutableDictionary> container =
        whole->GetDictionary("Container")->MutableCopy();
    const cf::Ref<cf::MutableArray> volumes = container->GetArray("Volumes")->MutableCopy();
    const cf::Ref<cf::MutableDictionary> volume = volumes->Get<cf::Dictionary>(0)->MutableCopy();
    if (value) {
      volume->SetValue(key, value);
    } else {
      volume->RemoveValue(key);
    }
    volumes->RemoveAt(0);
    volumes->Insert(0, volume);
    container->SetValue("Volumes", volumes);
    whole->SetValue("Container", container);
    root->SetValue("WholeDisk", whole);
    return WithMetadata(root);
  }

  ::testing::TemporaryFolder folder_;
  std::string image_;
  ImageHeader header_;
};

cf::Ref<cf::Object> Number(uint64_t value) { return cf::Number::CreateUnsigned(value); }
cf::Ref<cf::Object> Text(const char* text) { return cf::String::Create(text); }

TEST_F(ImageReaderTest, ReadsTheValidImage) {
  EXPECT_EQ(DescribeError(image_), std::error_code());
  EXPECT_EQ(sim_test::WithoutFiles(DescribeImageBytes(image_)),
            sim_test::WithoutFiles(ReadImage(folder_.Join("disk.img"))));
}

TEST_F(ImageReaderTest, RefusesTheImageCutShortAnywhere) {
  // Inside the magic line, the header, the payloads, the metadata, its last byte.
  for (const size_t length :
       {size_t{0}, size_t{1}, size_t{19}, size_t{20}, size_t{100}, size_t{4095}, size_t{4096},
        size_t{5000}, size_t(header_.metadata_offset), size_t(header_.metadata_offset + 1),
        image_.size() - 1}) {
    const std::string cut = image_.substr(0, length);
    EXPECT_EQ(DescribeError(cut), length < 20 ? ImageErrc::kNotRecognized : ImageErrc::kCorrupt)
        << length;
    // The same through a file.
    sim_test::WriteBytes(folder_.Join("cut.img"), cut);
    EXPECT_EQ(Thrown([&] { ReadImage(folder_.Join("cut.img")); }).code().category(),
              image_category())
        << length;
  }
  EXPECT_THAT(DescribeMessage(image_.substr(0, 4000)), HasSubstr("truncated"));
  EXPECT_THAT(DescribeMessage(image_.substr(0, image_.size() - 1)),
              HasSubstr("past the end of the file"));
}

TEST_F(ImageReaderTest, RefusesOtherFilesAsNotAnImage) {
  EXPECT_EQ(DescribeError(""), ImageErrc::kNotRecognized);
  EXPECT_EQ(DescribeError("DORVANE-SIM-IMAGE 2\n" + image_.substr(20)), ImageErrc::kNotRecognized);
  EXPECT_EQ(DescribeError("dorvane-sim-image 1\n" + image_.substr(20)), ImageErrc::kNotRecognized);
  EXPECT_EQ(DescribeError(std::string("\x89PNG\r\n\x1a\n", 8) + std::string(5000, '\0')),
            ImageErrc::kNotRecognized);
  EXPECT_THAT(DescribeMessage("hello"), HasSubstr("not a disk image"));
}

TEST_F(ImageReaderTest, SurvivesEveryFlippedByteOfTheHeader) {
  for (size_t offset = 0; offset < kImageHeaderLength; ++offset) {
    std::string damaged = image_;
    damaged[offset] = static_cast<char>(damaged[offset] ^ 0xff);
    const std::error_code error = DescribeError(damaged);
    // The magic line, the property list's markup and the zero padding are all checked; a
    // flipped byte can only go unnoticed where the property list allows other text, and
    // then what is read must still be a valid image.
    if (!error) {
      EXPECT_GE(offset, 20u);
      EXPECT_EQ(DescriptionProblem(DescribeImageBytes(damaged), true), "");
    } else {
      EXPECT_EQ(error.category(), image_category()) << offset;
      EXPECT_EQ(error, offset < 20 ? ImageErrc::kNotRecognized : ImageErrc::kCorrupt) << offset;
    }
  }
}

TEST_F(ImageReaderTest, SurvivesEveryFlippedByteOfTheMetadata) {
  for (uint64_t offset = header_.metadata_offset; offset < image_.size(); ++offset) {
    std::string damaged = image_;
    damaged[offset] = static_cast<char>(damaged[offset] ^ 0x5a);
    const std::error_code error = DescribeError(damaged);
    if (error) {
      EXPECT_EQ(error, ImageErrc::kCorrupt) << offset;
    } else {
      EXPECT_EQ(DescriptionProblem(DescribeImageBytes(damaged), true), "");
    }
  }
}

TEST_F(ImageReaderTest, RefusesAbsurdHeaderValues) {
  const struct {
    const char* key;
    cf::Ref<cf::Object> value;
    const char* complaint;
  } cases[] = {
      {"Size", Number(0), "declared size 0"},
      {"Size", Number(uint64_t{1} << 63), "is not between 1 and"},
      {"Size", cf::Number::CreateInteger(-1), "Size is missing or not an integer"},
      {"Size", cf::Number::CreateReal(1.5), "Size is missing or not an integer"},
      {"Size", Text("1000"), "Size is missing or not an integer"},
      {"Size", nullptr, "Size is missing"},
      {"MetadataOffset", Number(100), "lies in the header"},
      {"MetadataOffset", Number(UINT64_MAX), "past the end of the file"},
      {"MetadataOffset", Number(uint64_t{1} << 40), "past the end of the file"},
      {"MetadataLength", Number(0), "MetadataLength 0"},
      {"MetadataLength", Number(uint64_t{1} << 40), "is not between 1 and"},
      {"MetadataLength", Number(kMaxMetadataLength), "past the end of the file"},
      {"Format", Text("UDBZ"), "format \"UDBZ\" is unknown"},
      {"Format", Number(1), "Format is missing or not a string"},
      {"Layout", Text("APM"), "layout \"APM\" is unknown"},
      {"Layout", nullptr, "Layout is missing"},
      {"Shadow", Text("yes"), "Shadow is not a boolean"},
  };
  for (const auto& test : cases) {
    const std::string damaged = WithHeaderValue(test.key, test.value);
    EXPECT_EQ(DescribeError(damaged), ImageErrc::kCorrupt) << test.key;
    EXPECT_THAT(DescribeMessage(damaged), HasSubstr(test.complaint)) << test.key;
  }
  // A shadow file where an image is read, and a UDZO shadow.
  EXPECT_EQ(DescribeError(WithHeaderValue("Shadow", cf::Boolean::True())),
            ImageErrc::kNotRecognized);
  ImageHeader shadow = header_;
  shadow.shadow = true;
  shadow.format = ImageFormat::kUDZO;
  EXPECT_THAT(Thrown([&] { DecodeImageHeader(EncodeImageHeader(shadow), 1 << 30, "s"); }).what(),
              HasSubstr("cannot be of the read-only format"));
}

TEST_F(ImageReaderTest, RefusesAHeaderThatIsNotAPropertyListWithZeroPadding) {
  std::string damaged = image_;
  damaged[kImageHeaderLength - 1] = 'x';
  EXPECT_THAT(DescribeMessage(damaged), HasSubstr("non-zero byte at offset 4095"));
  damaged = image_;
  std::fill(damaged.begin() + 20, damaged.begin() + kImageHeaderLength, ' ');
  EXPECT_THAT(DescribeMessage(damaged), HasSubstr("not followed by zero padding"));
  damaged = image_;
  const std::string array = "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>";
  std::fill(damaged.begin() + 20, damaged.begin() + kImageHeaderLength, '\0');
  damaged.replace(20, array.size(), array);
  EXPECT_THAT(DescribeMessage(damaged), HasSubstr("not a dictionary"));
}

// One value of the first volume changed: its payload out of place, or a volume the
// description refuses.
TEST_F(ImageReaderTest, RefusesVolumeValuesOutOfPlaceOrBreakingTheDescription) {
  const uint64_t metadata = header_.metadata_offset;
  const cf::Ref<cf::MutableArray> many_roles = cf::MutableArray::Create();
  for (int index = 0; index < 1000; ++index) many_roles->Append(Text("System"));
  const char* const outside = "not between the header and the metadata";
  const struct {
    const char* key;
    cf::Ref<cf::Object> value;
    const char* complaint;
  } cases[] = {
      {"PayloadOffset", Number(100), outside},
      {"PayloadOffset", Number(metadata), outside},
      {"PayloadLength", Number(metadata), outside},
      {"PayloadLength", Number(UINT64_MAX), outside},
      {"PayloadOffset", Number(4100), "overlap"},
      {"PayloadCompression", Text("gzip"), "a UDRW image's payloads with none"},
      {"PayloadCompression", Text("bzip2"), "\"bzip2\" is unknown"},
      {"PayloadInBase", cf::Boolean::True(), "this is no shadow"},
      {"PayloadOffset", nullptr, "Volumes[0].PayloadOffset is missing"},
      {"UUID", Text("not a uuid"), "which is not one"},
      {"UUID", Text(sim_test::kDataUUID), "repeats the UUID"},
      {"FileSystem", Text("hfs"), "is not an APFS volume"},
      {"FileSystem", Text("ntfs"), "\"ntfs\" is unknown"},
      {"Roles", Text("System"), "Roles is missing or not an array"},
      {"Roles", many_roles, "more than 16"},
      {"Name", Number(5), "WholeDisk.Container.Volumes[0].Name is missing or not a string"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.complaint);
    EXPECT_THAT(DescribeMessage(WithVolumeValue(test.key, test.value)), HasSubstr(test.complaint));
  }
}

TEST_F(ImageReaderTest, RefusesMetadataOfAnotherLayout) {
  EXPECT_THAT(DescribeMessage(WithMetadata(cf::String::Create("metadata"))),
              HasSubstr("not a dictionary"));
  const cf::Ref<cf::MutableDictionary> root = Metadata();
  root->SetValue("Partitions", cf::MutableArray::Create());
  EXPECT_THAT(DescribeMessage(WithMetadata(root)), HasSubstr("layout-NONE image lists partitions"));
  ImageHeader gpt = header_;
  gpt.layout = ImageLayout::kGPT;
  EXPECT_THAT(DescribeMessage(WithMetadata(Metadata(), gpt)),
              HasSubstr("GPT image has a WholeDisk"));
  root->RemoveValue("WholeDisk");
  root->RemoveValue("Partitions");
  EXPECT_THAT(DescribeMessage(WithMetadata(root, gpt)),
              HasSubstr("Partitions is missing or not an array"));
  // Partitions larger than the disk.
  const cf::Ref<cf::MutableDictionary> partition = cf::MutableDictionary::Create();
  partition->SetValue("Type", Text(kEFIPartitionType));
  partition->SetValue("Name", Text("EFI"));
  partition->SetValue("UUID", Text(sim_test::kEFIPartitionUUID));
  partition->SetValue("Size", Number(header_.size + 1));
  const cf::Ref<cf::MutableArray> partitions = cf::MutableArray::Create();
  partitions->Append(partition);
  root->SetValue("Partitions", partitions);
  EXPECT_THAT(DescribeMessage(WithMetadata(root, gpt)), HasSubstr("larger than the declared size"));
  partition->SetValue("Size", Number(header_.size));
  EXPECT_EQ(DescribeError(WithMetadata(root, gpt)), std::error_code());
}

// The fuzz target's seeds were written by another implementation of the format (Python's
// plistlib and tarfile): they read, and their payloads extract.
TEST(ImageSeedTest, ReadsImagesWrittenByAnotherImplementation) {
  const mcom::FilePath seeds(DORVANE_SOURCE_DIR "/tests/data/fuzz/image_description_fuzzer");
  ::testing::TemporaryFolder folder;

  const ImageDescription blank = ReadImage(seeds.Join("blank-sparse.img"));
  EXPECT_EQ(blank.format, ImageFormat::kSparse);
  EXPECT_EQ(blank.size, 500000000000u);

  const ImageDescription container = ReadImage(seeds.Join("udrw-container.img"));
  ASSERT_EQ(VolumesOf(container).size(), 2u);
  ExtractPayload(std::get<ImagePayload>(VolumesOf(container)[1]->files), folder.Join("data"));
  std::string notes;
  for (int copy = 0; copy < 10; ++copy) notes += "notes";
  EXPECT_EQ(sim_test::ReadBytes(folder.Join("data/Users/Shared/notes")), notes);
  mcom::Result<std::vector<char>> finder_info =
      mcom::ReadExtendedAttribute(folder.Join("data/Users/Shared/notes"), "com.apple.FinderInfo");
  ASSERT_TRUE(finder_info);
  EXPECT_EQ(finder_info->size(), 32u);

  const ImageDescription base = ReadImage(seeds.Join("udzo-gpt-hfs.dmg"));
  EXPECT_EQ(base.format, ImageFormat::kUDZO);
  ASSERT_EQ(base.partitions.size(), 1u);
  ExtractPayload(std::get<ImagePayload>(base.partitions[0].content.volume->files),
                 folder.Join("base"));
  EXPECT_EQ(
      sim_test::ReadBytes(folder.Join("base/System/Library/CoreServices/SystemVersion.plist")),
      "<plist/>");

  EXPECT_EQ(ReadImage(seeds.Join("xml-metadata.img")).whole_disk.container->volumes.at(0).name,
            "Macintosh HD");
  const std::string shadow = sim_test::ReadBytes(seeds.Join("shadow-of-base.shadow"));
  const ImageFileContents contents =
      ReadImageFile(MemoryByteSource(shadow), FileKind::kShadow, nullptr, "shadow");
  EXPECT_EQ(contents.header.size, uint64_t{2} << 30);
  ASSERT_EQ(contents.payloads.size(), 2u);
  EXPECT_TRUE(contents.payloads[0].in_base);
  EXPECT_FALSE(contents.payloads[1].in_base);
}

}  // namespace
}  // namespace sim::image_internal
