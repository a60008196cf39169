#include "sim/image/image_description.h"

#include <gmock/gmock.h>

#include <string>

namespace sim {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr char kContainer[] = "7D2C1B0A-9E8F-4A6B-8C5D-4E3F2A1B0C13";
constexpr char kSystem[] = "3B2A1908-7F6E-4D5C-8B4A-392817161514";
constexpr char kData[] = "8F7E6D5C-4B3A-4291-8F0E-1D2C3B4A5916";
constexpr char kGroup[] = "6E5D4C3B-2A19-4F08-9E7D-6C5B4A392815";
constexpr char kRecovery[] = "11111111-2222-4333-8444-555555555555";
constexpr char kPartition1[] = "5C9A2F61-0D7E-4A43-9A0B-5D0E6A7C2B11";
constexpr char kPartition2[] = "1F4E8D2A-6B3C-4C59-8D7E-0A9B8C7D6E12";
constexpr char kPartition3[] = "2A3B4C5D-6E7F-4081-9283-A4B5C6D7E8F9";

ImageVolume Volume(const char* uuid, const char* name, VolumeFileSystem file_system) {
  ImageVolume volume;
  volume.uuid = uuid;
  volume.name = name;
  volume.file_system = file_system;
  volume.files = mcom::FilePath("/stores/" + std::string(name));
  return volume;
}

// A Mac's disk in small: EFI, an APFS container with a System/Data group, an HFS+ volume.
ImageDescription MacDisk() {
  ImageDescription description;
  description.format = ImageFormat::kSparse;
  description.size = 100 << 20;
  description.layout = ImageLayout::kGPT;
  ImageVolume system = Volume(kSystem, "Macintosh HD", VolumeFileSystem::kAPFS);
  system.roles = {"System"};
  system.group_uuid = kGroup;
  ImageVolume data = Volume(kData, "Macintosh HD - Data", VolumeFileSystem::kAPFS);
  data.roles = {"Data"};
  data.group_uuid = kGroup;
  ImagePartition efi{kEFIPartitionType, "EFI", kPartition1, 10 << 20, {}};
  ImagePartition store{kAPFSPartitionType, "", kPartition2, 60 << 20, {}};
  store.content.container = ImageContainer{kContainer, {system, data}};
  ImagePartition recovery{kHFSPartitionType, "Recovery HD", kPartition3, 30 << 20, {}};
  recovery.content.volume = Volume(kRecovery, "Recovery HD", VolumeFileSystem::kHFS);
  description.partitions = {efi, store, recovery};
  return description;
}

TEST(ImageDescriptionTest, NamesReadBackAsTheirValuesAndNothingElse) {
  for (ImageFormat format : {ImageFormat::kSparse, ImageFormat::kUDZO, ImageFormat::kUDRW}) {
    EXPECT_EQ(ParseImageFormat(ImageFormatName(format)), format);
  }
  EXPECT_STREQ(ImageFormatName(ImageFormat::kSparse), "SPARSE");
  EXPECT_EQ(ParseImageFormat("udzo"), std::nullopt);
  EXPECT_EQ(ParseImageFormat("UDZO "), std::nullopt);
  EXPECT_EQ(ParseImageLayout("GPT"), ImageLayout::kGPT);
  EXPECT_EQ(ParseImageLayout("NONE"), ImageLayout::kNone);
  EXPECT_EQ(ParseImageLayout("APM"), std::nullopt);
  EXPECT_EQ(ParseVolumeFileSystem("hfs"), VolumeFileSystem::kHFS);
  EXPECT_EQ(ParseVolumeFileSystem("jhfs+"), std::nullopt);
  EXPECT_EQ(ParsePayloadCompression("gzip"), PayloadCompression::kGzip);
  EXPECT_TRUE(IsReadOnlyFormat(ImageFormat::kUDZO));
  EXPECT_FALSE(IsReadOnlyFormat(ImageFormat::kSparse));
}

TEST(ImageDescriptionTest, AcceptsAMacDiskAndABlankOne) {
  EXPECT_THAT(DescriptionProblem(MacDisk()), IsEmpty());
  ImageDescription blank;
  blank.size = 1;
  EXPECT_THAT(DescriptionProblem(blank), IsEmpty());
  ImageDescription whole;
  whole.size = uint64_t{500} << 30;
  whole.whole_disk.container = ImageContainer{kContainer, {}};
  EXPECT_THAT(DescriptionProblem(whole), IsEmpty());
}

TEST(ImageDescriptionTest, RefusesSizesOutOfRange) {
  ImageDescription description = MacDisk();
  description.size = 0;
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("size is 0"));
  description.size = kMaxImageSize + 1;
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("above the limit"));
  // The partitions must fit the disk, even when their sum would overflow.
  description = MacDisk();
  description.size = 99 << 20;
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("larger than the declared size"));
  description = MacDisk();
  description.partitions[1].size = UINT64_MAX - (5 << 20);
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("larger than the declared size"));
  description = MacDisk();
  description.partitions[0].size = 0;
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("partition 1 has size 0"));
}

TEST(ImageDescriptionTest, RefusesContentInThePlaceOfAnotherLayout) {
  ImageDescription description = MacDisk();
  description.whole_disk.container = ImageContainer{"00000000-0000-4000-8000-000000000000", {}};
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("outside its partitions"));
  description = MacDisk();
  description.layout = ImageLayout::kNone;
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("has partitions"));
  description.partitions.clear();
  description.disk_uuid = kGroup;
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("disk UUID"));
  description = MacDisk();
  description.partitions.resize(kMaxPartitions + 1, description.partitions[0]);
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("more than 128"));
}

TEST(ImageDescriptionTest, RefusesVolumesOfTheWrongFileSystemOrPlace) {
  ImageDescription description = MacDisk();
  description.partitions[1].content.container->volumes[0].file_system = VolumeFileSystem::kHFS;
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("is not an APFS volume"));
  description = MacDisk();
  description.partitions[2].content.volume->file_system = VolumeFileSystem::kAPFS;
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("APFS volume outside a container"));
  description = MacDisk();
  description.partitions[2].content.container = ImageContainer{kPartition1, {}};
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("both a container and a volume"));
  description = MacDisk();
  ImageContainer& container = *description.partitions[1].content.container;
  container.volumes.resize(kMaxVolumesPerContainer + 1, container.volumes[0]);
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("more than 100"));
}

TEST(ImageDescriptionTest, RefusesMalformedAndRepeatedUUIDs) {
  EXPECT_TRUE(IsWellFormedUUID("6a1f2c9e-5B0D-4E8C-9A37-2F1D0C4B8E61"));
  EXPECT_FALSE(IsWellFormedUUID("6A1F2C9E5B0D4E8C9A372F1D0C4B8E61"));
  EXPECT_FALSE(IsWellFormedUUID("6A1F2C9E-5B0D-4E8C-9A37-2F1D0C4B8E6G"));
  EXPECT_FALSE(IsWellFormedUUID("6A1F2C9E-5B0D-4E8C-9A37-2F1D0C4B8E61 "));
  EXPECT_FALSE(IsWellFormedUUID(""));

  ImageDescription description = MacDisk();
  description.partitions[1].content.container->volumes[1].uuid = kSystem;
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("repeats the UUID"));
  // The same UUID in another case is the same UUID.
  description = MacDisk();
  std::string lower = kSystem;
  for (char& c : lower) c = static_cast<char>(std::tolower(c));
  description.partitions[2].content.volume->uuid = lower;
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("repeats the UUID"));
  description = MacDisk();
  description.partitions[1].uuid = kContainer;
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("repeats the UUID"));
  description = MacDisk();
  description.partitions[0].type = "EFI";
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("not a GUID"));
  description = MacDisk();
  description.partitions[1].content.container->volumes[0].group_uuid = "none";
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("group"));
}

TEST(ImageDescriptionTest, RefusesNamesAndRolesThatCannotBeStored) {
  ImageDescription description = MacDisk();
  ImageVolume& volume = description.partitions[1].content.container->volumes[0];
  volume.name = std::string("Mac\0HD", 6);
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("zero byte"));
  volume.name = "Mac\xff";
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("UTF-8"));
  volume.name = std::string(kMaxNameLength + 1, 'n');
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("256 bytes long"));
  volume.name = "Macintosh HD";
  volume.roles = {""};
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("empty role"));
  volume.roles.assign(kMaxRolesPerVolume + 1, "System");
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("roles, more than"));
}

TEST(ImageDescriptionTest, RequiresFilesForEveryVolumeUnlessReadFromBytes) {
  ImageDescription description = MacDisk();
  description.partitions[1].content.container->volumes[0].files = ImagePayload{};
  EXPECT_THAT(DescriptionProblem(description), HasSubstr("has no files"));
  EXPECT_THAT(DescriptionProblem(description, /*payloads_may_lack_files=*/true), IsEmpty());
  description.partitions[1].content.container->volumes[0].files = mcom::FilePath();
  EXPECT_THAT(DescriptionProblem(description, true), HasSubstr("empty folder path"));
}

TEST(ImageDescriptionTest, ListsAndFindsVolumesInDiskOrder) {
  ImageDescription description = MacDisk();
  std::vector<std::string> names;
  for (const ImageVolume* volume : VolumesOf(description)) names.push_back(volume->name);
  EXPECT_THAT(names, ::testing::ElementsAre("Macintosh HD", "Macintosh HD - Data", "Recovery HD"));

  ImageVolume* data = FindVolume(description, "8f7e6d5c-4b3a-4291-8f0e-1d2c3b4a5916");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->name, "Macintosh HD - Data");
  data->name = "Renamed";
  EXPECT_EQ(description.partitions[1].content.container->volumes[1].name, "Renamed");
  EXPECT_EQ(FindVolume(description, kContainer), nullptr);
}

}  // namespace
}  // namespace sim
