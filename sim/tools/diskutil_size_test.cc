#include "sim/tools/diskutil_size.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/tools/diskutil_partition_layout.h"

namespace sim::tools::diskutil {
namespace {

TEST(DiskutilSizeTest, FormatsDecimalUnitsWithOneFractionDigit) {
  EXPECT_EQ(FormatSize(0), "0 B");
  EXPECT_EQ(FormatSize(999), "999 B");
  EXPECT_EQ(FormatSize(1000), "1.0 KB");
  EXPECT_EQ(FormatSize(20480), "20.5 KB");
  EXPECT_EQ(FormatSize(209715200), "209.7 MB");
  EXPECT_EQ(FormatSize(500277790720), "500.3 GB");
  EXPECT_EQ(FormatSize(1024209543168), "1.0 TB");
  // Values that round up to 1000 of a unit move to the next unit.
  EXPECT_EQ(FormatSize(999949), "999.9 KB");
  EXPECT_EQ(FormatSize(999960), "1.0 MB");
  EXPECT_EQ(FormatSize(UINT64_MAX), "18.4 EB");
  // The byte form of `diskutil info`, as a real USB disk shows it.
  EXPECT_EQ(FormatSizeWithBytes(1024209543168),
            "1.0 TB (1024209543168 Bytes) (exactly 2000409264 512-Byte-Units)");
}

TEST(DiskutilSizeTest, ParsesPartitionSizesInPowersOfTen) {
  EXPECT_EQ(ParseSize("800M"), 800000000u);
  EXPECT_EQ(ParseSize("2200M"), 2200000000u);
  EXPECT_EQ(ParseSize("1.5g"), 1500000000u);
  EXPECT_EQ(ParseSize("10S"), 5120u);
  EXPECT_EQ(ParseSize("4096B"), 4096u);
  EXPECT_EQ(ParseSize("2T"), 2000000000000u);
}

TEST(DiskutilSizeTest, RejectsSizesThatAreNotPlainNumbersWithAUnit) {
  for (const char* text : {"", "M", "800", "800X", "-1M", "+1M", "1e3M", "infM", "nanM", "0x10M",
                           "1.2.3M", " 1M", "0M", "0.0001B", "20E", "99999999999999999999E"}) {
    EXPECT_EQ(ParseSize(text), std::nullopt) << text;
  }
}

std::variant<PartitionLayout, LayoutError> Parse(const std::vector<std::string>& arguments) {
  return ParsePartitionLayout(arguments);
}

TEST(DiskutilPartitionLayoutTest, ReadsTheRecoveryDiskLayout) {
  const auto parsed = Parse({"2", "GPT", "jhfs+", "Recovery", "800M", "jhfs+", "User Data", "R"});
  ASSERT_TRUE(std::holds_alternative<PartitionLayout>(parsed));
  const PartitionLayout& layout = std::get<PartitionLayout>(parsed);
  ASSERT_EQ(layout.partitions.size(), 2u);
  EXPECT_EQ(layout.partitions[0].format, PartitionFormat::kJournaledHFS);
  EXPECT_EQ(layout.partitions[0].name, "Recovery");
  EXPECT_EQ(layout.partitions[0].size, 800000000u);
  EXPECT_EQ(layout.partitions[1].name, "User Data");
  EXPECT_EQ(layout.partitions[1].size, 0u);

  // The count is optional, and formats and schemes are read in any case.
  const auto without_count = Parse({"gpt", "APFS", "Data", "R"});
  ASSERT_TRUE(std::holds_alternative<PartitionLayout>(without_count));
  EXPECT_EQ(std::get<PartitionLayout>(without_count).partitions[0].format, PartitionFormat::kAPFS);
}

TEST(DiskutilPartitionLayoutTest, MalformedCommandLinesAreUsageErrors) {
  const std::vector<std::vector<std::string>> malformed = {
      {},
      {"2"},
      {"2", "GPT"},
      {"2", "GPT", "jhfs+", "Recovery"},
      {"3", "GPT", "jhfs+", "Recovery", "800M", "jhfs+", "User Data", "R"},
      {"2", "FAT", "jhfs+", "Recovery", "800M", "jhfs+", "User Data", "R"},
  };
  for (const std::vector<std::string>& arguments : malformed) {
    const auto parsed = Parse(arguments);
    ASSERT_TRUE(std::holds_alternative<LayoutError>(parsed)) << ::testing::PrintToString(arguments);
    EXPECT_TRUE(std::get<LayoutError>(parsed).usage) << ::testing::PrintToString(arguments);
  }
}

TEST(DiskutilPartitionLayoutTest, NamesWhatIsWrongWithAPartition) {
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"GPT", "ExFAT", "Stick", "R"}, "ExFAT does not appear to be a valid file system format"},
      {{"GPT", "jhfs+", "A", "R", "jhfs+", "B", "1G"}, "only the last partition"},
      {{"GPT", "jhfs+", "A", "lots"}, "lots is not a valid size"},
      {{"MBR", "jhfs+", "A", "R"}, "use GPT"},
      {{"GPT", "jhfs+", "", "R"}, "needs a name"},
  };
  for (const Case& test : cases) {
    const auto parsed = Parse(test.arguments);
    ASSERT_TRUE(std::holds_alternative<LayoutError>(parsed)) << test.message;
    EXPECT_FALSE(std::get<LayoutError>(parsed).usage) << test.message;
    EXPECT_THAT(std::get<LayoutError>(parsed).message, ::testing::HasSubstr(test.message));
  }
}

}  // namespace
}  // namespace sim::tools::diskutil
