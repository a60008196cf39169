#include "core/foundation/directory_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"

namespace {

using mcom::FilePath;
using testing::FailedWith;
using testing::HasValue;
using testing::IsEmpty;
using testing::Succeeded;
using testing::UnorderedElementsAre;

size_t OpenDescriptorCount() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                           std::filesystem::directory_iterator()));
}

mode_t ModeOf(const FilePath& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

TEST(OpenDirectory, OpensDirectoriesOnly) {
  testing::TemporaryFolder folder;
  auto handle = mcom::OpenDirectory(folder.path());
  ASSERT_THAT(handle, Succeeded());
  EXPECT_TRUE(handle->IsValid());
  EXPECT_FALSE(handle->removes_on_release());
  EXPECT_THAT(handle->Path(), HasValue(folder.path()));

  EXPECT_THAT(mcom::OpenDirectory(folder.Join("missing")),
              FailedWith(std::errc::no_such_file_or_directory));
  EXPECT_THAT(mcom::OpenDirectory(folder.WriteFile("file", "x")),
              FailedWith(std::errc::not_a_directory));
}

TEST(DirectoryHandle, ReleaseClosesOnceAndKeepsTheDirectory) {
  testing::TemporaryFolder folder;
  folder.WriteFile("entry", "x");
  const size_t before = OpenDescriptorCount();
  {
    auto handle = mcom::OpenDirectory(folder.path());
    ASSERT_THAT(handle, Succeeded());
    ASSERT_THAT(handle->List(), Succeeded()) << "a listing adds a stream";
    EXPECT_THAT(handle->Release(), Succeeded());
    EXPECT_FALSE(handle->IsValid());
    EXPECT_THAT(handle->Release(), Succeeded()) << "releasing an empty handle";
    EXPECT_THAT(handle->List(), FailedWith(std::errc::bad_file_descriptor));
  }
  EXPECT_EQ(OpenDescriptorCount(), before) << "stream and descriptor are both closed";
  EXPECT_EQ(testing::TemporaryFolder::ReadFile(folder.Join("entry")), "x");

  // A descriptor closed behind the handle's back: the close error in the system category.
  const int fd = ::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY);
  mcom::DirectoryHandle stale(fd, false);
  ::close(fd);
  const std::error_code error = stale.Release();
  EXPECT_EQ(error, std::errc::bad_file_descriptor);
  EXPECT_EQ(error.category(), std::system_category());
}

TEST(DirectoryHandle, MovesLeaveTheSourceEmpty) {
  testing::TemporaryFolder folder;
  auto handle = mcom::OpenDirectory(folder.path());
  ASSERT_THAT(handle, Succeeded());
  ASSERT_THAT(handle->List(), Succeeded());
  const size_t before = OpenDescriptorCount();

  mcom::DirectoryHandle moved(std::move(*handle));
  EXPECT_FALSE(handle->IsValid());
  EXPECT_TRUE(moved.IsValid());
  EXPECT_THAT(moved.List(), Succeeded()) << "the stream moved along";

  auto other = mcom::OpenDirectory(folder.path());
  ASSERT_THAT(other, Succeeded());
  moved = std::move(*other);  // releases what `moved` held
  EXPECT_FALSE(other->IsValid());
  EXPECT_EQ(OpenDescriptorCount(), before - 1);
}

TEST(DirectoryHandle, OperatesOnNamesRelativeToTheDirectory) {
  testing::TemporaryFolder folder;
  auto handle = mcom::OpenDirectory(folder.path());
  ASSERT_THAT(handle, Succeeded());

  ASSERT_THAT(handle->MakeDirectory("sub"), Succeeded());
  EXPECT_TRUE(S_ISDIR(ModeOf(folder.Join("sub"))));
  EXPECT_THAT(handle->MakeDirectory("sub"), FailedWith(std::errc::file_exists));

  auto file = handle->OpenFile("sub/file", mcom::kOpenWrite | mcom::kOpenCreate |
                                               mcom::kOpenExclusive | mcom::OpenMode(0600));
  ASSERT_THAT(file, Succeeded());
  ASSERT_THAT(file->WriteAll("hello", 5), Succeeded());
  EXPECT_EQ(ModeOf(folder.Join("sub/file")) & 0777, 0600u);
  EXPECT_THAT(
      handle->OpenFile("sub/file", mcom::kOpenWrite | mcom::kOpenCreate | mcom::kOpenExclusive),
      FailedWith(std::errc::file_exists));

  EXPECT_TRUE(handle->Exists("sub/file"));
  EXPECT_FALSE(handle->Exists("missing"));
  ASSERT_EQ(::symlink("missing", folder.Join("dangling").c_str()), 0);
  ASSERT_EQ(::symlink("sub/file", folder.Join("link").c_str()), 0);
  EXPECT_FALSE(handle->Exists("dangling")) << "a dangling link does not count";
  EXPECT_TRUE(handle->Exists("link"));

  ASSERT_THAT(handle->Rename("sub/file", "renamed"), Succeeded());
  EXPECT_FALSE(handle->Exists("sub/file"));
  EXPECT_EQ(testing::TemporaryFolder::ReadFile(folder.Join("renamed")), "hello");
  EXPECT_THAT(handle->Rename("missing", "other"), FailedWith(std::errc::no_such_file_or_directory));

  folder.WriteFile("sub/keep", "x");
  EXPECT_THAT(handle->RemoveDirectory("sub"), FailedWith(std::errc::directory_not_empty));
  EXPECT_THAT(handle->RemoveFile("sub"), FailedWith(std::errc::is_a_directory));
  ASSERT_THAT(handle->RemoveFile("sub/keep"), Succeeded());
  ASSERT_THAT(handle->RemoveDirectory("sub"), Succeeded());
  ASSERT_THAT(handle->RemoveFile("dangling"), Succeeded());
  EXPECT_THAT(handle->RemoveFile("dangling"), FailedWith(std::errc::no_such_file_or_directory));

  // The handle follows the directory, not its old path.
  ASSERT_EQ(::rename(folder.path().c_str(), (folder.path().string() + "-moved").c_str()), 0);
  EXPECT_TRUE(handle->Exists("renamed"));
  EXPECT_THAT(handle->Path(), HasValue(FilePath(folder.path().string() + "-moved")));
  ASSERT_EQ(::rename((folder.path().string() + "-moved").c_str(), folder.path().c_str()), 0);
}

TEST(DirectoryHandle, ListsFromTheBeginningEachTime) {
  testing::TemporaryFolder folder;
  auto handle = mcom::OpenDirectory(folder.path());
  ASSERT_THAT(handle, Succeeded());
  EXPECT_THAT(handle->List(), HasValue(IsEmpty()));

  folder.WriteFile("a", "1");
  folder.WriteFile("b/c", "2");
  ASSERT_EQ(::symlink("a", folder.Join("link").c_str()), 0);
  auto first = handle->List();
  ASSERT_THAT(first, HasValue(UnorderedElementsAre("a", "b", "link")));
  EXPECT_THAT(handle->List(), HasValue(*first)) << "a second listing sees the same names";

  ASSERT_EQ(::unlink(folder.Join("a").c_str()), 0);
  EXPECT_THAT(handle->List(), HasValue(UnorderedElementsAre("b", "link")));
}

TEST(DirectoryHandle, CopyFileIntoKeepsPermissionsAndAttributes) {
  testing::TemporaryFolder folder;
  const FilePath source = folder.WriteFile("source", "payload");
  ASSERT_EQ(::chmod(source.c_str(), 0750), 0);
  const std::string binary("\0\1\2\3", 4);
  ASSERT_EQ(
      ::setxattr(source.c_str(), "user.com.apple.FinderInfo", binary.data(), binary.size(), 0), 0);
  folder.WriteFile("target/existing", "old");
  auto target = mcom::OpenDirectory(folder.Join("target"));
  ASSERT_THAT(target, Succeeded());

  ASSERT_THAT(target->CopyFileInto(source, "copy"), Succeeded());
  const FilePath copy = folder.Join("target/copy");
  EXPECT_EQ(testing::TemporaryFolder::ReadFile(copy), "payload");
  EXPECT_EQ(ModeOf(copy) & 07777, 0750u);
  char value[8] = {};
  EXPECT_EQ(::getxattr(copy.c_str(), "user.com.apple.FinderInfo", value, sizeof value), 4);
  EXPECT_EQ(std::string(value, 4), binary);

  // Refusals leave nothing behind and change nothing.
  EXPECT_THAT(target->CopyFileInto(source, "existing"), FailedWith(std::errc::file_exists));
  EXPECT_EQ(testing::TemporaryFolder::ReadFile(folder.Join("target/existing")), "old");
  EXPECT_THAT(target->CopyFileInto(folder.Join("missing"), "a"),
              FailedWith(std::errc::no_such_file_or_directory));
  EXPECT_THAT(target->CopyFileInto(folder.path(), "b"), FailedWith(std::errc::is_a_directory));
  ASSERT_EQ(::mkfifo(folder.Join("fifo").c_str(), 0600), 0);
  EXPECT_THAT(target->CopyFileInto(folder.Join("fifo"), "c"),
              FailedWith(std::errc::invalid_argument))
      << "a FIFO is refused, not waited on";
  EXPECT_THAT(target->List(), HasValue(UnorderedElementsAre("copy", "existing")));
}

}  // namespace
