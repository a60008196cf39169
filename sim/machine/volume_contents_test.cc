#include "sim/machine/volume_contents.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "core/foundation/extended_attributes.h"
#include "sim/machine/tree_differences.h"
#include "sim/machine/volume_store.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::StartsWith;

// What the tests look at of one entry.
struct EntryState {
  mode_t mode = 0;
  uint64_t size = 0;
  uint64_t allocated = 0;
  timespec modified{};
  std::string contents;  // file data, or the link's target
  std::map<std::string, std::vector<char>> attributes;
};

std::map<std::string, EntryState> Snapshot(const mcom::FilePath& root) {
  std::map<std::string, EntryState> tree;
  const auto add = [&](const std::string& relative, const std::string& path) {
    EntryState state;
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    state.mode = status.st_mode;
    state.size = static_cast<uint64_t>(status.st_size);
    state.allocated = static_cast<uint64_t>(status.st_blocks) * 512;
    state.modified = status.st_mtim;
    if (S_ISREG(status.st_mode)) {
      state.contents = ::testing::TemporaryFolder::ReadFile(mcom::FilePath(path));
    } else if (S_ISLNK(status.st_mode)) {
      state.contents = std::filesystem::read_symlink(path).string();
    }
    if (!S_ISLNK(status.st_mode)) {
      const std::vector<std::string> names =
          mcom::ListExtendedAttributes(mcom::FilePath(path)).value();
      for (const std::string& name : names) {
        state.attributes[name] =
            mcom::ReadExtendedAttribute(mcom::FilePath(path), name.c_str()).value();
      }
    }
    tree[relative] = std::move(state);
  };
  add(".", root.string());
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root.string())) {
    add(entry.path().lexically_relative(root.string()).string(), entry.path().string());
  }
  return tree;
}

TEST(VolumeContents, TheSameSeedAndSizeGiveTheSameTree) {
  ::testing::TemporaryFolder folder;
  GenerateVolumeContents(folder.Join("a"), 7, 2 << 20);
  GenerateVolumeContents(folder.Join("b"), 7, 2 << 20);
  TreeComparisonOptions exact;
  exact.compare_access_times = true;
  exact.max_differences = TreeComparisonOptions::kListAll;
  const TreeComparison same = CompareTrees(folder.Join("a"), folder.Join("b"), exact);
  EXPECT_THAT(same.differences, IsEmpty());
  EXPECT_GT(same.entries, 50u);

  GenerateVolumeContents(folder.Join("c"), 8, 2 << 20);
  EXPECT_THAT(TreeDifferences(folder.Join("a"), folder.Join("c")),
              Contains(StartsWith(".: modified ")))
      << "another seed, other times";
  EXPECT_THROW(GenerateVolumeContents(folder.Join("a"), 7, 2 << 20), std::exception)
      << "a second generation into the same folder collides";
}

TEST(VolumeContents, HoldsEveryKindOfEntryACopyMustKeep) {
  ::testing::TemporaryFolder folder;
  GenerateVolumeContents(folder.Join("v"), 3, 1 << 20);
  const std::map<std::string, EntryState> tree = Snapshot(folder.Join("v"));
  int empty = 0, sparse = 0, relative = 0, absolute = 0, dangling = 0, setgid = 0, private_dirs = 0;
  std::map<mode_t, int> file_modes;
  std::set<std::string> attributes;
  for (const auto& [path, state] : tree) {
    if (S_ISREG(state.mode)) {
      empty += state.size == 0;
      sparse += state.allocated + 64 * 1024 < state.size;
      ++file_modes[state.mode & 07777];
    } else if (S_ISLNK(state.mode)) {
      const bool resolves =
          std::filesystem::exists(std::filesystem::path(folder.Join("v").string()) / path);
      if (state.contents.starts_with("/")) {
        ++absolute;
        EXPECT_TRUE(std::filesystem::exists(folder.Join("v").string() + state.contents))
            << path << " points inside the volume";
      } else if (resolves) {
        ++relative;
      } else {
        ++dangling;
      }
    } else if (S_ISDIR(state.mode)) {
      setgid += (state.mode & S_ISGID) != 0;
      private_dirs += (state.mode & 07777) == 0700;
    }
    for (const auto& [name, value] : state.attributes) attributes.insert(name);
  }
  EXPECT_GE(empty, 3);
  EXPECT_EQ(sparse, 1);
  EXPECT_GE(relative, 1);
  EXPECT_GE(absolute, 1);
  EXPECT_GE(dangling, 1);
  EXPECT_EQ(setgid, 1);
  EXPECT_GE(private_dirs, 1);
  EXPECT_GE(file_modes[0644], 1);
  EXPECT_GE(file_modes[0755], 1);
  EXPECT_GE(file_modes[0600], 1);
  EXPECT_TRUE(attributes.count("com.apple.FinderInfo"));
  EXPECT_TRUE(attributes.count("com.apple.quarantine"));
  EXPECT_TRUE(attributes.count("com.apple.metadata:kMDItemWhereFroms"));
  EXPECT_NE(tree.at(".").modified.tv_nsec, 0) << "times to the nanosecond, the root's too";
}

TEST(VolumeContents, TheSizeScalesTheData) {
  ::testing::TemporaryFolder folder;
  GenerateVolumeContents(folder.Join("small"), 5, 256 << 10);
  GenerateVolumeContents(folder.Join("large"), 5, 8 << 20);
  const auto data_and_files = [](const mcom::FilePath& root) {
    uint64_t data = 0, files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root.string())) {
      if (!entry.is_symlink() && entry.is_regular_file()) {
        ++files;
        struct stat status {};
        ::lstat(entry.path().c_str(), &status);
        data += std::min<uint64_t>(static_cast<uint64_t>(status.st_size),
                                   static_cast<uint64_t>(status.st_blocks) * 512);
      }
    }
    return std::pair(data, files);
  };
  const auto [small_data, small_files] = data_and_files(folder.Join("small"));
  const auto [large_data, large_files] = data_and_files(folder.Join("large"));
  EXPECT_GT(large_files, small_files);
  // Within a block per file of the asked size (the sparse file's blocks count once).
  EXPECT_NEAR(static_cast<double>(small_data), 256 << 10, 64 << 10);
  EXPECT_NEAR(static_cast<double>(large_data), 8 << 20, 512 << 10);
}

}  // namespace
}  // namespace sim
