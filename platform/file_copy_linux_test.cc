#include "platform/file_copy.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"

namespace {

using mcom::FilePath;

struct stat Status(const FilePath& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path.string();
  return info;
}

bool Exists(const FilePath& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

std::string Read(const FilePath& path) { return testing::TemporaryFolder::ReadFile(path); }

mode_t ModeOf(const FilePath& path) { return Status(path).st_mode & 07777; }

std::string LinkTarget(const FilePath& path) {
  char buffer[4096];
  const ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer);
  return length < 0 ? std::string("<not a link>")
                    : std::string(buffer, static_cast<size_t>(length));
}

std::string Attribute(const FilePath& path, const char* name) {
  char buffer[8192];
  const ssize_t length = ::lgetxattr(path.c_str(), name, buffer, sizeof buffer);
  return length < 0 ? std::string("<missing>") : std::string(buffer, static_cast<size_t>(length));
}

void SetAttribute(const FilePath& path, const char* name, const std::string& value) {
  ASSERT_EQ(::lsetxattr(path.c_str(), name, value.data(), value.size(), 0), 0) << name;
}

void MakeDirectory(const FilePath& path, mode_t mode) {
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path.string();
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

// Distinct access and modification times with nanoseconds, set on the entry itself.
void SetTimes(const FilePath& path, time_t seconds, long nanoseconds) {
  const struct timespec times[2] = {{seconds, nanoseconds}, {seconds + 1000, nanoseconds + 1}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path.string();
}

void ExpectTimes(const FilePath& path, time_t seconds, long nanoseconds) {
  const struct stat info = Status(path);
  EXPECT_EQ(info.st_atim.tv_sec, seconds) << path.string();
  EXPECT_EQ(info.st_atim.tv_nsec, nanoseconds) << path.string();
  EXPECT_EQ(info.st_mtim.tv_sec, seconds + 1000) << path.string();
  EXPECT_EQ(info.st_mtim.tv_nsec, nanoseconds + 1) << path.string();
}

// CopyTree's result as an errno value, run as the unprivileged user.
int CopyUnprivileged(const FilePath& source, const FilePath& target) {
  return testing::RunUnprivileged(
      [&] { return platform::CopyTree(source.c_str(), target.c_str()).value(); });
}

// Gives a tree to the unprivileged user of RunUnprivileged, and lets it reach the folder.
void GiveToUnprivilegedUser(const testing::TemporaryFolder& folder, const FilePath& tree) {
  if (::geteuid() != 0) return;
  ASSERT_EQ(::chmod(folder.path().c_str(), 0755), 0);
  ASSERT_EQ(::lchown(tree.c_str(), testing::kNobody, testing::kNobody), 0);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tree.string())) {
    ASSERT_EQ(::lchown(entry.path().c_str(), testing::kNobody, testing::kNobody), 0)
        << entry.path();
  }
}

TEST(CopyTree, KeepsContentsModesAndTimes) {
  testing::TemporaryFolder folder;
  const FilePath source = folder.Join("source");
  MakeDirectory(source, 0755);
  struct Entry {
    std::string name;
    mode_t mode;
    const char* contents;  // null for a directory
  };
  // Parents before their contents; a read-only directory's contents must be copied before it
  // becomes read-only. The set-user-id bit stays: the copy has the same owner.
  const std::vector<Entry> entries = {
      {"plain", 0644, "plain text"},
      {"private", 0600, "only mine"},
      {"tool", 0755, "#!/bin/sh\n"},
      {"set-user-id", 04755, "runs as its owner"},
      {"empty-file", 0644, ""},
      {"shared", 02775, nullptr},
      {"shared/note", 0644, "inherits"},
      {"sticky", 01777, nullptr},
      {"empty", 0700, nullptr},
      {"locked", 0700, nullptr},
      {"locked/read-only", 0444, "cannot change"},
  };
  for (const Entry& entry : entries) {
    if (entry.contents == nullptr) {
      MakeDirectory(source.Join(entry.name), entry.mode);
    } else {
      ASSERT_EQ(
          ::chmod(folder.WriteFile("source/" + entry.name, entry.contents).c_str(), entry.mode), 0);
    }
  }
  ASSERT_EQ(::chmod(source.Join("locked").c_str(), 0555), 0);
  // Times last, children before their directories, each entry its own.
  time_t seconds = 1'500'000'000;
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    SetTimes(source.Join(entry->name), seconds, 123'456'789);
    seconds += 86'400;
  }
  SetTimes(source, seconds, 123'456'789);

  const FilePath copy = folder.Join("copy");
  ASSERT_FALSE(platform::CopyTree(source.c_str(), copy.c_str()));

  // Times first: reading the copies changes their access times. Directory times survive the
  // copying of their contents.
  seconds = 1'500'000'000;
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    ExpectTimes(copy.Join(entry->name), seconds, 123'456'789);
    seconds += 86'400;
  }
  ExpectTimes(copy, seconds, 123'456'789);
  for (const Entry& entry : entries) {
    const FilePath copied = copy.Join(entry.name);
    EXPECT_EQ(ModeOf(copied), entry.name == "locked" ? 0555u : entry.mode) << entry.name;
    if (entry.contents != nullptr) {
      EXPECT_EQ(Read(copied), entry.contents) << entry.name;
    }
  }
  EXPECT_EQ(ModeOf(copy), 0755u);
}

TEST(CopyTree, CopiesLinksAsLinksWithoutFollowingThem) {
  testing::TemporaryFolder folder;
  folder.WriteFile("outside/secret", "stays outside");
  const FilePath source = folder.Join("source");
  MakeDirectory(source, 0755);
  const FilePath outside_secret = folder.Join("outside/secret");
  const std::vector<std::pair<std::string, std::string>> links = {
      {"relative", "../outside/secret"},
      {"absolute", outside_secret.string()},
      {"directory", folder.Join("outside").string()},
      {"dangling", "nowhere/at/all"},
      {"loop-a", "loop-b"},
      {"loop-b", "loop-a"},
      {"self", "self"},
      {"up", ".."},
  };
  time_t seconds = 1'400'000'000;
  for (const auto& [name, target] : links) {
    ASSERT_EQ(::symlink(target.c_str(), source.Join(name).c_str()), 0);
    SetTimes(source.Join(name), seconds++, 999'999'990);
  }

  const FilePath copy = folder.Join("copy");
  ASSERT_FALSE(platform::CopyTree(source.c_str(), copy.c_str()));

  seconds = 1'400'000'000;
  for (const auto& [name, target] : links) {
    ExpectTimes(copy.Join(name), seconds++, 999'999'990);  // before readlink touches them
    EXPECT_TRUE(S_ISLNK(Status(copy.Join(name)).st_mode)) << name;
    EXPECT_EQ(LinkTarget(copy.Join(name)), target) << name;
  }
  EXPECT_EQ(Read(outside_secret), "stays outside");

  // A link on its own is copied as a link too.
  ASSERT_FALSE(platform::CopyTree(source.Join("absolute").c_str(), folder.Join("alone").c_str()));
  EXPECT_EQ(LinkTarget(folder.Join("alone")), outside_secret.string());
}

TEST(CopyTree, CopiesExtendedAttributesOfFilesDirectoriesAndLinks) {
  testing::TemporaryFolder folder;
  const FilePath source = folder.Join("source");
  MakeDirectory(source, 0755);
  const FilePath file = folder.WriteFile("source/file", "with attributes");
  std::string finder_info(32, '\0');
  finder_info[0] = 'T';
  finder_info[8] = '\x80';
  finder_info[31] = '\xff';
  const std::string large(3000, 'L');
  SetAttribute(file, "user.com.apple.FinderInfo", finder_info);
  SetAttribute(file, "user.com.apple.quarantine", "0083;5f000000;Safari;");
  SetAttribute(file, "user.large", large);
  SetAttribute(file, "user.empty", "");
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0) << "attributes must be copied before the mode";
  SetAttribute(source, "user.com.apple.metadata:_kMDItemUserTags", "tags");
  const FilePath link = source.Join("link");
  ASSERT_EQ(::symlink("file", link.c_str()), 0);
  // Root may also write the trusted namespace, on links as well.
  const bool trusted = ::geteuid() == 0 &&
                       ::lsetxattr(file.c_str(), "trusted.dorvane", "t", 1, 0) == 0 &&
                       ::lsetxattr(link.c_str(), "trusted.dorvane", "l", 1, 0) == 0;

  const FilePath copy = folder.Join("copy");
  ASSERT_FALSE(platform::CopyTree(source.c_str(), copy.c_str()));
  EXPECT_EQ(Attribute(copy.Join("file"), "user.com.apple.FinderInfo"), finder_info);
  EXPECT_EQ(Attribute(copy.Join("file"), "user.com.apple.quarantine"), "0083;5f000000;Safari;");
  EXPECT_EQ(Attribute(copy.Join("file"), "user.large"), large);
  EXPECT_EQ(Attribute(copy.Join("file"), "user.empty"), "");
  EXPECT_EQ(Attribute(copy, "user.com.apple.metadata:_kMDItemUserTags"), "tags");
  EXPECT_EQ(ModeOf(copy.Join("file")), 0444u);
  if (trusted) {
    EXPECT_EQ(Attribute(copy.Join("file"), "trusted.dorvane"), "t");
    EXPECT_EQ(Attribute(copy.Join("link"), "trusted.dorvane"), "l");
  }
}

TEST(CopyTree, KeepsSparseFilesSparse) {
  testing::TemporaryFolder folder;
  const FilePath source = folder.Join("source");
  MakeDirectory(source, 0755);
  constexpr off_t kSize = 16 << 20;
  const std::string block(4096, 'd');
  // Data after a hole, data only at the end, and a file that is all hole.
  const auto make = [&](const char* name, std::vector<off_t> offsets) {
    const int fd = ::open(source.Join(name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_EQ(::ftruncate(fd, kSize), 0);
    for (off_t offset : offsets) ASSERT_EQ(::pwrite(fd, block.data(), block.size(), offset), 4096);
    ::close(fd);
  };
  make("image", {0, 10 << 20});
  make("tail", {kSize - 4096});
  make("hole", {});

  const FilePath copy = folder.Join("copy");
  ASSERT_FALSE(platform::CopyTree(source.c_str(), copy.c_str()));
  for (const char* name : {"image", "tail", "hole"}) {
    const struct stat original = Status(source.Join(name));
    const struct stat copied = Status(copy.Join(name));
    EXPECT_EQ(copied.st_size, kSize) << name;
    EXPECT_LE(copied.st_blocks, original.st_blocks + 8) << name << ": holes were filled";
    EXPECT_TRUE(Read(copy.Join(name)) == Read(source.Join(name))) << name;
  }
}

TEST(CopyTree, CopiesAndRemovesTreesDeeperThanPathMax) {
  testing::TemporaryFolder folder;
  const FilePath source = folder.Join("source");
  MakeDirectory(source, 0755);
  const std::string name(200, 'n');
  constexpr int kDepth = 30;  // 30 * 201 bytes: well beyond PATH_MAX (4096)
  {
    int dir = ::open(source.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < kDepth; ++level) {
      ASSERT_EQ(::mkdirat(dir, name.c_str(), 0755), 0);
      const int next = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY);
      ::close(dir);
      dir = next;
      ASSERT_GE(dir, 0);
    }
    const int file = ::openat(dir, "bottom", O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(::write(file, "deep", 4), 4);
    ::close(file);
    ::close(dir);
  }

  const FilePath copy = folder.Join("copy");
  ASSERT_FALSE(platform::CopyTree(source.c_str(), copy.c_str()));
  int dir = ::open(copy.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < kDepth && dir >= 0; ++level) {
    const int next = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    ::close(dir);
    dir = next;
  }
  ASSERT_GE(dir, 0) << "the copy is not as deep as the source";
  const int file = ::openat(dir, "bottom", O_RDONLY);
  char contents[8] = {};
  EXPECT_EQ(::read(file, contents, sizeof contents), 4);
  EXPECT_STREQ(contents, "deep");
  struct stat info {};
  ASSERT_EQ(::fstat(file, &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  ::close(file);
  ::close(dir);

  // The folder's own clean-up works with whole paths and would fail here.
  EXPECT_FALSE(platform::RemoveTree(copy.c_str()));
  EXPECT_FALSE(platform::RemoveTree(source.c_str()));
  EXPECT_FALSE(Exists(copy));
  EXPECT_FALSE(Exists(source));
}

TEST(CopyTree, CopiesEmptyDirectoriesSingleFilesAndHardLinksAsSeparateFiles) {
  testing::TemporaryFolder folder;
  MakeDirectory(folder.Join("empty"), 0750);
  ASSERT_FALSE(platform::CopyTree(folder.Join("empty").c_str(), folder.Join("empty-copy").c_str()));
  EXPECT_TRUE(S_ISDIR(Status(folder.Join("empty-copy")).st_mode));
  EXPECT_EQ(ModeOf(folder.Join("empty-copy")), 0750u);

  const FilePath file = folder.WriteFile("file", "one file");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  ASSERT_FALSE(platform::CopyTree(file.c_str(), folder.Join("file-copy").c_str()));
  EXPECT_EQ(Read(folder.Join("file-copy")), "one file");
  EXPECT_EQ(ModeOf(folder.Join("file-copy")), 0640u);

  EXPECT_EQ(platform::CopyTree(folder.Join("missing").c_str(), folder.Join("x").c_str()),
            std::errc::no_such_file_or_directory);
  EXPECT_EQ(platform::CopyTree(file.c_str(), folder.Join("no/such/parent").c_str()),
            std::errc::no_such_file_or_directory);

  // Hard links become separate files.
  folder.WriteFile("linked/a", "shared");
  ASSERT_EQ(::link(folder.Join("linked/a").c_str(), folder.Join("linked/b").c_str()), 0);
  ASSERT_FALSE(platform::CopyTree(folder.Join("linked").c_str(), folder.Join("copy").c_str()));
  EXPECT_EQ(Read(folder.Join("copy/a")), "shared");
  EXPECT_EQ(Read(folder.Join("copy/b")), "shared");
  EXPECT_NE(Status(folder.Join("copy/a")).st_ino, Status(folder.Join("copy/b")).st_ino);
}

TEST(CopyTree, MergesIntoDirectoriesAndReplacesFilesWithoutWritingThroughLinks) {
  testing::TemporaryFolder folder;
  folder.WriteFile("source/plain", "new contents");
  folder.WriteFile("source/sub/inner", "inner");
  const FilePath victim = folder.WriteFile("victim", "must not change");
  folder.WriteFile("copy/extra", "kept");
  folder.WriteFile("copy/sub/old", "kept too");
  ASSERT_EQ(::symlink(victim.c_str(), folder.Join("copy/plain").c_str()), 0);

  ASSERT_FALSE(platform::CopyTree(folder.Join("source").c_str(), folder.Join("copy").c_str()));
  EXPECT_TRUE(S_ISREG(Status(folder.Join("copy/plain")).st_mode));
  EXPECT_EQ(Read(folder.Join("copy/plain")), "new contents");
  EXPECT_EQ(Read(victim), "must not change");
  EXPECT_EQ(Read(folder.Join("copy/extra")), "kept");
  EXPECT_EQ(Read(folder.Join("copy/sub/old")), "kept too");
  EXPECT_EQ(Read(folder.Join("copy/sub/inner")), "inner");

  // A directory never replaces a file, nor a file a directory.
  folder.WriteFile("blocked/sub", "a file where the source has a directory");
  EXPECT_EQ(platform::CopyTree(folder.Join("source").c_str(), folder.Join("blocked").c_str()),
            std::errc::file_exists);
  EXPECT_EQ(
      platform::CopyTree(folder.Join("source/plain").c_str(), folder.Join("copy/sub").c_str()),
      std::errc::is_a_directory);
}

TEST(CopyTree, NeverCopiesIntoItselfOrLosesTheSource) {
  testing::TemporaryFolder folder;
  folder.WriteFile("source/file", "original");
  MakeDirectory(folder.Join("source/inner"), 0755);

  EXPECT_EQ(
      platform::CopyTree(folder.Join("source").c_str(), folder.Join("source/inner/copy").c_str()),
      std::errc::invalid_argument);
  EXPECT_EQ(platform::CopyTree(folder.Join("source").c_str(), folder.Join("source").c_str()),
            std::errc::invalid_argument);
  // A file copied onto itself, or onto a hard link of itself, is already there.
  ASSERT_EQ(::link(folder.Join("source/file").c_str(), folder.Join("hard").c_str()), 0);
  EXPECT_FALSE(
      platform::CopyTree(folder.Join("source/file").c_str(), folder.Join("source/file").c_str()));
  EXPECT_FALSE(platform::CopyTree(folder.Join("source/file").c_str(), folder.Join("hard").c_str()));
  EXPECT_EQ(Read(folder.Join("source/file")), "original");
}

TEST(CopyTree, RecreatesFifosAndDeviceNodes) {
  testing::TemporaryFolder folder;
  const FilePath source = folder.Join("source");
  MakeDirectory(source, 0755);
  ASSERT_EQ(::mkfifo(source.Join("fifo").c_str(), 0640), 0);
  const bool device = ::mknod(source.Join("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;

  ASSERT_FALSE(platform::CopyTree(source.c_str(), folder.Join("copy").c_str()));
  EXPECT_TRUE(S_ISFIFO(Status(folder.Join("copy/fifo")).st_mode));
  EXPECT_EQ(ModeOf(folder.Join("copy/fifo")), 0640u);
  if (!device) GTEST_SKIP() << "this process may not make device nodes";
  const struct stat copied = Status(folder.Join("copy/null"));
  EXPECT_TRUE(S_ISCHR(copied.st_mode));
  EXPECT_EQ(copied.st_rdev, makedev(1, 3));

  // A process that may not make device nodes leaves them out and copies everything else.
  MakeDirectory(folder.Join("unprivileged"), 0755);
  GiveToUnprivilegedUser(folder, folder.Join("unprivileged"));
  const FilePath target = folder.Join("unprivileged/copy");
  EXPECT_EQ(CopyUnprivileged(source, target), 0);
  EXPECT_TRUE(S_ISFIFO(Status(target.Join("fifo")).st_mode));
  EXPECT_FALSE(Exists(target.Join("null")));
}

TEST(CopyTree, PreservesOwnersWhenRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root may give files away";
  testing::TemporaryFolder folder;
  const FilePath file = folder.WriteFile("source/file", "owned");
  const FilePath link = folder.Join("source/link");
  ASSERT_EQ(::symlink("file", link.c_str()), 0);
  ASSERT_EQ(::chown(file.c_str(), 1234, 5678), 0);
  ASSERT_EQ(::chmod(file.c_str(), 06755), 0);
  ASSERT_EQ(::lchown(link.c_str(), 4321, 8765), 0);
  ASSERT_EQ(::chown(folder.Join("source").c_str(), 2345, 6789), 0);

  ASSERT_FALSE(platform::CopyTree(folder.Join("source").c_str(), folder.Join("copy").c_str()));
  const struct stat copied_file = Status(folder.Join("copy/file"));
  EXPECT_EQ(copied_file.st_uid, 1234u);
  EXPECT_EQ(copied_file.st_gid, 5678u);
  EXPECT_EQ(copied_file.st_mode & 07777, 06755u) << "chown must not cost the set-id bits";
  EXPECT_EQ(Status(folder.Join("copy/link")).st_uid, 4321u);
  EXPECT_EQ(Status(folder.Join("copy/link")).st_gid, 8765u);
  EXPECT_EQ(Status(folder.Join("copy")).st_uid, 2345u);
  EXPECT_EQ(Status(folder.Join("copy")).st_gid, 6789u);
}

TEST(CopyTree, UnprivilegedCopiesKeepTheirOwnerAndDropForeignSetIdBits) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs files of another owner";
  testing::TemporaryFolder folder;
  const FilePath file = folder.WriteFile("source/tool", "root's tool");
  ASSERT_EQ(::chmod(file.c_str(), 06755), 0);
  ASSERT_EQ(::chmod(folder.Join("source").c_str(), 0755), 0);
  MakeDirectory(folder.Join("target"), 0755);
  GiveToUnprivilegedUser(folder, folder.Join("target"));

  const FilePath copy = folder.Join("target/copy");
  ASSERT_EQ(CopyUnprivileged(folder.Join("source"), copy), 0);
  const struct stat copied = Status(copy.Join("tool"));
  EXPECT_EQ(copied.st_uid, testing::kNobody);
  EXPECT_EQ(copied.st_mode & 07777, 0755u);
  EXPECT_EQ(Read(copy.Join("tool")), "root's tool");
}

TEST(CopyTree, StopsAtTheFirstFailure) {
  testing::TemporaryFolder folder;
  folder.WriteFile("source/unreadable", "secret");
  ASSERT_EQ(::chmod(folder.Join("source/unreadable").c_str(), 0), 0);
  MakeDirectory(folder.Join("target"), 0755);
  GiveToUnprivilegedUser(folder, folder.Join("target"));
  ASSERT_EQ(::chmod(folder.Join("source").c_str(), 0755), 0);

  const FilePath copy = folder.Join("target/copy");
  EXPECT_EQ(CopyUnprivileged(folder.Join("source"), copy), EACCES);
  EXPECT_TRUE(Exists(copy)) << "the partial copy is left to the caller";
}

TEST(CopyFileContents, CopiesDataPermissionsTimesAndAttributes) {
  testing::TemporaryFolder folder;
  const FilePath source = folder.WriteFile("source", "short");
  ASSERT_EQ(::chmod(source.c_str(), 0751), 0);
  SetAttribute(source, "user.com.apple.quarantine", "q");
  SetTimes(source, 1'234'567'890, 42);
  const FilePath target = folder.WriteFile("target", "a much longer previous content");

  const int from = ::open(source.c_str(), O_RDONLY);
  const int to = ::open(target.c_str(), O_WRONLY);
  ASSERT_FALSE(platform::CopyFileContents(from, to));
  ExpectTimes(target, 1'234'567'890, 42);
  EXPECT_EQ(Read(target), "short");
  EXPECT_EQ(ModeOf(target), 0751u);
  EXPECT_EQ(Attribute(target, "user.com.apple.quarantine"), "q");

  EXPECT_EQ(platform::CopyFileContents(from, from), std::errc::invalid_argument);
  const int directory = ::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(platform::CopyFileContents(directory, to), std::errc::is_a_directory);
  ::close(directory);
  ::close(from);
  ::close(to);
}

TEST(RemoveTree, RemovesDirectoriesItOwnsWhateverTheirMode) {
  testing::TemporaryFolder folder;
  const FilePath tree = folder.Join("box/tree");
  folder.WriteFile("box/tree/read-only/file", "x");
  folder.WriteFile("box/tree/no-rights/file", "x");
  folder.WriteFile("box/tree/write-only/file", "x");
  folder.WriteFile("box/tree/no-rights/nested/file", "x");
  ASSERT_EQ(::chmod(tree.Join("no-rights/nested").c_str(), 0), 0);
  ASSERT_EQ(::chmod(tree.Join("read-only").c_str(), 0500), 0);
  ASSERT_EQ(::chmod(tree.Join("no-rights").c_str(), 0), 0);
  ASSERT_EQ(::chmod(tree.Join("write-only").c_str(), 0300), 0);
  ASSERT_EQ(::chmod(tree.c_str(), 0555), 0);
  GiveToUnprivilegedUser(folder, folder.Join("box"));

  EXPECT_EQ(testing::RunUnprivileged([&] { return platform::RemoveTree(tree.c_str()).value(); }),
            0);
  EXPECT_FALSE(Exists(tree));
  EXPECT_TRUE(Exists(folder.Join("box")));
}

TEST(RemoveTree, NeverFollowsLinks) {
  testing::TemporaryFolder folder;
  folder.WriteFile("outside/keep", "keep me");
  folder.WriteFile("tree/file", "x");
  ASSERT_EQ(::symlink(folder.Join("outside").c_str(), folder.Join("tree/to-dir").c_str()), 0);
  ASSERT_EQ(::symlink(folder.Join("outside/keep").c_str(), folder.Join("tree/to-file").c_str()), 0);
  ASSERT_EQ(::symlink(folder.Join("outside").c_str(), folder.Join("root-link").c_str()), 0);

  EXPECT_FALSE(platform::RemoveTree(folder.Join("tree").c_str()));
  EXPECT_FALSE(Exists(folder.Join("tree")));
  EXPECT_FALSE(platform::RemoveTree(folder.Join("root-link").c_str()));
  EXPECT_FALSE(Exists(folder.Join("root-link")));
  EXPECT_EQ(Read(folder.Join("outside/keep")), "keep me");

  EXPECT_FALSE(platform::RemoveTree(folder.Join("outside/keep").c_str())) << "a single file";
  EXPECT_FALSE(Exists(folder.Join("outside/keep")));
  EXPECT_EQ(platform::RemoveTree(folder.Join("missing").c_str()),
            std::errc::no_such_file_or_directory);
}

TEST(RemoveTree, LeavesMountedFileSystemsAlone) {
  testing::TemporaryFolder folder;
  const FilePath tree = folder.Join("tree");
  MakeDirectory(tree, 0755);
  MakeDirectory(tree.Join("mounted"), 0755);
  folder.WriteFile("tree/plain", "x");

  // The mount lives in a private mount namespace of a child, so it goes away with the child
  // whatever happens.
  const pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", tree.Join("mounted").c_str(), "tmpfs", 0, "size=1m") != 0) {
      ::_exit(77);
    }
    const int file = ::open(tree.Join("mounted/volume-file").c_str(), O_WRONLY | O_CREAT, 0644);
    ::close(file);
    const std::error_code error = platform::RemoveTree(tree.c_str());
    struct stat info {};
    const bool kept = ::lstat(tree.Join("mounted/volume-file").c_str(), &info) == 0;
    ::_exit(error == std::errc::device_or_resource_busy && kept ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "this process may not mount file systems";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "removal entered a mounted file system";
}

}  // namespace
