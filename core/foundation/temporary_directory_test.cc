#include "core/foundation/temporary_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

#include "core/foundation/file.h"
#include "tests/support/child_process.h"
#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"

namespace {

using mcom::FilePath;
using testing::FailedWith;
using testing::HasValue;
using testing::IsEmpty;
using testing::Succeeded;

bool Exists(const FilePath& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

// A machine root with its /tmp, as a simulated Mac has.
class TemporaryDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_THAT(mcom::MakeDirectory(root_.Join("tmp")), Succeeded()); }

  std::vector<std::string> TemporaryEntries() const {
    auto machine_tmp = mcom::OpenDirectory(root_.Join("tmp"));
    return machine_tmp ? *machine_tmp->List() : std::vector<std::string>{"<unreadable>"};
  }

  testing::TemporaryMachineRoot root_;
};

TEST_F(TemporaryDirectoryTest, MakesPrivateDirectoriesInTheMachinesTmp) {
  auto first = mcom::MakeTemporaryDirectory();
  auto second = mcom::MakeTemporaryDirectory();
  ASSERT_THAT(first, Succeeded());
  ASSERT_THAT(second, Succeeded());
  EXPECT_NE(*first, *second);
  EXPECT_EQ(first->Parent(), root_.Join("tmp"));
  const std::string name = first->LastComponent();
  EXPECT_EQ(name.size(), 7u);
  EXPECT_EQ(name[0], '.') << name;
  struct stat info {};
  ASSERT_EQ(::lstat(first->c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0700u);
}

TEST(TemporaryDirectory, FailsWithoutTheMachinesTmp) {
  testing::TemporaryMachineRoot root;
  EXPECT_THAT(mcom::MakeTemporaryDirectory(), FailedWith(std::errc::no_such_file_or_directory));
  EXPECT_THAT(mcom::MakeAndOpenTemporaryDirectory(),
              FailedWith(std::errc::no_such_file_or_directory));
}

TEST_F(TemporaryDirectoryTest, HandleRemovesEverythingPutIntoIt) {
  const FilePath outside = root_.WriteFile("outside/keep", "keep");
  FilePath path;
  {
    auto handle = mcom::MakeAndOpenTemporaryDirectory();
    ASSERT_THAT(handle, Succeeded());
    EXPECT_TRUE(handle->removes_on_release());
    path = *handle->Path();
    ASSERT_THAT(handle->MakeDirectory("nested"), Succeeded());
    ASSERT_THAT(handle->MakeDirectory("nested/read-only"), Succeeded());
    auto file = handle->OpenFile("nested/read-only/file",
                                 mcom::kOpenWrite | mcom::kOpenCreate | mcom::OpenMode(0400));
    ASSERT_THAT(file, Succeeded());
    ASSERT_EQ(::chmod(path.Join("nested/read-only").c_str(), 0500), 0);
    ASSERT_EQ(::symlink(root_.Join("outside").c_str(), path.Join("link").c_str()), 0);
    ASSERT_THAT(handle->List(), Succeeded());
  }
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(testing::TemporaryFolder::ReadFile(outside), "keep") << "links are not followed";
  EXPECT_THAT(TemporaryEntries(), IsEmpty());
}

TEST_F(TemporaryDirectoryTest, ExplicitReleaseRemovesOnce) {
  auto handle = mcom::MakeAndOpenTemporaryDirectory();
  ASSERT_THAT(handle, Succeeded());
  const FilePath path = *handle->Path();
  mcom::DirectoryHandle moved(std::move(*handle));
  EXPECT_THAT(handle->Release(), Succeeded()) << "the moved-from handle owns nothing";
  EXPECT_TRUE(Exists(path));
  EXPECT_THAT(moved.Release(), Succeeded());
  EXPECT_FALSE(Exists(path));

  // Assigning over a temporary directory's handle removes that directory.
  auto first = mcom::MakeAndOpenTemporaryDirectory();
  auto second = mcom::MakeAndOpenTemporaryDirectory();
  const FilePath first_path = *first->Path();
  const FilePath second_path = *second->Path();
  *first = std::move(*second);
  EXPECT_FALSE(Exists(first_path));
  EXPECT_TRUE(Exists(second_path));
  EXPECT_THAT(first->Release(), Succeeded());
  EXPECT_FALSE(Exists(second_path));
}

TEST_F(TemporaryDirectoryTest, RemovesItsDirectoryWhereverItWentAndNeverOneThatReplacedIt) {
  auto moved = mcom::MakeAndOpenTemporaryDirectory();
  auto replaced = mcom::MakeAndOpenTemporaryDirectory();
  ASSERT_THAT(moved, Succeeded());
  ASSERT_THAT(replaced, Succeeded());
  const FilePath moved_to = root_.Join("moved");
  ASSERT_EQ(::rename(moved->Path()->c_str(), moved_to.c_str()), 0);
  EXPECT_THAT(moved->Release(), Succeeded());
  EXPECT_FALSE(Exists(moved_to));

  // Someone else removed the other one, and a directory of theirs now has its name.
  const FilePath path = *replaced->Path();
  ASSERT_EQ(::rmdir(path.c_str()), 0);
  root_.WriteFile(path.string().substr(root_.path().string().size() + 1) + "/theirs", "data");
  EXPECT_THAT(replaced->Release(), Succeeded());
  EXPECT_EQ(testing::TemporaryFolder::ReadFile(path.Join("theirs")), "data");
}

TEST_F(TemporaryDirectoryTest, OpenFailureRemovesTheNewDirectory) {
  // With a umask that takes every right away, mkdtemp makes a directory its maker cannot
  // open. Root could open it anyway, so root runs the case as "nobody" in a child.
  auto attempt = [] {
    const mode_t previous = ::umask(0777);
    auto handle = mcom::MakeAndOpenTemporaryDirectory();
    ::umask(previous);
    return handle.error().value();
  };
  if (::geteuid() == 0) {
    ASSERT_EQ(::chmod(root_.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(root_.Join("tmp").c_str(), 01777), 0);
  }
  const int error = testing::RunUnprivileged(attempt);
  EXPECT_EQ(error, EACCES);
  EXPECT_THAT(TemporaryEntries(), IsEmpty()) << "the made directory was removed again";
}

}  // namespace
