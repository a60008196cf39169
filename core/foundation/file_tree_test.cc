#include "core/foundation/file_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/foundation/file.h"
#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"

namespace {

using mcom::FilePath;
using testing::FailedWith;
using testing::HasSubstr;
using testing::Succeeded;

bool Exists(const FilePath& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

// The platform's calls answer in the system category, and so do these.
void ExpectSystemError(std::error_code error, std::errc expected) {
  EXPECT_EQ(error, expected) << error.message();
  EXPECT_EQ(error.category(), std::system_category());
}

TEST(RemoveDirectory, RemovesOnlyEmptyDirectories) {
  testing::TemporaryFolder folder;
  folder.WriteFile("full/file", "x");
  ASSERT_EQ(::mkdir(folder.Join("empty").c_str(), 0755), 0);

  EXPECT_THAT(mcom::RemoveDirectory(folder.Join("empty")), Succeeded());
  EXPECT_FALSE(Exists(folder.Join("empty")));
  ExpectSystemError(mcom::RemoveDirectory(folder.Join("full")), std::errc::directory_not_empty);
  ExpectSystemError(mcom::RemoveDirectory(folder.Join("full/file")), std::errc::not_a_directory);
  ExpectSystemError(mcom::RemoveDirectory(folder.Join("missing")),
                    std::errc::no_such_file_or_directory);
  EXPECT_TRUE(Exists(folder.Join("full/file")));
}

TEST(RemoveRecursively, RemovesTreesFilesAndLinksOnly) {
  testing::TemporaryFolder folder;
  folder.WriteFile("tree/a/b/c", "x");
  const FilePath kept = folder.WriteFile("kept/file", "keep");
  ASSERT_EQ(::symlink(folder.Join("kept").c_str(), folder.Join("tree/a/link").c_str()), 0);

  EXPECT_THAT(mcom::RemoveRecursively(folder.Join("tree")), Succeeded());
  EXPECT_FALSE(Exists(folder.Join("tree")));
  EXPECT_EQ(testing::TemporaryFolder::ReadFile(kept), "keep");
  EXPECT_THAT(mcom::RemoveRecursively(kept), Succeeded());
  EXPECT_FALSE(Exists(kept));
  ExpectSystemError(mcom::RemoveRecursively(folder.Join("missing")),
                    std::errc::no_such_file_or_directory);
}

TEST(CopyTree, CopiesATreeAndReportsInTheSystemCategory) {
  testing::TemporaryFolder folder;
  folder.WriteFile("source/a/b", "content");
  ASSERT_EQ(::symlink("a/b", folder.Join("source/link").c_str()), 0);

  EXPECT_THAT(mcom::CopyTree(folder.Join("source"), folder.Join("copy")), Succeeded());
  EXPECT_EQ(testing::TemporaryFolder::ReadFile(folder.Join("copy/a/b")), "content");
  struct stat info {};
  ASSERT_EQ(::lstat(folder.Join("copy/link").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));

  ExpectSystemError(mcom::CopyTree(folder.Join("missing"), folder.Join("other")),
                    std::errc::no_such_file_or_directory);
  ExpectSystemError(mcom::CopyTree(folder.Join("source"), folder.Join("source/a/copy")),
                    std::errc::invalid_argument);
}

TEST(RemoveDirectory, LogsEachOutcome) {
  testing::TemporaryMachineRoot root;
  ASSERT_THAT(mcom::MakePath(root.Join("private/var/log")), Succeeded());
  ASSERT_THAT(mcom::MakeDirectory(root.Join("empty")), Succeeded());
  root.WriteFile("full/file", "x");

  ASSERT_THAT(mcom::RemoveDirectory(root.Join("empty")), Succeeded());
  EXPECT_THAT(mcom::RemoveDirectory(root.Join("full")), FailedWith(std::errc::directory_not_empty));
  ASSERT_THAT(mcom::RemoveRecursively(root.Join("full")), Succeeded());
  EXPECT_THAT(mcom::RemoveRecursively(root.Join("full")),
              FailedWith(std::errc::no_such_file_or_directory));

  const std::string log =
      testing::TemporaryFolder::ReadFile(root.Join("private/var/log/system.log"));
  const std::string empty = root.Join("empty").string();
  const std::string full = root.Join("full").string();
  EXPECT_THAT(log, HasSubstr("<Debug>: did remove directory " + empty + "\n"));
  EXPECT_THAT(log, HasSubstr("<Error>: failed to remove directory " + full +
                             ": [39: Directory not empty]\n"));
  EXPECT_THAT(log, HasSubstr("<Debug>: did recursively remove " + full + "\n"));
  EXPECT_THAT(log, HasSubstr("<Error>: removefile recursive failed for " + full +
                             ": [2: No such file or directory]\n"));
}

}  // namespace
