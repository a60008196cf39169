#include "sim/image/image_description.h"

#include <gmock/gmock.h>

#include <string>
#include <utility>
#include <vector>

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

ImageVolume& SystemOf(ImageDescription& description) {
  return description.partitions[1].content.container->volumes[0];
}

// Each case breaks one rule of a valid Mac disk and must be named by the complaint.
TEST(ImageDescriptionTest, RefusesEveryBrokenRule) {
  const std::vector<std::pair<std::string, void (*)(ImageDescription&)>> cases = {
      {"size is 0", [](ImageDescription& d) { d.size = 0; }},
      {"above the limit", [](ImageDescription& d) { d.size = kMaxImageSize + 1; }},
      // The partitions must fit the disk, even when their sum would overflow.
      {"larger than the declared size", [](ImageDescription& d) { d.size = 99 << 20; }},
      {"larger than the declared size",
       [](ImageDescription& d) { d.partitions[1].size = UINT64_MAX - (5 << 20); }},
      {"partition 1 has size 0", [](ImageDescription& d) { d.partitions[0].size = 0; }},
      {"outside its partitions",
       [](ImageDescription& d) {
         d.whole_disk.container = ImageContainer{"00000000-0000-4000-8000-000000000000", {}};
       }},
      {"has partitions", [](ImageDescription& d) { d.layout = ImageLayout::kNone; }},
      {"disk UUID",
       [](ImageDescription& d) {
         d.layout = ImageLayout::kNone;
         d.partitions.clear();
         d.disk_uuid = kGroup;
       }},
      {"more than 128",
       [](ImageDescription& d) { d.partitions.resize(kMaxPartitions + 1, d.partitions[0]); }},
      {"is not an APFS volume",
       [](ImageDescription& d) { SystemOf(d).file_system = VolumeFileSystem::kHFS; }},
      {"APFS volume outside a container",
       [](ImageDescription& d) {
         d.partitions[2].content.volume->file_system = VolumeFileSystem::kAPFS;
       }},
      {"both a container and a volume",
       [](ImageDescription& d) {
         d.partitions[2].content.container = ImageContainer{kPartition1, {}};
       }},
      {"more than 100",
       [](ImageDescription& d) {
         ImageContainer& container = *d.partitions[1].content.container;
         container.volumes.resize(kMaxVolumesPerContainer + 1, container.volumes[0]);
       }},
      {"repeats the UUID",
       [](ImageDescription& d) { d.partitions[1].content.container->volumes[1].uuid = kSystem; }},
      // The same UUID in another case is the same UUID.
      {"repeats the UUID",
       [](ImageDescription& d) {
         std::string lower = kSystem;
         for (char& c : lower) c = static_cast<char>(std::tolower(c));
         d.partitions[2].content.volume->uuid = lower;
       }},
      {"repeats the UUID", [](ImageDescription& d) { d.partitions[1].uuid = kContainer; }},
      {"not a GUID", [](ImageDescription& d) { d.partitions[0].type = "EFI"; }},
      {"group", [](ImageDescription& d) { SystemOf(d).group_uuid = "none"; }},
      {"zero byte", [](ImageDescription& d) { SystemOf(d).name = std::string("Mac\0HD", 6); }},
      {"UTF-8", [](ImageDescription& d) { SystemOf(d).name = "Mac\xff"; }},
      {"256 bytes long",
       [](ImageDescription& d) { SystemOf(d).name = std::string(kMaxNameLength + 1, 'n'); }},
      {"empty role", [](ImageDescription& d) { SystemOf(d).roles = {""}; }},
      {"roles, more than",
       [](ImageDescription& d) { SystemOf(d).roles.assign(kMaxRolesPerVolume + 1, "System"); }},
  };
  for (const auto& [complaint, change] : cases) {
    SCOPED_TRACE(complaint);
    ImageDescription description = MacDisk();
    change(description);
    EXPECT_THAT(DescriptionProblem(description), HasSubstr(complaint));
  }
}

TEST(ImageDescriptionTest, TellsWellFormedUUIDs) {
  EXPECT_TRUE(IsWellFormedUUID("6a1f2c9e-5B0D-4E8C-9A37-2F1D0C4B8E61"));
  for (const char* bad :
       {"6A1F2C9E5B0D4E8C9A372F1D0C4B8E61", "6A1F2C9E-5B0D-4E8C-9A37-2F1D0C4B8E6G",
        "6A1F2C9E-5B0D-4E8C-9A37-2F1D0C4B8E61 ", ""}) {
    EXPECT_FALSE(IsWellFormedUUID(bad)) << bad;
  }
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
