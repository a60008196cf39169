// The simulated asr, run as the system runs it: installed in a test machine, started as a
// process with an empty environment, its output read line by line.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/backup/replication.h"
#include "core/foundation/file.h"
#include "core/foundation/process.h"
#include "core/foundation/tool_run.h"
#include "sim/image/image_file.h"
#include "sim/image/test_tree.h"
#include "sim/image/volume_payload.h"
#include "sim/machine/apfs_operations.h"
#include "sim/machine/disk_operations.h"
#include "sim/machine/folder_copy.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/mount_table.h"
#include "sim/machine/mounting.h"
#include "sim/machine/test_machine.h"
#include "sim/machine/tree_differences.h"
#include "sim/machine/volume_store.h"
#include "sim/tools/tool_test_run.h"
#include "tests/support/child_process.h"
#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"

namespace sim::tools {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::SizeIs;
using ::testing::StartsWith;

// Waits in the folder it is given (its working directory) until it is killed, after saying
// on standard output that it is there.
DORVANE_TEST_CHILD(work_in_folder) {
  if (arguments.size() != 1 || ::chdir(arguments[0].c_str()) != 0) return 2;
  if (::write(1, "r", 1) != 1) return 3;
  ::pause();
  return 0;
}

using AsrResult = testing::ProgramRun;
using testing::Lines;

// What the system makes of the tool's standard output, read with the system's own line
// reader: the fractions its progress callback receives, the texts, the volumes it saw start,
// and the unrecognised lines joined with ": " (its error message when the tool fails).
// `total` is the number of volumes it planned for.
struct SystemView {
  std::vector<double> fractions;
  std::vector<std::string> texts;
  std::string collected;
  int volumes_started = 0;
};

SystemView ReadAsTheSystemDoes(const std::string& output, uint64_t total) {
  SystemView view;
  ReplicationProgress progress(total, [&](ProgressUpdate update) {
    if (const double* fraction = std::get_if<double>(&update)) {
      view.fractions.push_back(*fraction);
      return;
    }
    std::string& text = std::get<std::string>(update);
    if (text.starts_with("Replicating (")) ++view.volumes_started;
    view.texts.push_back(std::move(text));
  });
  ReplicationOutput reader(progress);
  for (const std::string& line : Lines(output)) reader.HandleLine(line);
  view.collected = reader.collected();
  return view;
}

// The puppet-string lines of a real run from its start to the beginning of the copy, taken
// from a transcript in which another program relayed them with its own prefixes ("ASR
// STATUS: " for an XSTA line, "ASR: " for a text line). The step that only a network source
// has (waiting for the server) is left out.
std::vector<std::string> RealPhasesUpToTheCopy() {
  const std::string transcript = ::testing::TemporaryFolder::ReadFile(mcom::FilePath(
      DORVANE_SOURCE_DIR "/tests/data/real-samples/asr-puppetstrings-relayed-ios-1.txt"));
  std::vector<std::string> lines;
  for (const std::string& line : Lines(transcript)) {
    if (line.starts_with("ASR STATUS: ")) {
      lines.push_back("XSTA\t" + line.substr(12));
      if (line == "ASR STATUS: restore") break;
    } else if (line.starts_with("ASR: ") && !lines.empty()) {
      if (line != "ASR: Waiting for connection attempt from server") {
        lines.push_back("\t" + line.substr(5));
      }
    }
  }
  EXPECT_THAT(lines, SizeIs(12)) << transcript;
  return lines;
}

bool Exists(const mcom::FilePath& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

std::set<std::string> Entries(const mcom::FilePath& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder.string())) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

class AsrTest : public ::testing::Test {
 protected:
  explicit AsrTest(uint64_t data_size = 64 * 1024)
      : machine_(testing::MakeTestMachineWithTools(root_folder_.path(), "intel-mac", data_size)) {}

  ~AsrTest() override {
    for (pid_t pid : children_) {
      ::kill(pid, SIGKILL);
      (void)mcom::WaitForProcess(pid);
    }
  }

  const mcom::FilePath& root() const { return machine_.root(); }

  static AsrResult RunAsr(const std::vector<std::string>& arguments) {
    return testing::RunTool("/usr/sbin/asr", arguments);
  }

  static std::vector<std::string> Replicate(uint32_t source, uint32_t target,
                                            std::optional<std::string> uuid, bool erase) {
    std::vector<std::string> arguments = {"restore",
                                          "-s",
                                          "/dev/disk" + std::to_string(source),
                                          "-t",
                                          "/dev/disk" + std::to_string(target),
                                          "--useReplication",
                                          "--puppetstrings",
                                          "--noprompt"};
    if (uuid) {
      arguments.push_back("--sourcevolumeUUID");
      arguments.push_back(*uuid);
    }
    if (erase) arguments.push_back("--erase");
    return arguments;
  }

  // An empty APFS container on a newly plugged blank USB disk; returns its disk number.
  uint32_t MakeEmptyContainer() {
    const uint32_t disk = testing::PlugTestMedium(machine_, "usb-blank", 0);
    return machine_.Change(
        [&](Model& model) { return CreateContainer(root(), model, {mcom::DiskName{disk}}); });
  }

  // A container on a new image disk of `size` bytes.
  uint32_t MakeContainerOfSize(uint64_t size) {
    return machine_.Change([&](Model& model) {
      WholeDiskSpec spec =
          ImageDiskSpec(root().Join("tiny.sparseimage").string(), "SPARSE", size, "rw");
      const uint32_t disk = AddWholeDisk(model, spec);
      return CreateContainer(root(), model, {mcom::DiskName{disk}});
    });
  }

  // Starts a process that works inside `folder` and waits until it is there.
  void StartUser(const mcom::FilePath& folder) {
    mcom::Result<mcom::Pipe> pipe = mcom::CreatePipe();
    ASSERT_TRUE(pipe.has_value());
    mcom::FileActions actions;
    ASSERT_FALSE(actions.AddDuplicate(pipe->write.get(), 1));
    mcom::Result<pid_t> pid =
        mcom::SpawnProcess(::testing::TestBinary().c_str(),
                           ::testing::ChildArguments("work_in_folder", {folder.string()}), actions);
    ASSERT_TRUE(pid.has_value());
    children_.push_back(*pid);
    pipe->write.Close();
    char ready = 0;
    ASSERT_EQ(pipe->read.Read(&ready, 1).value(), 1u);
  }

  void SetFault(const std::string& value) {
    machine_.Change([&](Model& model) { model.faults["asr.restore"] = value; });
  }

  std::string MachineFile() const {
    return ::testing::TemporaryFolder::ReadFile(MachinePlistPath(root()));
  }

  // Runs a request that must be refused before anything changes, with `message` on standard
  // error and, since the system reads standard output only, there too (without "asr: ") as a
  // line it does not recognise, which becomes the system's error message.
  AsrResult ExpectRefused(const std::vector<std::string>& arguments, const std::string& message) {
    SCOPED_TRACE(message);
    const std::string before = MachineFile();
    const AsrResult result = RunAsr(arguments);
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(ReadAsTheSystemDoes(result.out, 1).collected, StartsWith(message.substr(5)));
    EXPECT_THAT(result.err, StartsWith(message));
    EXPECT_EQ(MachineFile(), before) << "nothing changed";
    return result;
  }

  // The machine's files match its model: every volume's files are where the model says,
  // every store folder belongs to an unmounted (or running) volume, no blocker is left and
  // the scratch space is empty.
  void ExpectConsistent() {
    const Model model = machine_.Read();
    std::set<std::string> stores;
    for (const Volume& volume : model.volumes) {
      const mcom::FilePath files = VolumeFilesPath(root(), volume);
      EXPECT_TRUE(std::filesystem::is_directory(files.string()))
          << mcom::FormatDiskName(volume.disk);
      if (!volume.is_mounted()) stores.insert(volume.store);
      EXPECT_EQ(volume.used, MeasureUsedBytes(files)) << mcom::FormatDiskName(volume.disk);
    }
    EXPECT_EQ(Entries(VolumeStoresFolder(root())), stores);
    EXPECT_THAT(model.blockers, IsEmpty());
    EXPECT_THAT(Entries(ImagesFolder(root())), IsEmpty());
  }

  ::testing::TemporaryMachineRoot root_folder_;
  Machine machine_;
  std::vector<pid_t> children_;
};

// The system container of intel-mac is disk1: Macintosh HD - Data (s1), Preboot (s2),
// Recovery (s3), VM (s4), Macintosh HD (s5, the running system).
constexpr uint32_t kSystemContainer = 1;

class AsrReplicationTest : public AsrTest {
 protected:
  AsrReplicationTest() : AsrTest(2 << 20) {}
};

TEST_F(AsrReplicationTest, ReplicatesTheWholeSystemContainerFileForFile) {
  const uint32_t target = MakeEmptyContainer();
  // Beside the generated files, the Data volume holds every kind of entry and metadata a
  // volume can have: sparse files, hard links, a FIFO, links of every kind, Mac extended
  // attributes, set-id and sticky modes, other owners, nanosecond times.
  machine_.Change([&](Model& model) {
    Volume& data = *FindVolume(model, mcom::DiskName{kSystemContainer, 1});
    sim_test::MakeRichTree(VolumeFilesPath(root(), data).Join("Rich"), 3);
    UpdateUsedBytes(root(), data);
  });
  // A mounted source volume is unmounted for the copy and left so for the caller to remount.
  ASSERT_TRUE(machine_
                  .Change([&](Model& model) {
                    return Mount(root(), model, mcom::DiskName{kSystemContainer, 2}, {});
                  })
                  .ok());

  const AsrResult result = RunAsr(Replicate(kSystemContainer, target, std::nullopt, true));
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(result.err, "");

  const Model model = machine_.Read();
  const std::vector<const Volume*> sources = VolumesOfContainer(model, kSystemContainer);
  const std::vector<const Volume*> copies = VolumesOfContainer(model, target);
  ASSERT_THAT(copies, SizeIs(5));
  std::optional<std::string> copied_group;
  for (size_t i = 0; i < copies.size(); ++i) {
    const Volume& source = *sources[i];
    const Volume& copy = *copies[i];
    SCOPED_TRACE(source.name);
    EXPECT_EQ(copy.name, source.name);
    EXPECT_EQ(copy.roles, source.roles);
    EXPECT_EQ(copy.disk, (mcom::DiskName{target, static_cast<uint32_t>(i + 1)}));
    EXPECT_NE(copy.uuid, source.uuid);
    EXPECT_EQ(copy.content, source.content);
    EXPECT_FALSE(copy.is_mounted());
    EXPECT_EQ(copy.group_uuid.empty(), source.group_uuid.empty());
    if (!copy.group_uuid.empty()) {
      // The System/Data group is one group again, under a new UUID.
      EXPECT_NE(copy.group_uuid, source.group_uuid);
      if (copied_group) {
        EXPECT_EQ(copy.group_uuid, *copied_group);
      }
      copied_group = copy.group_uuid;
    }
    EXPECT_GT(copy.used, 0u);
    EXPECT_THAT(
        sim::TreeDifferences(VolumeFilesPath(root(), source), VolumeFilesPath(root(), copy)),
        IsEmpty());
  }
  // Holes stay holes: the copied sparse files hold only their data.
  const mcom::FilePath rich = VolumeFilesPath(root(), *sources[0]).Join("Rich");
  const mcom::FilePath rich_copy = VolumeFilesPath(root(), *copies[0]).Join("Rich");
  for (const char* name : {"sparse", "ends-in-hole", "all-hole"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(sim_test::DataRegions(rich_copy.Join(name)), sim_test::DataRegions(rich.Join(name)));
    EXPECT_LE(sim_test::AllocatedBytes(rich_copy.Join(name)), 64u * 1024);
  }
  EXPECT_EQ(copies[0]->used, sources[0]->used);
  EXPECT_FALSE(FindVolume(model, mcom::DiskName{kSystemContainer, 2})->is_mounted());
  EXPECT_TRUE(FindVolume(model, mcom::DiskName{kSystemContainer, 5})->uuid == model.running_system);
  ExpectConsistent();
}

TEST_F(AsrReplicationTest, PrintsPuppetStringsThatGiveTheSystemARisingFraction) {
  const uint32_t target = MakeEmptyContainer();
  const AsrResult result = RunAsr(Replicate(kSystemContainer, target, std::nullopt, true));
  ASSERT_EQ(result.status, 0) << result.out << result.err;

  const std::vector<std::string> lines = Lines(result.out);
  ASSERT_FALSE(lines.empty());
  // Up to the copy, the phases and steps of a real run, as a real transcript shows them.
  const std::vector<std::string> real = RealPhasesUpToTheCopy();
  ASSERT_LE(real.size(), lines.size());
  const std::vector<std::string> ours(lines.begin(), lines.begin() + real.size());
  EXPECT_EQ(std::count(ours[0].begin(), ours[0].end(), '\t'),
            std::count(real[0].begin(), real[0].end(), '\t'))
      << ours[0];
  EXPECT_THAT(ours[0], StartsWith("XSTA\tstart\t"));
  EXPECT_EQ(std::vector<std::string>(ours.begin() + 1, ours.end()),
            std::vector<std::string>(real.begin() + 1, real.end()));
  EXPECT_THAT(
      lines, Contains(::testing::MatchesRegex("\tCopied [0-9]+ bytes in [0-9]+\\.[0-9]{2} seconds, "
                                              "[0-9]+\\.[0-9]{2} KiB/s")));
  EXPECT_EQ(lines.back(), "\tRestored target device is /dev/disk" + std::to_string(target) + ".");
  // Each volume: one PSTT at 0 of 100, PINF lines rising to 100, one PSTP.
  int started = 0;
  int stopped = 0;
  unsigned last = 0;
  int intermediate = 0;
  for (const std::string& line : lines) {
    unsigned a = 0;
    unsigned b = 0;
    if (std::sscanf(line.c_str(), "PSTT\t%u\t%u\t", &a, &b) == 2) {
      EXPECT_EQ(started, stopped) << "a volume starts before the last one stopped";
      EXPECT_EQ(a, 0u);
      EXPECT_EQ(b, 100u);
      ++started;
      last = 0;
    } else if (std::sscanf(line.c_str(), "PINF\t%u\t%u\t", &a, &b) == 2) {
      EXPECT_EQ(started, stopped + 1);
      EXPECT_EQ(b, 100u);
      EXPECT_GT(a, last) << line;
      if (a < 100) ++intermediate;
      last = a;
    } else if (line.starts_with("PSTP\t")) {
      EXPECT_EQ(last, 100u) << "the volume's progress ends at 100";
      ++stopped;
    }
  }
  EXPECT_EQ(started, 5);
  EXPECT_EQ(stopped, 5);
  EXPECT_GT(intermediate, 5) << "progress is reported as the files are copied, not only at the end";

  const SystemView view = ReadAsTheSystemDoes(result.out, 5);
  EXPECT_EQ(view.collected, "") << "every line has a shape the system knows";
  EXPECT_EQ(view.volumes_started, 5);
  ASSERT_FALSE(view.fractions.empty());
  EXPECT_DOUBLE_EQ(view.fractions.front(), 0.0);
  EXPECT_DOUBLE_EQ(view.fractions.back(), 1.0);
  EXPECT_TRUE(std::is_sorted(view.fractions.begin(), view.fractions.end()));
  EXPECT_THAT(view.texts, Contains("Replicating (5/5)…"));
}

TEST_F(AsrReplicationTest, CopiesOnlyTheVolumeGroupOfTheGivenVolume) {
  const uint32_t target = MakeEmptyContainer();
  const Model before = machine_.Read();
  const Volume& data = *FindVolume(before, mcom::DiskName{kSystemContainer, 1});
  const Volume& system = *FindVolume(before, mcom::DiskName{kSystemContainer, 5});
  const Volume& preboot = *FindVolume(before, mcom::DiskName{kSystemContainer, 2});

  // The System volume names its group: the Data volume comes along, in slice order.
  AsrResult result = RunAsr(Replicate(kSystemContainer, target, system.uuid, true));
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(ReadAsTheSystemDoes(result.out, 2).volumes_started, 2);
  Model model = machine_.Read();
  std::vector<const Volume*> copies = VolumesOfContainer(model, target);
  ASSERT_THAT(copies, SizeIs(2));
  EXPECT_EQ(copies[0]->name, data.name);
  EXPECT_EQ(copies[1]->name, system.name);
  EXPECT_FALSE(copies[0]->group_uuid.empty());
  EXPECT_EQ(copies[0]->group_uuid, copies[1]->group_uuid);

  // A volume without a group is copied alone; without --erase it is added to the target.
  // UUIDs are compared without regard to case.
  std::string lower = preboot.uuid;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  result = RunAsr(Replicate(kSystemContainer, target, lower, false));
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(ReadAsTheSystemDoes(result.out, 1).volumes_started, 1);
  model = machine_.Read();
  copies = VolumesOfContainer(model, target);
  ASSERT_THAT(copies, SizeIs(3));
  EXPECT_EQ(copies[2]->name, "Preboot");
  EXPECT_EQ(copies[2]->roles, std::vector<std::string>{"Preboot"});
  EXPECT_TRUE(copies[2]->group_uuid.empty());
  EXPECT_THAT(
      sim::TreeDifferences(VolumeFilesPath(root(), preboot), VolumeFilesPath(root(), *copies[2])),
      IsEmpty());

  // With --erase the earlier copies go first.
  result = RunAsr(Replicate(kSystemContainer, target, preboot.uuid, true));
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  model = machine_.Read();
  copies = VolumesOfContainer(model, target);
  ASSERT_THAT(copies, SizeIs(1));
  EXPECT_EQ(copies[0]->name, "Preboot");
  ExpectConsistent();
}

// Refusals that are found before anything changes: the machine is left exactly as it was.
TEST_F(AsrTest, RefusesBadRequestsWithoutChangingTheMachine) {
  const uint32_t target = MakeEmptyContainer();
  const uint32_t tiny = MakeContainerOfSize(16 * 1024);
  const uint32_t empty = MakeEmptyContainer();
  const std::string missing_uuid = "01234567-89AB-CDEF-0123-456789ABCDEF";
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {Replicate(kSystemContainer, target, missing_uuid, true),
       "asr: Could not validate source - Could not find source volume with UUID " + missing_uuid},
      {Replicate(9, target, std::nullopt, true),
       "asr: Could not validate source - Could not find source disk /dev/disk9"},
      {Replicate(0, target, std::nullopt, true),
       "asr: Could not validate source - /dev/disk0 is not an APFS container"},
      {Replicate(kSystemContainer, 9, std::nullopt, true),
       "asr: Could not validate target - Could not find target disk /dev/disk9"},
      {Replicate(kSystemContainer, tiny, std::nullopt, true),
       "asr: Could not validate sizes - The target is too small: "},
      {Replicate(target, kSystemContainer, std::nullopt, true),
       "asr: Could not validate target - Resource busy: /dev/disk1 holds the running system"},
      {Replicate(target, kSystemContainer, std::nullopt, false),
       "asr: Could not validate target - Resource busy: /dev/disk1 holds the running system"},
      {Replicate(kSystemContainer, kSystemContainer, std::nullopt, true),
       "asr: Could not validate target - the target is the source"},
      {Replicate(empty, target, std::nullopt, true),
       "asr: Could not validate source - /dev/disk" + std::to_string(empty) + " holds no volumes"},
  };
  for (const Case& c : cases) {
    // As a real failing run ends (asr-puppetstrings-relayed-ios-fail-1.txt): the complaint,
    // then the fail status, no volume started.
    const AsrResult result = ExpectRefused(c.arguments, c.message);
    const std::vector<std::string> lines = Lines(result.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_THAT(lines[lines.size() - 2], StartsWith(c.message.substr(5)));
    EXPECT_EQ(lines.back(), "XSTA\tfail");
    EXPECT_EQ(ReadAsTheSystemDoes(result.out, 1).volumes_started, 0);
  }
  ExpectConsistent();
}

TEST_F(AsrTest, ATargetVolumeInUseByAnotherProcessStopsAnErase) {
  const uint32_t target = MakeEmptyContainer();
  const mcom::DiskName old_volume = machine_.Change([&](Model& model) {
    const mcom::DiskName volume =
        AddVolume(root(), model, target, VolumeSpec{"Old Backup", {}, {}});
    Mount(root(), model, volume, {});
    return volume;
  });
  const mcom::FilePath mount_point(FindVolume(machine_.Read(), old_volume)->mount_point);
  StartUser(mount_point);
  const std::string before = MachineFile();

  AsrResult result = RunAsr(Replicate(kSystemContainer, target, std::nullopt, true));
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(ReadAsTheSystemDoes(result.out, 5).collected,
              AllOf(StartsWith("Could not validate target - Resource busy: /dev/disk" +
                               std::to_string(target) + "s1 at " + mount_point.string()),
                    HasSubstr("is in use by process " + std::to_string(children_.back()))));
  EXPECT_EQ(MachineFile(), before);

  // Once the process has gone, the mounted volume is unmounted and erased.
  ::kill(children_.back(), SIGKILL);
  (void)mcom::WaitForProcess(children_.back());
  children_.pop_back();
  result = RunAsr(Replicate(kSystemContainer, target, std::nullopt, true));
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  const Model model = machine_.Read();
  EXPECT_THAT(VolumesOfContainer(model, target), SizeIs(5));
  for (const Volume* volume : VolumesOfContainer(model, target)) {
    EXPECT_NE(volume->name, "Old Backup");
  }
  EXPECT_FALSE(Exists(mount_point));
  ExpectConsistent();
}

TEST_F(AsrTest, AFailureHalfWayKeepsTheCopiedVolumesAndRemountsTheSource) {
  const uint32_t target = MakeEmptyContainer();
  MountOptions read_only;
  read_only.read_only = true;
  ASSERT_TRUE(machine_
                  .Change([&](Model& model) {
                    return Mount(root(), model, mcom::DiskName{kSystemContainer, 2}, read_only);
                  })
                  .ok());
  SetFault("fail-after-volume:2;status=5;message=Could not restore - Bad file descriptor");

  const AsrResult result = RunAsr(Replicate(kSystemContainer, target, std::nullopt, true));
  EXPECT_EQ(result.status, 5);
  const SystemView view = ReadAsTheSystemDoes(result.out, 5);
  EXPECT_EQ(view.collected, "Could not restore - Bad file descriptor");
  EXPECT_EQ(view.volumes_started, 2);
  EXPECT_EQ(result.err, "asr: Could not restore - Bad file descriptor\n");

  const Model model = machine_.Read();
  const std::vector<const Volume*> copies = VolumesOfContainer(model, target);
  ASSERT_THAT(copies, SizeIs(2));
  for (size_t i = 0; i < copies.size(); ++i) {
    const Volume& source =
        *FindVolume(model, mcom::DiskName{kSystemContainer, static_cast<uint32_t>(i + 1)});
    EXPECT_EQ(copies[i]->name, source.name);
    EXPECT_THAT(
        sim::TreeDifferences(VolumeFilesPath(root(), source), VolumeFilesPath(root(), *copies[i])),
        IsEmpty());
  }
  const Volume& preboot = *FindVolume(model, mcom::DiskName{kSystemContainer, 2});
  EXPECT_TRUE(preboot.is_mounted()) << "mounted again as it was";
  EXPECT_THAT(preboot.mount_options, Contains("ro"));
  ExpectConsistent();
}

TEST_F(AsrTest, AFailureInsideAVolumeRemovesItsHalfCopyAndLeavesTheSourceAsItWas) {
  const uint32_t target = MakeEmptyContainer();
  // A mounted source volume, and a mounted old volume in the target that --erase removes.
  const mcom::DiskName preboot{kSystemContainer, 2};
  const mcom::DiskName data{kSystemContainer, 1};
  const mcom::FilePath old_mount_point = machine_.Change([&](Model& model) {
    EXPECT_TRUE(Mount(root(), model, preboot, {}).ok());
    const mcom::DiskName old = AddVolume(root(), model, target, VolumeSpec{"Old Backup", {}, {}});
    EXPECT_TRUE(Mount(root(), model, old, {}).ok());
    return mcom::FilePath(FindVolume(model, old)->mount_point);
  });
  const mcom::FilePath data_before = root_folder_.Join("data before");
  ASSERT_EQ(::mkdir(data_before.c_str(), 0755), 0);
  ASSERT_THAT(CopyFolderContents(VolumeFilesPath(root(), *FindVolume(machine_.Read(), data)),
                                 data_before, nullptr),
              ::testing::Succeeded());

  SetFault("fail-after-percent:30");
  const AsrResult result = RunAsr(Replicate(kSystemContainer, target, std::nullopt, true));
  EXPECT_EQ(result.status, 1);
  const SystemView view = ReadAsTheSystemDoes(result.out, 5);
  EXPECT_EQ(view.collected, "Could not restore - Input/output error");
  EXPECT_EQ(view.volumes_started, 1);
  // It failed inside the first volume's copy, past the per cent asked for.
  unsigned last = 0;
  for (const std::string& line : Lines(result.out)) {
    EXPECT_FALSE(line.starts_with("PSTP\t")) << "no volume was finished";
    std::sscanf(line.c_str(), "PINF\t%u\t100", &last);
  }
  EXPECT_GE(last, 30u);
  EXPECT_LT(last, 100u);

  const Model model = machine_.Read();
  EXPECT_THAT(VolumesOfContainer(model, target), IsEmpty());
  EXPECT_FALSE(Exists(old_mount_point));
  EXPECT_TRUE(FindVolume(model, preboot)->is_mounted()) << "mounted again as it was";
  EXPECT_THAT(sim::TreeDifferences(data_before, VolumeFilesPath(root(), *FindVolume(model, data))),
              IsEmpty());
  ExpectConsistent();
}

TEST_F(AsrTest, FaultsAtStartAndAtExit) {
  const uint32_t target = MakeEmptyContainer();
  SetFault("fail-before-start;status=3");
  const std::string with_fault = MachineFile();
  AsrResult result = RunAsr(Replicate(kSystemContainer, target, std::nullopt, true));
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "asr: Could not restore - Input/output error\n");
  EXPECT_EQ(MachineFile(), with_fault);

  SetFault("fail-at-start;message=Could not validate target - Resource busy");
  const std::string at_start = MachineFile();
  result = RunAsr(Replicate(kSystemContainer, target, std::nullopt, true));
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(Lines(result.out),
              ElementsAre(StartsWith("XSTA\tstart\t"), "Could not validate target - Resource busy",
                          "XSTA\tfail"));
  EXPECT_EQ(MachineFile(), at_start);

  SetFault("fail-at-exit");
  result = RunAsr(Replicate(kSystemContainer, target, std::nullopt, true));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(ReadAsTheSystemDoes(result.out, 5).volumes_started, 5);
  EXPECT_THAT(VolumesOfContainer(machine_.Read(), target), SizeIs(5)) << "the work was done";
  ExpectConsistent();

  SetFault("fail-sometimes");
  result = RunAsr(Replicate(kSystemContainer, target, std::nullopt, true));
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, HasSubstr("unknown value: fail-sometimes"));
}

// Starts asr with `arguments` in the background and waits until it has claimed its target
// (held by a hold-after-percent hook, it stays so until the hook is cleared).
mcom::LineReadingTool StartHeldAsr(Machine& machine, const std::vector<std::string>& arguments) {
  mcom::Result<mcom::LineReadingTool> asr =
      mcom::LineReadingTool::Start("/usr/sbin/asr", arguments);
  EXPECT_TRUE(asr.has_value());
  while (machine.Read().claims.empty()) ::usleep(10000);
  return std::move(*asr);
}

std::string RestOfOutput(mcom::LineReadingTool& asr) {
  std::string out;
  while (std::optional<std::string> line = asr.ReadLine()) out += *line + "\n";
  return out;
}

TEST_F(AsrTest, ACopyKeepsItsTargetBusyAndEndsCleanlyWhenStopped) {
  const uint32_t target = MakeEmptyContainer();
  const std::vector<std::string> copy = Replicate(kSystemContainer, target, std::nullopt, true);
  SetFault("hold-after-percent:30");
  mcom::LineReadingTool asr = StartHeldAsr(machine_, copy);

  // A second copy onto the target, or taking its disk away, waits for the first to end.
  const AsrResult second = RunAsr(copy);
  EXPECT_EQ(second.status, 1);
  EXPECT_THAT(second.out, HasSubstr("Could not validate target - Resource busy: /dev/disk" +
                                    std::to_string(target) + " is in use by process"));
  const auto store = std::stoul(machine_.Read().containers.back().stores.front().substr(4));
  mcom::Result<mcom::ToolRun> unmount = mcom::RunCapturingBothStreams(
      "/usr/sbin/diskutil", {"unmountDisk", "force", "disk" + std::to_string(store)});
  EXPECT_EQ(unmount->exit_status.value(), 1);
  EXPECT_THAT(mcom::ToolText(unmount->standard_error), HasSubstr("Resource busy"));

  // Told to stop, it removes its half copy and gives back what it holds.
  ASSERT_EQ(::kill(asr.pid(), SIGTERM), 0);
  const std::string out = RestOfOutput(asr);
  EXPECT_EQ(asr.Wait().value(), 1);
  EXPECT_THAT(ReadAsTheSystemDoes(out, 5).collected, "Could not restore - Operation canceled");
  EXPECT_THAT(VolumesOfContainer(machine_.Read(), target), IsEmpty());
  EXPECT_THAT(machine_.Read().claims, IsEmpty());
  ExpectConsistent();

  // A run killed outright cannot clean up, but its claim dies with it.
  mcom::LineReadingTool killed = StartHeldAsr(machine_, copy);
  ASSERT_EQ(::kill(killed.pid(), SIGKILL), 0);
  RestOfOutput(killed);
  (void)killed.Wait();
  SetFault("");
  EXPECT_EQ(RunAsr(copy).status, 0);
  EXPECT_THAT(VolumesOfContainer(machine_.Read(), target), SizeIs(5));
}

TEST_F(AsrTest, RefusesEveryOtherArgumentList) {
  const uint32_t target = MakeEmptyContainer();
  const std::string s = "/dev/disk1";
  const std::string t = "/dev/disk" + std::to_string(target);
  // The accepted line with words added, left out or replaced.
  const std::vector<std::string> valid = Replicate(1, target, std::nullopt, false);
  const auto with = [&](const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = valid;
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
  };
  const auto without = [&](const std::vector<std::string>& words) {
    std::vector<std::string> arguments;
    for (const std::string& word : valid) {
      if (std::find(words.begin(), words.end(), word) == words.end()) arguments.push_back(word);
    }
    return arguments;
  };
  const auto replaced = [&](const std::string& word, const std::string& by) {
    std::vector<std::string> arguments = valid;
    std::replace(arguments.begin(), arguments.end(), word, by);
    return arguments;
  };
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"restore"},
      replaced("restore", "verify"),
      without({"--noprompt"}),
      without({"--puppetstrings"}),
      without({"-t", t}),
      without({"-s", s}),
      replaced(s, "disk1"),
      replaced(t, "disk3"),
      replaced(t, "/dev/"),
      with({"--erase", "--erase"}),
      with({"-s", s}),
      with({"--sourcevolumeUUID"}),
      with({"--sourcevolumeUUID", ""}),
      with({"--noverify"}),
      with({"--verbose"}),
      with({"extra"}),
      // The image restore's line takes no replication options and needs all of its own.
      {"restore", "-s", "/x.dmg", "-t", "/dev/disk2s2", "--erase", "--noprompt", "--puppetstrings"},
      {"restore", "-s", "/x.dmg", "-t", "/dev/disk2s2", "--noprompt", "--puppetstrings",
       "--noverify"},
      {"restore", "-s", "/x.dmg", "-t", "/dev/disk2s2", "--erase", "--noprompt", "--puppetstrings",
       "--noverify", "--sourcevolumeUUID", "01234567-89AB-CDEF-0123-456789ABCDEF"},
  };
  const std::string before = MachineFile();
  for (const std::vector<std::string>& arguments : cases) {
    std::string line;
    for (const std::string& argument : arguments) line += " " + argument;
    SCOPED_TRACE(line);
    const AsrResult result = RunAsr(arguments);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_THAT(result.err, StartsWith("Usage: asr restore -s /dev/SOURCE -t /dev/TARGET"));
  }
  EXPECT_EQ(MachineFile(), before);
}

// Restoring the Base System image onto a partition, as the recovery disk is built on a Mac
// with a T2 controller.
class AsrImageRestoreTest : public AsrTest {
 protected:
  AsrImageRestoreTest() {
    const Model model = machine_.Read();
    const Volume& system = *FindVolume(model, mcom::DiskName{kSystemContainer, 5});
    const Volume& recovery = *FindVolume(model, mcom::DiskName{kSystemContainer, 3});
    image_ = VolumeFilesPath(root(), recovery).Join(system.group_uuid).Join("BaseSystem.dmg");
    // A USB disk with one HFS+ volume on its second partition, mounted when plugged.
    disk_ = testing::PlugTestMedium(machine_, "usb-hfs");
    partition_ = mcom::DiskName{disk_, 2};
  }

  std::vector<std::string> Restore(const std::string& image, const std::string& target) {
    return {"restore",         "-s",        image, "-t", target, "--erase", "--noprompt",
            "--puppetstrings", "--noverify"};
  }

  mcom::FilePath image_;
  uint32_t disk_ = 0;
  mcom::DiskName partition_;
};

TEST_F(AsrImageRestoreTest, PutsTheImageVolumeOntoThePartitionAndMountsIt) {
  const Volume old_volume = *FindVolume(machine_.Read(), partition_);
  ASSERT_TRUE(old_volume.is_mounted());

  const AsrResult result =
      RunAsr(Restore(image_.string(), "/dev/" + mcom::FormatDiskName(partition_)));
  ASSERT_EQ(result.status, 0) << result.out << result.err;

  // The recovery builder's reading: every "PINF\t%u\t100" line is a per cent done.
  std::vector<unsigned> percents;
  for (const std::string& line : Lines(result.out)) {
    unsigned percent = 0;
    if (std::sscanf(line.c_str(), "PINF\t%u\t100", &percent) == 1) percents.push_back(percent);
  }
  ASSERT_FALSE(percents.empty());
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_EQ(percents.back(), 100u);
  EXPECT_GT(percents.size(), 2u);
  EXPECT_EQ(ReadAsTheSystemDoes(result.out, 1).collected, "");

  const Model model = machine_.Read();
  const Volume& volume = *FindVolume(model, partition_);
  EXPECT_EQ(volume.name, "macOS Base System");
  EXPECT_EQ(volume.file_system, "hfs");
  EXPECT_NE(volume.uuid, old_volume.uuid);
  EXPECT_EQ(volume.mount_point, root().Join("Volumes/macOS Base System").string());
  EXPECT_FALSE(Exists(mcom::FilePath(old_volume.mount_point)));
  EXPECT_TRUE(Exists(
      root().Join("Volumes/macOS Base System/System/Library/CoreServices/SystemVersion.plist")));

  // The files are those of the image's volume, with their metadata.
  const ImageDescription image = ReadImage(image_);
  const mcom::FilePath unpacked = root_folder_.Join("unpacked");
  ExtractPayload(std::get<ImagePayload>(VolumesOf(image)[0]->files), unpacked);
  EXPECT_THAT(sim::TreeDifferences(unpacked, mcom::FilePath(volume.mount_point)), IsEmpty());
  ExpectConsistent();
}

TEST_F(AsrImageRestoreTest, RefusesWhatItCannotRestoreAndLeavesTheMachineAlone) {
  const std::string target = "/dev/" + mcom::FormatDiskName(partition_);
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const mcom::FilePath not_an_image = root_folder_.WriteFile("not-an-image.dmg", "hello");
  const std::vector<Case> cases = {
      {Restore(root_folder_.Join("missing.dmg").string(), target),
       "asr: Could not validate source - No such file or directory"},
      {Restore(not_an_image.string(), target), "asr: Could not validate source - "},
      {Restore(image_.string(), "/dev/disk" + std::to_string(disk_)),
       "asr: Could not validate target - Could not find target disk /dev/disk"},
      {Restore(image_.string(), "/dev/disk9s2"),
       "asr: Could not validate target - Could not find target disk /dev/disk9s2"},
      {Restore(image_.string(), "/dev/disk0s2"),
       "asr: Could not validate target - Resource busy: /dev/disk0s2 holds the running system"},
  };
  for (const Case& c : cases) ExpectRefused(c.arguments, c.message);
  ExpectConsistent();
}

TEST_F(AsrImageRestoreTest, AFailedCopyLeavesAnEmptyUnmountedVolume) {
  SetFault("fail-after-percent:10");
  const AsrResult result =
      RunAsr(Restore(image_.string(), "/dev/" + mcom::FormatDiskName(partition_)));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(ReadAsTheSystemDoes(result.out, 1).collected, "Could not restore - Input/output error");
  const Model model = machine_.Read();
  const Volume& volume = *FindVolume(model, partition_);
  EXPECT_FALSE(volume.is_mounted());
  EXPECT_THAT(Entries(VolumeFilesPath(root(), volume)), IsEmpty());
  ExpectConsistent();
}

}  // namespace
}  // namespace sim::tools
