#include "sim/machine/tree_differences.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/extended_attributes.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Writes `bytes` at `offset` into the file at `path`; a file it makes gets mode 0644 whatever
// the umask.
void WriteAt(const std::string& path, const std::string& bytes, off_t offset) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    Check(::fchmod(fd, 0644) == 0, "chmod " + path);
  } else {
    fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  }
  Check(fd >= 0, "open " + path);
  const ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), offset);
  ::close(fd);
  Check(written == static_cast<ssize_t>(bytes.size()), "write " + path);
}

void MakeFolder(const std::string& path, mode_t mode) {
  Check(::mkdir(path.c_str(), 0700) == 0, "mkdir " + path);
  Check(::chmod(path.c_str(), mode) == 0, "chmod " + path);
}

std::string Bytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    seed = seed * 1664525 + 1013904223;
    byte = static_cast<char>(seed >> 24);
  }
  return bytes;
}

void SetAttribute(const std::string& path, const char* name, const std::string& value) {
  Check(!platform::SetAttribute(path.c_str(), name, value.data(), value.size()), "setxattr");
}

// The times of an entry depend on its path only, so that a tree whose folders were changed
// can be given its times back. The names of the file that is (or may become) hard linked
// share one time, as they share one inode.
timespec ModifiedTime(const std::string& relative) {
  const std::string key = relative == "pair-2" || relative == "single" ? "pair-1" : relative;
  const size_t hash = std::hash<std::string>()(key);
  return timespec{1600000000 + static_cast<time_t>(hash % 1000000),
                  static_cast<long>(hash % 1000000000)};
}

std::string Format(const timespec& time) {
  char text[48];
  std::snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(time.tv_sec), time.tv_nsec);
  return text;
}

// Gives every entry below and including `root` its time: modified by ModifiedTime, accessed
// 1000 seconds later.
void StampTimes(const std::string& root) {
  const auto stamp = [](const std::string& path, const std::string& relative) {
    const timespec modified = ModifiedTime(relative);
    const timespec times[2] = {{modified.tv_sec + 1000, modified.tv_nsec}, modified};
    Check(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0, "utimensat");
  };
  // Listed first and stamped afterwards: listing a folder would update its access time.
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    paths.push_back(entry.path().string());
  }
  for (const std::string& path : paths) {
    stamp(path, std::filesystem::path(path).lexically_relative(root).string());
  }
  stamp(root, ".");
}

// A small tree with one of everything the comparison looks at (12 entries below the root).
void MakeTree(const std::string& root) {
  MakeFolder(root, 0755);
  MakeFolder(root + "/docs", 0755);
  MakeFolder(root + "/docs/private", 0700);
  WriteAt(root + "/docs/a.txt", Bytes(100, 1), 0);
  SetAttribute(root + "/docs/a.txt", "com.apple.FinderInfo", Bytes(32, 2));
  SetAttribute(root + "/docs/a.txt", "com.apple.quarantine", "0083;5f0a1b2c;Safari;");
  SetAttribute(root, "com.apple.rootless", "");
  // Three blocks and a little more, so that differences in later blocks and in the short
  // last block are found.
  WriteAt(root + "/big", Bytes((3 << 20) + 5, 3), 0);
  // Data, a hole, data, and a hole to the end.
  WriteAt(root + "/sparse", "head", 0);
  WriteAt(root + "/sparse", "middle", 4 << 20);
  Check(::truncate((root + "/sparse").c_str(), 16 << 20) == 0, "truncate");
  WriteAt(root + "/empty", "", 0);
  Check(::symlink("docs/a.txt", (root + "/link").c_str()) == 0, "symlink");
  Check(
      ::mkfifo((root + "/fifo").c_str(), 0600) == 0 && ::chmod((root + "/fifo").c_str(), 0640) == 0,
      "mkfifo");
  Check(::mknod((root + "/socket").c_str(), S_IFSOCK | 0600, 0) == 0, "mknod");
  WriteAt(root + "/pair-1", "twin", 0);
  Check(::link((root + "/pair-1").c_str(), (root + "/pair-2").c_str()) == 0, "link");
  WriteAt(root + "/single", "twin", 0);
  StampTimes(root);
}

class TreeDifferencesTest : public ::testing::Test {
 protected:
  TreeDifferencesTest() { MakeTree(original()); }

  std::string original() const { return folder_.Join("original").string(); }

  // A fresh copy of the original, changed by `change` (given the copy's root), with every
  // time given back afterwards unless `keep_times` is set; its differences from the original.
  std::vector<std::string> DifferencesAfter(const std::function<void(const std::string&)>& change,
                                            const TreeComparisonOptions& options = {},
                                            bool keep_times = false) {
    const std::string copy = folder_.Join("copy-" + std::to_string(++copies_)).string();
    MakeTree(copy);
    change(copy);
    if (!keep_times) StampTimes(copy);
    return TreeDifferences(mcom::FilePath(original()), mcom::FilePath(copy), options);
  }

  ::testing::TemporaryFolder folder_;
  int copies_ = 0;
};

TEST_F(TreeDifferencesTest, EqualTreesAreIdenticalAndCounted) {
  const std::string copy = folder_.Join("copy").string();
  MakeTree(copy);
  TreeComparisonOptions every_time;
  every_time.compare_access_times = true;
  const TreeComparison comparison =
      CompareTrees(mcom::FilePath(original()), mcom::FilePath(copy), every_time);
  EXPECT_TRUE(comparison.identical());
  EXPECT_THAT(comparison.differences, IsEmpty());
  EXPECT_EQ(comparison.entries, 12u);
  EXPECT_THAT(TreeDifferences(mcom::FilePath(copy), mcom::FilePath(original())), IsEmpty());

  // A copy that wrote the holes of the sparse file out as zeros holds the same content.
  EXPECT_THAT(DifferencesAfter([](const std::string& root) {
                WriteAt(root + "/sparse", std::string(16 << 20, '\0'), 0);
                WriteAt(root + "/sparse", "head", 0);
                WriteAt(root + "/sparse", "middle", 4 << 20);
              }),
              IsEmpty());
}

TEST_F(TreeDifferencesTest, FindsEachKindOfDifference) {
  const std::string owner = std::to_string(::getuid()) + ":" + std::to_string(::getgid());
  struct Case {
    const char* what;
    std::function<void(const std::string&)> change;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"mode",
       [](const std::string& root) { ::chmod((root + "/docs/a.txt").c_str(), 0600); },
       {"docs/a.txt: mode 0644 vs 0600"}},
      {"the root's own mode",
       [](const std::string& root) { ::chmod(root.c_str(), 0700); },
       {".: mode 0755 vs 0700"}},
      {"size",
       [](const std::string& root) { WriteAt(root + "/docs/a.txt", "+", 100); },
       {"docs/a.txt: size 100 vs 101"}},
      {"content in a middle block",
       [](const std::string& root) { WriteAt(root + "/big", "\x01\x02", 2000000); },
       {"big: content differs from byte 2000000"}},
      {"content in the short last block",
       [](const std::string& root) {
         const std::string last = Bytes((3 << 20) + 5, 3).substr(3 << 20);
         WriteAt(root + "/big", std::string(1, static_cast<char>(~last[4])), (3 << 20) + 4);
       },
       {"big: content differs from byte 3145732"}},
      {"data in the original's final hole",
       [](const std::string& root) { WriteAt(root + "/sparse", "x", 12 << 20); },
       {"sparse: content differs from byte 12582912"}},
      {"data in the original's first hole",
       [](const std::string& root) { WriteAt(root + "/sparse", "x", 1 << 20); },
       {"sparse: content differs from byte 1048576"}},
      {"link target",
       [](const std::string& root) {
         ::unlink((root + "/link").c_str());
         Check(::symlink("docs/b.txt", (root + "/link").c_str()) == 0, "symlink");
       },
       {"link: link target docs/a.txt vs docs/b.txt"}},
      {"type",
       [](const std::string& root) {
         ::unlink((root + "/empty").c_str());
         MakeFolder(root + "/empty", 0644);
       },
       {"empty: type file vs folder"}},
      {"a fifo become a file",
       [](const std::string& root) {
         ::unlink((root + "/fifo").c_str());
         WriteAt(root + "/fifo", "", 0);
         ::chmod((root + "/fifo").c_str(), 0640);
       },
       {"fifo: type fifo vs file"}},
      {"a socket made a fifo",
       [](const std::string& root) {
         ::unlink((root + "/socket").c_str());
         Check(::mkfifo((root + "/socket").c_str(), 0600) == 0, "mkfifo");
       },
       {"socket: type socket vs fifo"}},
      {"a socket lost",
       [](const std::string& root) { ::unlink((root + "/socket").c_str()); },
       {"socket: only in the original"}},
      {"a missing folder is one difference, not one per entry in it",
       [](const std::string& root) { std::filesystem::remove_all(root + "/docs"); },
       {"docs: only in the original"}},
      {"an extra folder likewise",
       [](const std::string& root) {
         MakeFolder(root + "/zzz", 0755);
         WriteAt(root + "/zzz/inside", "x", 0);
       },
       {"zzz: only in the copy"}},
      {"path order, names only in the copy among the others",
       [](const std::string& root) {
         WriteAt(root + "/docs/0-extra", "x", 0);
         ::unlink((root + "/docs/a.txt").c_str());
         ::chmod((root + "/docs/private").c_str(), 0755);
       },
       {"docs/0-extra: only in the copy", "docs/a.txt: only in the original",
        "docs/private: mode 0700 vs 0755"}},
      {"extended attributes",
       [](const std::string& root) {
         const std::string file = root + "/docs/a.txt";
         SetAttribute(file, "com.apple.FinderInfo", Bytes(32, 5));
         SetAttribute(file, "com.apple.metadata:kMDItemWhereFroms", "x");
         Check(::removexattr(file.c_str(), "user.com.apple.quarantine") == 0, "removexattr");
       },
       {"docs/a.txt: extended attribute com.apple.FinderInfo differs",
        "docs/a.txt: extended attribute com.apple.metadata:kMDItemWhereFroms only in the copy",
        "docs/a.txt: extended attribute com.apple.quarantine only in the original"}},
      {"an empty attribute value is not a missing attribute",
       [](const std::string& root) {
         Check(::removexattr(root.c_str(), "user.com.apple.rootless") == 0, "removexattr");
       },
       {".: extended attribute com.apple.rootless only in the original"}},
      {"hard link lost",
       [](const std::string& root) {
         ::unlink((root + "/pair-2").c_str());
         WriteAt(root + "/pair-2", "twin", 0);
       },
       {"pair-1: link count 2 vs 1", "pair-2: link count 2 vs 1",
        "pair-2: not hard linked to pair-1 in the copy"}},
      {"hard link gained",
       [](const std::string& root) {
         ::unlink((root + "/single").c_str());
         Check(::link((root + "/pair-1").c_str(), (root + "/single").c_str()) == 0, "link");
       },
       {"single: link count 1 vs 3", "single: hard linked to pair-1 in the copy only"}},
  };
  for (const Case& test : cases)
    EXPECT_EQ(DifferencesAfter(test.change), test.expected) << test.what;

  if (::geteuid() == 0) {
    EXPECT_THAT(DifferencesAfter([](const std::string& root) {
                  Check(::lchown((root + "/link").c_str(), 501, 20) == 0, "lchown");
                }),
                ElementsAre("link: owner " + owner + " vs 501:20"));
    // Device nodes by their numbers, where the host lets root make them.
    const std::string left = folder_.Join("left").string();
    const std::string right = folder_.Join("right").string();
    MakeFolder(left, 0755);
    MakeFolder(right, 0755);
    if (::mknod((left + "/node").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
      Check(::mknod((right + "/node").c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0, "mknod");
      StampTimes(left);
      StampTimes(right);
      EXPECT_THAT(TreeDifferences(mcom::FilePath(left), mcom::FilePath(right)),
                  ElementsAre("node: device 1:3 vs 1:5"));
    }
  }
}

TEST_F(TreeDifferencesTest, ModificationTimesToTheNanosecond) {
  const timespec modified = ModifiedTime("docs/a.txt");
  const timespec later = {modified.tv_sec, (modified.tv_nsec + 1) % 1000000000};
  EXPECT_THAT(DifferencesAfter(
                  [&](const std::string& root) {
                    const timespec times[2] = {{0, UTIME_OMIT}, later};
                    ::utimensat(AT_FDCWD, (root + "/docs/a.txt").c_str(), times, 0);
                  },
                  {}, true),
              ElementsAre("docs/a.txt: modified " + Format(modified) + " vs " + Format(later)));
  // A symbolic link's own time, not its target's.
  EXPECT_THAT(DifferencesAfter(
                  [&](const std::string& root) {
                    const timespec times[2] = {{0, UTIME_OMIT}, {1, 0}};
                    ::utimensat(AT_FDCWD, (root + "/link").c_str(), times, AT_SYMLINK_NOFOLLOW);
                  },
                  {}, true),
              ElementsAre("link: modified " + Format(ModifiedTime("link")) + " vs 1.000000000"));
}

TEST_F(TreeDifferencesTest, AccessTimesOnlyWhenAsked) {
  const auto touch = [](const std::string& root) {
    const timespec times[2] = {{5, 5}, {0, UTIME_OMIT}};
    ::utimensat(AT_FDCWD, (root + "/docs/a.txt").c_str(), times, 0);
    ::utimensat(AT_FDCWD, (root + "/link").c_str(), times, AT_SYMLINK_NOFOLLOW);
  };
  EXPECT_THAT(DifferencesAfter(touch, {}, true), IsEmpty());
  TreeComparisonOptions options;
  options.compare_access_times = true;
  const timespec accessed = {ModifiedTime("docs/a.txt").tv_sec + 1000,
                             ModifiedTime("docs/a.txt").tv_nsec};
  // Never for the link, whose access time reading its target changes.
  EXPECT_THAT(DifferencesAfter(touch, options, true),
              ElementsAre("docs/a.txt: accessed " + Format(accessed) + " vs 5.000000005"));

  // Comparing has read every file and folder of the original but left their access times as
  // they were (in the past, so that reading would otherwise update them).
  EXPECT_THAT(TreeDifferences(mcom::FilePath(original()), mcom::FilePath(original()), options),
              IsEmpty());
  for (const char* relative : {"big", "docs", "docs/a.txt"}) {
    struct stat status {};
    ASSERT_EQ(::stat((original() + "/" + relative).c_str(), &status), 0);
    EXPECT_EQ(status.st_atim.tv_sec, ModifiedTime(relative).tv_sec + 1000) << relative;
    EXPECT_EQ(status.st_atim.tv_nsec, ModifiedTime(relative).tv_nsec) << relative;
  }
}

TEST_F(TreeDifferencesTest, MissingRoots) {
  const mcom::FilePath nowhere = folder_.Join("nowhere");
  EXPECT_THAT(TreeDifferences(mcom::FilePath(original()), nowhere),
              ElementsAre(".: only in the original"));
  EXPECT_THAT(TreeDifferences(nowhere, mcom::FilePath(original())),
              ElementsAre(".: cannot read the original: No such file or directory"));
}

TEST(TreeDifferences, ListsAtMostTheCapThenCountsTheRest) {
  ::testing::TemporaryFolder folder;
  for (const char* side : {"a", "b"}) {
    MakeFolder(folder.Join(side).string(), 0755);
    for (int index = 0; index < 150; ++index) {
      char name[16];
      std::snprintf(name, sizeof name, "/f%03d", index);
      WriteAt(folder.Join(side).string() + name, side, 0);
    }
    StampTimes(folder.Join(side).string());
  }
  const TreeComparison comparison = CompareTrees(folder.Join("a"), folder.Join("b"));
  EXPECT_EQ(comparison.difference_count, 150u);
  EXPECT_EQ(comparison.entries, 150u);
  ASSERT_EQ(comparison.differences.size(), 101u);
  EXPECT_EQ(comparison.differences.front(), "f000: content differs from byte 0");
  EXPECT_EQ(comparison.differences[99], "f099: content differs from byte 0");
  EXPECT_EQ(comparison.differences.back(), "... and 50 more");

  TreeComparisonOptions options;
  options.max_differences = 0;
  EXPECT_THAT(TreeDifferences(folder.Join("a"), folder.Join("b"), options),
              ElementsAre("... and 150 more"));
  options.max_differences = TreeComparisonOptions::kListAll;
  EXPECT_EQ(TreeDifferences(folder.Join("a"), folder.Join("b"), options).size(), 150u);
  options.max_differences = 150;
  EXPECT_EQ(TreeDifferences(folder.Join("a"), folder.Join("b"), options).size(), 150u)
      << "no count line when everything is listed";
}

// Files of a terabyte that are almost all hole: only their data is read (reading the holes
// would take many minutes, and the test would not finish).
TEST(TreeDifferences, HugeSparseFilesCostOnlyTheirData) {
  ::testing::TemporaryFolder folder;
  constexpr off_t kSize = off_t{1} << 40;
  constexpr off_t kMiddle = off_t{1} << 39;
  for (const char* side : {"a", "b"}) {
    MakeFolder(folder.Join(side).string(), 0755);
    const std::string file = folder.Join(side).string() + "/disk.img";
    WriteAt(file, "start", 0);
    WriteAt(file, "middle", kMiddle);
    ASSERT_EQ(::truncate(file.c_str(), kSize), 0) << std::strerror(errno);
    StampTimes(folder.Join(side).string());
  }
  const std::string copy = folder.Join("b").string();
  const auto change = [&](const std::string& bytes, off_t offset) {
    WriteAt(copy + "/disk.img", bytes, offset);
    StampTimes(copy);
  };
  // Zeros written where the original has a hole are equal to it.
  change(std::string(1 << 20, '\0'), off_t{1} << 30);
  EXPECT_THAT(TreeDifferences(folder.Join("a"), folder.Join("b")), IsEmpty());

  change("x", kMiddle + 3);
  EXPECT_THAT(TreeDifferences(folder.Join("a"), folder.Join("b")),
              ElementsAre("disk.img: content differs from byte " + std::to_string(kMiddle + 3)));
  change("d", kMiddle + 3);
  change("!", kSize - 1);
  EXPECT_THAT(TreeDifferences(folder.Join("a"), folder.Join("b")),
              ElementsAre("disk.img: content differs from byte " + std::to_string(kSize - 1)));
}

}  // namespace
}  // namespace sim
