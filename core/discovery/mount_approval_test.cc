#include "core/discovery/mount_approval.h"

#include <unistd.h>

#include <gmock/gmock.h>

#include <cstdlib>
#include <string>

#include "core/foundation/system_path.h"
#include "platform/disk_arbitration/test_media.h"
#include "sim/machine/test_machine.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"

namespace mcom::disk_arbitration {
namespace {

using ::testing::Optional;

class MountApprovalTest : public ::testing::Test {
 protected:
  MountApprovalTest()
      : machine_(sim::testing::MakeTestMachine(root_.path())),
        number_(da_testing::AddBlockerTestDisk(machine_)),
        session_(dispatch::CreateQueue("com.halvex-software.test.disks")),
        approvals_(dispatch::CreateQueue("com.halvex-software.test.approvals")) {}

  // disk2 (s1 an HFS+ volume, s2 the store of the container disk3 with the volume disk3s1).
  std::string Whole() const { return "disk" + std::to_string(number_); }
  std::string Slice() const { return Whole() + "s1"; }
  std::string OtherVolume() const { return "disk" + std::to_string(number_ + 1) + "s1"; }

  Disk Named(const std::string& name) { return std::move(*Disk::FromBSDName(session_, name)); }
  // The status of a mount of `name` (0 when it was mounted); unmounts it again.
  platform::DAReturn MountStatus(const std::string& name) {
    const Disk disk = Named(name);
    const mcom::Optional<Dissenter> dissenter = MountWithOptions(disk, std::nullopt, 1).get();
    if (dissenter) return dissenter->status();
    (void)Unmount(disk).get();
    return 0;
  }

  ::testing::TemporaryMachineRoot root_;
  sim::Machine machine_;
  uint32_t number_;
  Session session_;
  Session approvals_;
};

TEST_F(MountApprovalTest, TheBlockerBlockRefusesTheDiskAndWhatIsOnItOnly) {
  ASSERT_EQ(Whole(), "disk2");
  const MountApprovalBlock block = MountBlockerBlock("disk2");
  for (const char* refused : {"disk2", "disk2s1", "disk2s2"}) {
    const Disk disk = Named(refused);
    const mcom::Optional<Dissenter> dissenter = block(&disk);
    ASSERT_TRUE(dissenter.has_value()) << refused;
    EXPECT_EQ(dissenter->status(), platform::kDAReturnBusy);
    EXPECT_EQ(dissenter->status_string(), std::nullopt) << "no text";
  }
  for (const char* approved : {"disk3", "disk3s1", "disk0", "disk1s2"}) {
    const Disk disk = Named(approved);
    EXPECT_FALSE(block(&disk).has_value()) << approved;
  }
}

TEST_F(MountApprovalTest, ABlockerRefusesMountsWhileItIsRegistered) {
  {
    std::optional<MountApproval> blocker = MountApproval::RegisterBlocker(approvals_, Whole());
    EXPECT_EQ(MountStatus(Slice()), platform::kDAReturnBusy);
    const mcom::Optional<Dissenter> whole = MountWholeDisk(Named(Whole())).get();
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(whole->status(), platform::kDAReturnBusy);
    EXPECT_EQ(MountStatus(OtherVolume()), 0);

    // Moving the registration keeps it in force; the one it replaces ends.
    MountApproval moved = MountApproval::RegisterBlocker(approvals_, "disk0");
    EXPECT_EQ(MountStatus("disk1s2"), 0) << "disk0 holds no volume; disk1 is another disk";
    moved = std::move(*blocker);
    blocker.reset();
    EXPECT_EQ(MountStatus(Slice()), platform::kDAReturnBusy);
    ASSERT_EQ(machine_.Read().blockers.size(), 1u);
    EXPECT_EQ(machine_.Read().blockers[0].bsd_name, Whole());
  }
  EXPECT_EQ(MountStatus(Slice()), 0);
  EXPECT_TRUE(machine_.Read().blockers.empty());
}

TEST_F(MountApprovalTest, ABlockOfOurOwnDecidesWithTheDiskItIsGiven) {
  std::optional<MountApproval> approval =
      MountApproval::Register(approvals_, [](const Disk* disk) -> mcom::Optional<Dissenter> {
        const cf::Ref<cf::Dictionary> description = disk->Description();
        if (cf::GetString(description, platform::kDADiskDescriptionVolumeNameKey) == "Recovery") {
          return Dissenter::Create(platform::kDAReturnNotPermitted,
                                   "recovery of " + disk->BSDName().value_or("?"));
        }
        return std::nullopt;
      });
  const mcom::Optional<Dissenter> refused =
      MountWithOptions(Named("disk1s3"), std::nullopt, 0).get();
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->status(), platform::kDAReturnNotPermitted);
  EXPECT_THAT(refused->status_string(), Optional(std::string("recovery of disk1s3")));
  EXPECT_EQ(MountStatus("disk1s2"), 0);
  approval.reset();
  EXPECT_EQ(MountStatus("disk1s3"), 0);
}

// Holds a blocker for the disk named in the arguments until the test lets it go, then ends
// without unregistering: the machine must let go of a blocker whose process is gone.
DORVANE_TEST_CHILD(hold_blocker) {
  SetSystemRoot(FilePath(arguments.at(0)));
  const Session session(dispatch::CreateQueue("com.halvex-software.test.blocker"));
  const MountApproval blocker = MountApproval::RegisterBlocker(session, arguments.at(1));
  da_testing::HelperProcess::ReadyAndWait();
  std::_Exit(0);
}

TEST_F(MountApprovalTest, ABlockerOfAnotherProcessHoldsWhileThatProcessLives) {
  da_testing::HelperProcess child("hold_blocker", {root_.path().string(), Whole()});
  ASSERT_TRUE(child.WaitUntilReady());
  ASSERT_EQ(machine_.Read().blockers.size(), 1u);
  EXPECT_NE(machine_.Read().blockers[0].pid, ::getpid());

  EXPECT_EQ(MountStatus(Slice()), platform::kDAReturnBusy);
  const mcom::Optional<Dissenter> whole = MountWholeDisk(Named(Whole())).get();
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->status(), platform::kDAReturnBusy);
  EXPECT_EQ(whole->status_string(), std::nullopt);
  EXPECT_EQ(MountStatus(OtherVolume()), 0);

  ASSERT_EQ(child.Finish(), 0);
  EXPECT_EQ(MountStatus(Slice()), 0);
}

}  // namespace
}  // namespace mcom::disk_arbitration
