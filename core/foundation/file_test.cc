#include "core/foundation/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"

namespace {

using mcom::FilePath;
using testing::FailedWith;
using testing::HasValue;
using testing::IsEmpty;
using testing::Succeeded;

TEST(OpenFlags, MapOntoPosixFlags) {
  using namespace mcom;
  EXPECT_EQ(PosixOpenFlags(0) & O_ACCMODE, O_RDONLY);
  EXPECT_EQ(PosixOpenFlags(kOpenRead) & O_ACCMODE, O_RDONLY);
  EXPECT_EQ(PosixOpenFlags(kOpenWrite) & O_ACCMODE, O_WRONLY);
  EXPECT_EQ(PosixOpenFlags(kOpenRead | kOpenWrite) & O_ACCMODE, O_RDWR);
  EXPECT_EQ(PosixOpenFlags(kOpenExclusive) & O_EXCL, 0) << "exclusive needs create";
  const OpenFlags new_file = kOpenWrite | kOpenCreate | kOpenExclusive | OpenMode(0644);
  EXPECT_EQ(PosixOpenFlags(new_file) & (O_CREAT | O_EXCL), O_CREAT | O_EXCL);
  EXPECT_EQ(PosixCreationMode(new_file), 0644u);
}

TEST(File, ReadAllReadsEmptyFilesAndPastOneChunk) {
  testing::TemporaryFolder folder;
  EXPECT_THAT(mcom::Open(folder.WriteFile("empty", ""), mcom::kOpenRead)->ReadAll(),
              HasValue(IsEmpty()));
  std::string contents(3 * 1048576 + 17, 'x');
  contents[1048576] = 'y';
  auto bytes = mcom::Open(folder.WriteFile("big", contents), mcom::kOpenRead)->ReadAll();
  ASSERT_THAT(bytes, Succeeded());
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), contents);
}

TEST(File, WriteAllStopsAtTheFirstFailedWrite) {
  auto pipe = mcom::CreatePipe();
  ASSERT_THAT(pipe, Succeeded());
  ASSERT_THAT(pipe->read.Close(), Succeeded());
  // With the read end gone the first write fails with EPIPE (SIGPIPE is ignored here).
  signal(SIGPIPE, SIG_IGN);
  const std::string bytes(100000, 'z');
  EXPECT_THAT(pipe->write.WriteAll(bytes.data(), bytes.size()), FailedWith(std::errc::broken_pipe));
  EXPECT_THAT(mcom::File().WriteAll("abc", 3), FailedWith(std::errc::bad_file_descriptor));
}

TEST(File, PipeEndsAreCloseOnExecAndCloseEmptiesTheOwner) {
  auto pipe = mcom::CreatePipe();
  ASSERT_THAT(pipe, Succeeded());
  EXPECT_TRUE(::fcntl(pipe->read.get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(::fcntl(pipe->write.get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_THAT(pipe->write.Close(), Succeeded());
  EXPECT_FALSE(pipe->write.IsValid());
  EXPECT_THAT(pipe->write.Close(), Succeeded()) << "closing an empty file is nothing to do";

  mcom::File stale(pipe->read.get());
  (void)pipe->read.release();
  ::close(stale.get());
  EXPECT_THAT(stale.Close(), FailedWith(std::errc::bad_file_descriptor));
  EXPECT_FALSE(stale.IsValid()) << "the number must never be closed a second time";
}

TEST(File, StatusOfFilesDirectoriesAndLinks) {
  testing::TemporaryFolder folder;
  const FilePath file = folder.WriteFile("data", "12345");
  ASSERT_EQ(::symlink("data", folder.Join("link").c_str()), 0);

  auto status = mcom::StatusOfPath(file);
  ASSERT_THAT(status, Succeeded());
  EXPECT_EQ(status->size, 5u);
  EXPECT_EQ(status->kind, mcom::FileKind::kRegular);
  EXPECT_EQ(mcom::StatusOfPath(folder.path())->kind, mcom::FileKind::kDirectory);
  EXPECT_EQ(mcom::StatusOfPath(folder.Join("link"))->kind, mcom::FileKind::kOther)
      << "a symbolic link is not followed";
  EXPECT_THAT(mcom::StatusOfPath(folder.Join("missing")),
              FailedWith(std::errc::no_such_file_or_directory));

  auto opened = mcom::Open(file, mcom::kOpenRead);
  EXPECT_EQ(mcom::StatusOf(*opened)->size, 5u);
}

TEST(File, CreateExclusiveRefusesAnExistingFile) {
  testing::TemporaryFolder folder;
  const FilePath path = folder.WriteFile("exists", "x");
  const mcom::OpenFlags flags =
      mcom::kOpenWrite | mcom::kOpenCreate | mcom::kOpenExclusive | mcom::OpenMode(0600);
  EXPECT_THAT(mcom::Open(path, flags), FailedWith(std::errc::file_exists));
  auto created = mcom::Open(folder.Join("new"), flags);
  ASSERT_THAT(created, Succeeded());
  struct stat info {};
  ASSERT_EQ(::stat(folder.Join("new").c_str(), &info), 0);
  EXPECT_EQ(
      info.st_mode & 0777, 0600u & ~[] {
        mode_t m = umask(0);
        umask(m);
        return m;
      }());
}

TEST(File, PathOfADescriptor) {
  testing::TemporaryFolder folder;
  const FilePath path = folder.WriteFile("named", "x");
  auto file = mcom::Open(path, mcom::kOpenRead);
  EXPECT_THAT(mcom::PathOf(file->get()), HasValue(path));
  ASSERT_THAT(mcom::Unlink(path), Succeeded());
  EXPECT_THAT(mcom::PathOf(file->get()), HasValue(path)) << "no \" (deleted)\" suffix";
  EXPECT_THAT(mcom::PathOf(-1), FailedWith(std::errc::bad_file_descriptor));
}

TEST(File, MakePathMakesEveryMissingParent) {
  testing::TemporaryFolder folder;
  EXPECT_THAT(mcom::MakePath(folder.Join("a/b/c")), Succeeded());
  EXPECT_EQ(mcom::StatusOfPath(folder.Join("a/b/c"))->kind, mcom::FileKind::kDirectory);
  EXPECT_THAT(mcom::MakePath(folder.Join("a/b/c")), Succeeded()) << "existing is fine";
  folder.WriteFile("file", "");
  EXPECT_THAT(mcom::MakePath(folder.Join("file")), FailedWith(std::errc::file_exists));
  EXPECT_THAT(mcom::MakePath(folder.Join("file/sub")), FailedWith(std::errc::not_a_directory));
  EXPECT_THAT(mcom::MakeDirectory(folder.Join("a")), FailedWith(std::errc::file_exists));
}

}  // namespace
