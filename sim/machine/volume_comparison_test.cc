#include "sim/machine/volume_comparison.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sim/machine/apfs_operations.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/mounting.h"
#include "sim/machine/test_machine.h"
#include "sim/machine/volume_store.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// The first non-empty regular file below `folder`, relative to it.
std::string SomeFile(const mcom::FilePath& folder) {
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder.string())) {
    if (entry.is_regular_file() && !entry.is_symlink() && entry.file_size() > 0) {
      return entry.path().lexically_relative(folder.string()).string();
    }
  }
  return "";
}

// "disk1s1 (Macintosh HD)" for each side of each comparison ("-" for an absent side), and
// whether the pair is identical.
std::vector<std::string> Summary(const std::vector<VolumeComparison>& comparisons) {
  std::vector<std::string> lines;
  for (const VolumeComparison& comparison : comparisons) {
    lines.push_back((comparison.original ? comparison.original->Describe() : "-") + " | " +
                    (comparison.copy ? comparison.copy->Describe() : "-") + " | " +
                    (comparison.identical() ? "identical" : "different"));
  }
  return lines;
}

class VolumeComparisonTest : public ::testing::Test {
 protected:
  VolumeComparisonTest() : machine_(testing::MakeTestMachine(folder_.Join("mac"))) {}

  const mcom::FilePath& root() const { return machine_.root(); }
  mcom::FilePath FilesOf(mcom::DiskName volume) const {
    return VolumeFilesPath(root(), *FindVolume(machine_.Read(), volume));
  }
  std::vector<VolumeComparison> Compare(mcom::DiskName original, mcom::DiskName copy,
                                        const TreeComparisonOptions& options = {}) const {
    return CompareDisks(machine_, original, copy, options);
  }

  ::testing::TemporaryFolder folder_;
  Machine machine_;
};

TEST_F(VolumeComparisonTest, TheSameMediumTwiceIsIdenticalWhereverItsFilesAre) {
  // Two plugs of one medium get the same generated files: disk2 (container disk3) and disk4
  // (container disk5), both mounted under Volumes.
  ASSERT_EQ(testing::PlugTestMedium(machine_, "usb-apfs"), 2u);
  ASSERT_EQ(testing::PlugTestMedium(machine_, "usb-apfs"), 4u);
  const mcom::DiskName first{3, 1}, second{5, 1};

  // Access times included: making, measuring and mounting a volume leave them as generated.
  TreeComparisonOptions every_time;
  every_time.compare_access_times = true;
  std::vector<VolumeComparison> comparisons = Compare(first.Whole(), second.Whole(), every_time);
  EXPECT_THAT(Summary(comparisons),
              ElementsAre("disk3s1 (USB APFS) | disk5s1 (USB APFS) | identical"));
  EXPECT_GT(comparisons[0].files.entries, 10u);

  // The same with one of them unmounted (its files back in its store), compared as volumes.
  machine_.Change([&](Model& model) { ASSERT_TRUE(Unmount(root(), model, first).ok()); });
  comparisons = Compare(first, second);
  EXPECT_THAT(Summary(comparisons),
              ElementsAre("disk3s1 (USB APFS) | disk5s1 (USB APFS) | identical"));

  // A changed file of the mounted one is found, by its path inside the volume.
  const std::string file = SomeFile(FilesOf(second));
  ASSERT_FALSE(file.empty());
  std::ofstream(FilesOf(second).Join(file).string(), std::ios::app) << "more";
  comparisons = Compare(first, second);
  ASSERT_EQ(comparisons.size(), 1u);
  EXPECT_FALSE(comparisons[0].identical());
  EXPECT_THAT(comparisons[0].files.differences, ::testing::Contains(HasSubstr(file + ": size ")));
  EXPECT_THAT(Compare(first, first)[0].files.differences, IsEmpty());
}

TEST_F(VolumeComparisonTest, ComparesHFSVolumesToo) {
  testing::PlugTestMedium(machine_, "usb-hfs");
  testing::PlugTestMedium(machine_, "usb-hfs");
  EXPECT_THAT(Summary(Compare(mcom::DiskName{2, 2}, mcom::DiskName{3, 2})),
              ElementsAre("disk2s2 (USB HFS) | disk3s2 (USB HFS) | identical"));
}

TEST_F(VolumeComparisonTest, PairsAContainersVolumesByRoleThenByName) {
  // A second internal disk restored from the machine's own container (disk1): every volume
  // added and copied, the System volume under another name, and one volume of its own.
  ASSERT_EQ(testing::PlugTestMedium(machine_, "internal-second-disk"), 2u);
  machine_.Change([&](Model& model) {
    RemoveVolume(root(), model, mcom::DiskName{3, 1});
    std::vector<Volume> originals;
    for (const Volume* volume : VolumesOfContainer(model, 1)) originals.push_back(*volume);
    for (const Volume& volume : originals) {
      const std::string name = volume.HasRole("System") ? "Restored HD" : volume.name;
      const mcom::DiskName copy = AddVolume(root(), model, 3, VolumeSpec{name, volume.roles, ""});
      CopyVolumeFiles(root(), model, volume.disk, copy);
    }
    AddVolume(root(), model, 3, VolumeSpec{"Extra", {}, ""});
  });
  const Model model = machine_.Read();
  std::vector<std::string> expected;
  for (const Volume* volume : VolumesOfContainer(model, 1)) {
    const Volume* copy = VolumesOfContainer(model, 3)[volume->disk.slice - 1];
    ASSERT_EQ(copy->roles, volume->roles);
    expected.push_back(mcom::FormatDiskName(volume->disk) + " (" + volume->name + ") | " +
                       mcom::FormatDiskName(copy->disk) + " (" + copy->name + ") | identical");
  }
  expected.push_back("- | disk3s" + std::to_string(expected.size() + 1) + " (Extra) | different");
  const std::vector<VolumeComparison> comparisons = Compare(mcom::DiskName{1}, mcom::DiskName{3});
  EXPECT_EQ(Summary(comparisons), expected);
  for (const VolumeComparison& comparison : comparisons) {
    EXPECT_THAT(comparison.files.differences, IsEmpty());
  }

  // The other way round, the original's unpaired volume is the one absent in the copy; a
  // volume without a role pairs only by name.
  machine_.Change([&](Model& changed) {
    RenameVolume(changed, mcom::DiskName{3, 6}, "Macintosh HD");
  });
  const std::vector<std::string> reverse = Summary(Compare(mcom::DiskName{3}, mcom::DiskName{1}));
  EXPECT_EQ(reverse.back(), "disk3s6 (Macintosh HD) | - | different");
  EXPECT_THAT(reverse,
              ::testing::Contains("disk3s5 (Restored HD) | disk1s5 (Macintosh HD) | identical"))
      << "System volumes pair by role; a volume without a role never pairs with one that has one";
}

TEST_F(VolumeComparisonTest, RefusesWhatIsNotAVolumeOrAContainer) {
  const auto refusal = [&](mcom::DiskName original, mcom::DiskName copy) -> std::string {
    try {
      Compare(original, copy);
    } catch (const MachineError& error) {
      return error.what();
    }
    return "no error";
  };
  EXPECT_EQ(refusal(mcom::DiskName{9}, mcom::DiskName{1}), "no such disk: disk9");
  EXPECT_EQ(refusal(mcom::DiskName{1, 1}, mcom::DiskName{1, 9}), "no such disk: disk1s9");
  EXPECT_EQ(refusal(mcom::DiskName{0}, mcom::DiskName{1}),
            "disk0 is neither a volume nor an APFS container (it holds the APFS container disk1)");
  EXPECT_EQ(refusal(mcom::DiskName{1}, mcom::DiskName{0, 2}),
            "disk0s2 is neither a volume nor an APFS container (it holds the APFS container "
            "disk1)");
  EXPECT_EQ(refusal(mcom::DiskName{1}, mcom::DiskName{0, 1}),
            "disk0s1 is neither a volume nor an APFS container");
  EXPECT_EQ(refusal(mcom::DiskName{1}, mcom::DiskName{1, 1}),
            "disk1 is an APFS container but disk1s1 is a volume: compare two volumes or two "
            "containers");
}

}  // namespace
}  // namespace sim
