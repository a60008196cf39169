#include "sim/machine/folder_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/image/test_tree.h"
#include "sim/machine/tree_differences.h"
#include "sim/machine/volume_contents.h"
#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::IsEmpty;

class FolderCopyTest : public ::testing::Test {
 protected:
  mcom::FilePath MakeFolder(const std::string& name) {
    const mcom::FilePath path = folder_.Join(name);
    EXPECT_EQ(::mkdir(path.c_str(), 0755), 0);
    return path;
  }

  ::testing::TemporaryFolder folder_;
};

// Into an existing folder: a tree with every kind of entry and metadata, and a generated
// volume.
TEST_F(FolderCopyTest, CopiesEveryEntryWithItsMetadataExactly) {
  sim_test::MakeRichTree(folder_.Join("rich"), 7);
  GenerateVolumeContents(folder_.Join("volume"), 11, 2 << 20);
  for (const std::string name : {"rich", "volume"}) {
    SCOPED_TRACE(name);
    const mcom::FilePath source = folder_.Join(name);
    const mcom::FilePath target = MakeFolder(name + "-copy");
    ASSERT_THAT(CopyFolderContents(source, target, nullptr), ::testing::Succeeded());
    // The target folder itself took the source folder's mode, times and attributes, and
    // hard link pairs are still one file under two names.
    EXPECT_THAT(sim::TreeDifferences(source, target), IsEmpty());
  }
  // Holes stay holes.
  EXPECT_EQ(sim_test::DataRegions(folder_.Join("rich/sparse")),
            sim_test::DataRegions(folder_.Join("rich-copy/sparse")));
}

TEST_F(FolderCopyTest, ReportsRisingProgressThatEndsWithTheMeasuredSize) {
  const mcom::FilePath source = folder_.Join("volume");
  GenerateVolumeContents(source, 3, 1 << 20);
  const mcom::Result<FolderSize> total = MeasureFolder(source);
  ASSERT_TRUE(total.has_value());
  EXPECT_GT(total->entries, 10u);
  EXPECT_GT(total->bytes, uint64_t{1} << 20);

  std::vector<double> fractions;
  FolderSize last;
  ASSERT_THAT(CopyFolderContents(source, MakeFolder("copy"),
                                 [&](const FolderSize& done) {
                                   EXPECT_GE(done.entries, last.entries);
                                   EXPECT_GE(done.bytes, last.bytes);
                                   last = done;
                                   fractions.push_back(CopiedFraction(done, *total));
                                   return true;
                                 }),
              ::testing::Succeeded());
  EXPECT_EQ(last, *total);
  ASSERT_EQ(fractions.size(), total->entries);
  EXPECT_LT(fractions.front(), 0.5);
  EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
  EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
}

TEST_F(FolderCopyTest, MeasuresAllocatedBytesSoSparseFilesCountTheirDataOnly) {
  const mcom::FilePath source = MakeFolder("sparse");
  const int fd = ::open(source.Join("hole").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 1 << 30), 0);
  ::close(fd);
  ASSERT_EQ(::mkdir(source.Join("empty folder").c_str(), 0755), 0);

  const mcom::Result<FolderSize> size = MeasureFolder(source);
  ASSERT_TRUE(size.has_value());
  EXPECT_EQ(size->entries, 2u);
  EXPECT_LT(size->bytes, uint64_t{1} << 20);
  EXPECT_DOUBLE_EQ(CopiedFraction({}, {}), 1.0);
  EXPECT_DOUBLE_EQ(CopiedFraction({10, 1}, {5, 1}), 1.0);  // a tree that grew meanwhile
}

TEST_F(FolderCopyTest, StopsWhenTheProgressCallbackSaysSo) {
  const mcom::FilePath source = folder_.Join("volume");
  GenerateVolumeContents(source, 5, 256 << 10);
  int calls = 0;
  EXPECT_THAT(CopyFolderContents(source, MakeFolder("copy"),
                                 [&](const FolderSize&) { return ++calls < 3; }),
              ::testing::FailedWith(std::errc::operation_canceled));
  EXPECT_EQ(calls, 3);
}

TEST_F(FolderCopyTest, RefusesBadSourcesAndDestinations) {
  const mcom::FilePath source = folder_.Join("volume");
  GenerateVolumeContents(source, 5, 64 << 10);

  EXPECT_THAT(CopyFolderContents(folder_.Join("missing"), MakeFolder("a"), nullptr),
              ::testing::FailedWith(std::errc::no_such_file_or_directory));
  EXPECT_THAT(CopyFolderContents(source, folder_.Join("missing"), nullptr),
              ::testing::FailedWith(std::errc::no_such_file_or_directory));
  const mcom::FilePath file = folder_.WriteFile("file", "x");
  EXPECT_THAT(CopyFolderContents(source, file, nullptr),
              ::testing::FailedWith(std::errc::not_a_directory));
  EXPECT_THAT(CopyFolderContents(file, MakeFolder("b"), nullptr),
              ::testing::FailedWith(std::errc::not_a_directory));
  // Into itself, or a folder inside it: refused before anything is copied.
  ASSERT_EQ(::mkdir(source.Join("inner").c_str(), 0755), 0);
  EXPECT_THAT(CopyFolderContents(source, source.Join("inner"), nullptr),
              ::testing::FailedWith(std::errc::invalid_argument));
  EXPECT_THAT(CopyFolderContents(source, source, nullptr),
              ::testing::FailedWith(std::errc::invalid_argument));
  EXPECT_EQ(::rmdir(source.Join("inner").c_str()), 0);  // still empty
  EXPECT_THAT(MeasureFolder(folder_.Join("missing")).error(),
              ::testing::FailedWith(std::errc::no_such_file_or_directory));
}

}  // namespace
}  // namespace sim
