#include "core/foundation/cf_file_data.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/temporary_folder.h"

namespace mcom::cf {
namespace {

using ::testing::IsNull;
using ::testing::NotNull;

// Installs a read hook for one test and removes it again.
class ScopedReadHook {
 public:
  explicit ScopedReadHook(FileDataReadHook hook) { SetFileDataReadHookForTesting(hook); }
  ~ScopedReadHook() { SetFileDataReadHookForTesting(nullptr); }
};

TEST(CFFileDataTest, ReadsAWholeFile) {
  testing::TemporaryFolder folder;
  const std::string contents(100000, 'x');
  const Ref<Data> data = CreateDataFromFile(folder.WriteFile("big", contents));
  ASSERT_THAT(data, NotNull());
  EXPECT_EQ(data->AsStringView(), contents);

  const Ref<Data> empty = CreateDataFromFile(folder.WriteFile("empty", ""));
  ASSERT_THAT(empty, NotNull());
  EXPECT_EQ(empty->length(), 0u);
}

TEST(CFFileDataTest, NothingForWhatIsNotARegularFile) {
  testing::TemporaryFolder folder;
  EXPECT_THAT(CreateDataFromFile(folder.Join("missing")), IsNull());
  EXPECT_THAT(CreateDataFromFile(folder.path()), IsNull());
  // A FIFO without a writer: refused at once instead of blocking the caller forever.
  const FilePath fifo = folder.Join("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_THAT(CreateDataFromFile(fifo), IsNull());
  // A file whose status reports size 0 but that has contents.
  EXPECT_THAT(CreateDataFromFile(FilePath("/proc/self/status")), IsNull());
}

TEST(CFFileDataTest, AFileThatGrewAfterTheSizeWasTakenIsRefused) {
  testing::TemporaryFolder folder;
  const FilePath path = folder.WriteFile("growing", "0123456789");
  ScopedReadHook hook([](const FilePath& read) {
    std::ofstream(read.string(), std::ios::binary | std::ios::app) << "more";
  });
  EXPECT_THAT(CreateDataFromFile(path), IsNull());
}

TEST(CFFileDataTest, AFileThatShrankAfterTheSizeWasTakenIsRefused) {
  testing::TemporaryFolder folder;
  const FilePath path = folder.WriteFile("shrinking", "0123456789");
  ScopedReadHook hook([](const FilePath& read) { ::truncate(read.c_str(), 4); });
  EXPECT_THAT(CreateDataFromFile(path), IsNull());
}

TEST(CFFileDataTest, AFileRewrittenWithTheSameSizeIsReadAsItIsAtTheRead) {
  testing::TemporaryFolder folder;
  const FilePath path = folder.WriteFile("same", "0123456789");
  ScopedReadHook hook([](const FilePath& read) {
    std::ofstream(read.string(), std::ios::binary | std::ios::in | std::ios::out) << "abc";
  });
  const Ref<Data> data = CreateDataFromFile(path);
  ASSERT_THAT(data, NotNull());
  EXPECT_EQ(data->AsStringView(), "abc3456789");
}

}  // namespace
}  // namespace mcom::cf
