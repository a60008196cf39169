#include "platform/disk_arbitration/disk_arbitration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/system_path.h"
#include "platform/disk_arbitration/test_media.h"
#include "sim/machine/blockers.h"
#include "sim/machine/media_plugging.h"
#include "sim/machine/test_machine.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"

namespace platform {
namespace {

namespace cf = mcom::cf;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Set on the queue of the test's session, so a callback can tell where it runs.
const char kSessionQueueKey = 0;

std::string NameOf(DADiskRef disk) {
  const char* name = DADiskGetBSDName(disk);
  return name != nullptr ? name : "(none)";
}

std::string Where() {
  return dispatch::GetSpecific(&kSessionQueueKey) != nullptr ? "" : " (elsewhere)";
}

// A request's answer as one line: "disk1s2 ok", "disk1s2 0xf8da0007 \"text\"".
void RecordAnswer(DADiskRef disk, DADissenterRef dissenter, void* context) {
  std::string line = NameOf(disk);
  if (dissenter == nullptr) {
    line += " ok";
  } else {
    char status[16];
    std::snprintf(status, sizeof status, " 0x%08x",
                  static_cast<uint32_t>(DADissenterGetStatus(dissenter)));
    line += status;
    if (cf::Ref<cf::String> text = DADissenterGetStatusString(dissenter)) {
      line += " \"" + text->utf8() + "\"";
    }
  }
  static_cast<da_testing::Recorder*>(context)->Add(line + Where());
}

void RecordDisk(DADiskRef disk, void* context) {
  static_cast<da_testing::Recorder*>(context)->Add(NameOf(disk) + Where());
}

// Keeps the description a disappeared disk was reported with.
void RecordGoneDescription(DADiskRef disk, void* context) {
  const cf::Ref<cf::Dictionary> description = DADiskCopyDescription(disk);
  static_cast<da_testing::Recorder*>(context)->Add(
      NameOf(disk) + " " +
      cf::GetString(description, kDADiskDescriptionMediaNameKey).value_or("?"));
}

// Refuses with kDAReturnNotPermitted and records whom it was asked about.
DADissenterRef RefuseNotPermitted(DADiskRef disk, void* context) {
  static_cast<da_testing::Recorder*>(context)->Add("asked about " + NameOf(disk) + Where());
  return DADissenterCreate(kDAReturnNotPermitted, cf::String::Create("not this one"));
}

DADissenterRef RefuseBusy(DADiskRef, void*) { return DADissenterCreate(kDAReturnBusy, nullptr); }

cf::Ref<cf::String> Text(const char* text) { return cf::String::Create(text); }

class DiskArbitrationTest : public ::testing::Test {
 protected:
  DiskArbitrationTest()
      : machine_(sim::testing::MakeTestMachine(root_.path())),
        queue_(dispatch::CreateQueue("com.halvex-software.test.session")) {
    dispatch::SetSpecific(queue_, &kSessionQueueKey, const_cast<char*>(&kSessionQueueKey));
    DASessionSetDispatchQueue(session_, queue_);
  }
  ~DiskArbitrationTest() override {
    for (DADiskRef disk : disks_) CFRelease(disk);
    CFRelease(session_);
  }

  DADiskRef Disk(const std::string& name) {
    DADiskRef disk = DADiskCreateFromBSDName(session_, name.c_str());
    disks_.push_back(disk);
    return disk;
  }

  // A recorder that outlives the session's registrations: callbacks may still be queued
  // when a test ends early, and the session's release waits for them.
  da_testing::Recorder& NewRecorder() { return recorders_.emplace_back(); }

  // Makes the request and waits for its one answer.
  template <typename Request>
  std::string Answer(Request request) {
    da_testing::Recorder& answers = NewRecorder();
    request(&answers);
    const std::vector<std::string> lines = answers.WaitFor(1);
    return lines.empty() ? "(no answer)" : lines.front();
  }
  std::string Mount(const std::string& name, const cf::Ref<cf::URL>& path = nullptr,
                    std::vector<cf::Ref<cf::String>> arguments = {},
                    DADiskMountOptions options = kDADiskMountOptionDefault) {
    return Answer([&](da_testing::Recorder* answers) {
      if (arguments.empty()) {
        DADiskMount(Disk(name), path, options, &RecordAnswer, answers);
      } else {
        arguments.push_back(nullptr);
        DADiskMountWithArguments(Disk(name), path, options, &RecordAnswer, answers,
                                 arguments.data());
      }
    });
  }
  std::string Unmount(const std::string& name,
                      DADiskUnmountOptions options = kDADiskUnmountOptionDefault) {
    return Answer([&](da_testing::Recorder* answers) {
      DADiskUnmount(Disk(name), options, &RecordAnswer, answers);
    });
  }

  const sim::Volume* Volume(const sim::Model& model, const std::string& name) {
    return sim::FindVolume(model, *mcom::ParseDiskName(name));
  }

  testing::TemporaryMachineRoot root_;
  sim::Machine machine_;
  dispatch::Queue queue_;
  std::deque<da_testing::Recorder> recorders_;
  DASessionRef session_ = DASessionCreate();
  std::vector<DADiskRef> disks_;
};

TEST_F(DiskArbitrationTest, MountsAndUnmountsAnsweringOnTheSessionsQueue) {
  EXPECT_EQ(Mount("disk1s2"), "disk1s2 ok");
  sim::Model model = machine_.Read();
  EXPECT_EQ(Volume(model, "disk1s2")->mount_point, root_.Join("Volumes/Preboot").string());
  EXPECT_THAT(Volume(model, "disk1s2")->mount_options, IsEmpty());
  EXPECT_EQ(
      cf::CopyPathOfURL(
          DADiskCopyDescription(Disk("disk1s2"))->Get<cf::URL>(kDADiskDescriptionVolumePathKey)),
      root_.Join("Volumes/Preboot"));
  // Mounting a mounted volume answers as mounted.
  EXPECT_EQ(Mount("disk1s2"), "disk1s2 ok");

  EXPECT_EQ(Unmount("disk1s2"), "disk1s2 ok");
  EXPECT_FALSE(Volume(machine_.Read(), "disk1s2")->is_mounted());
  EXPECT_EQ(Unmount("disk1s2"), "disk1s2 0xf8da0007 \"disk1s2 is not mounted\"");
  EXPECT_EQ(Mount("disk1s2"), "disk1s2 ok");
  EXPECT_EQ(Unmount("disk1s2", kDADiskUnmountOptionForce), "disk1s2 ok");
  EXPECT_FALSE(Volume(machine_.Read(), "disk1s2")->is_mounted());
  EXPECT_EQ(Unmount("disk1s5"), "disk1s5 0xf8da0002 \"disk1s5 belongs to the running system\"");
  // A name the machine does not know makes a disk without a BSD name.
  EXPECT_EQ(Mount("disk9s1"), "(none) 0xf8da0006 \"the disk has no BSD name\"");
  EXPECT_EQ(Mount("disk0s1"), "disk0s1 0xf8da0006 \"no such volume: disk0s1\"")
      << "an EFI partition holds no volume";
}

TEST_F(DiskArbitrationTest, MountArgumentsAreRecordedAndUnknownOnesRefused) {
  EXPECT_EQ(Mount("disk1s2", nullptr, {Text("ro"), Text("nobrowse")}), "disk1s2 ok");
  EXPECT_THAT(Volume(machine_.Read(), "disk1s2")->mount_options, ElementsAre("ro", "nobrowse"));
  EXPECT_EQ(Unmount("disk1s2"), "disk1s2 ok");

  EXPECT_EQ(Mount("disk1s2", nullptr, {Text("nobrowse,rdonly")}), "disk1s2 ok");
  EXPECT_THAT(Volume(machine_.Read(), "disk1s2")->mount_options, ElementsAre("ro", "nobrowse"));
  EXPECT_EQ(Unmount("disk1s2"), "disk1s2 ok");

  EXPECT_EQ(Mount("disk1s2", nullptr, {Text("ro"), Text("sync")}),
            "disk1s2 0xf8da0003 \"unsupported mount argument: sync\"");
  EXPECT_FALSE(Volume(machine_.Read(), "disk1s2")->is_mounted());
}

TEST_F(DiskArbitrationTest, MountsOnAGivenEmptyDirectory) {
  const mcom::FilePath target = root_.Join("private/tmp/target");
  ASSERT_TRUE(std::filesystem::create_directory(target.string()));
  EXPECT_EQ(Mount("disk1s3", cf::URLFromPath(target, true)), "disk1s3 ok");
  EXPECT_EQ(Volume(machine_.Read(), "disk1s3")->mount_point, target.string());
  EXPECT_FALSE(std::filesystem::is_empty(target.string())) << "the volume's files are there";
  EXPECT_EQ(Unmount("disk1s3"), "disk1s3 ok");
  EXPECT_TRUE(std::filesystem::is_empty(target.string()));

  root_.WriteFile("private/tmp/target/file", "x");
  EXPECT_EQ(Mount("disk1s3", cf::URLFromPath(target, true)),
            "disk1s3 0xf8da0002 \"mount point is not empty: " + target.string() + "\"");
}

TEST_F(DiskArbitrationTest, WholeDiskRequestsAndEject) {
  const uint32_t usb = sim::testing::PlugTestMedium(machine_, "usb-apfs");
  const std::string disk = "disk" + std::to_string(usb);
  const std::string volume = "disk" + std::to_string(usb + 1) + "s1";
  ASSERT_TRUE(Volume(machine_.Read(), volume)->is_mounted()) << "plugging mounts it";

  EXPECT_EQ(Unmount(disk, kDADiskUnmountOptionWhole), disk + " ok");
  EXPECT_FALSE(Volume(machine_.Read(), volume)->is_mounted());
  EXPECT_EQ(Mount(disk, nullptr, {}, kDADiskMountOptionWhole), disk + " ok");
  EXPECT_TRUE(Volume(machine_.Read(), volume)->is_mounted());

  EXPECT_EQ(Answer([&](da_testing::Recorder* answers) {
              DADiskEject(Disk(disk), kDADiskEjectOptionDefault, &RecordAnswer, answers);
            }),
            disk + " ok");
  const sim::Model model = machine_.Read();
  EXPECT_EQ(sim::FindDisk(model, usb), nullptr);
  EXPECT_EQ(Volume(model, volume), nullptr);
  EXPECT_FALSE(std::filesystem::exists(root_.Join("Volumes/USB APFS").string()));
}

TEST_F(DiskArbitrationTest, AnUnscheduledSessionStillCarriesRequestsOut) {
  DASessionRef unscheduled = DASessionCreate();
  DADiskRef disk = DADiskCreateFromBSDName(unscheduled, "disk1s2");
  // The answer comes, though not on a queue of the session's own.
  da_testing::Recorder& answers = NewRecorder();
  DADiskMount(disk, nullptr, kDADiskMountOptionDefault, &RecordAnswer, &answers);
  EXPECT_THAT(answers.WaitFor(1), ElementsAre("disk1s2 ok (elsewhere)"));

  // Fire and forget: no callback, and the session and disk are gone before it is done.
  DADiskRef other = DADiskCreateFromBSDName(unscheduled, "disk1s3");
  DADiskMount(other, nullptr, kDADiskMountOptionDefault, nullptr, nullptr);
  CFRelease(other);
  CFRelease(disk);
  CFRelease(unscheduled);
  const auto deadline = std::chrono::steady_clock::now() + da_testing::kPatience;
  while (!Volume(machine_.Read(), "disk1s3")->is_mounted() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(Volume(machine_.Read(), "disk1s3")->is_mounted());
}

TEST_F(DiskArbitrationTest, ApprovalCallbacksAreAskedOnTheirQueueAndCanRefuse) {
  da_testing::Recorder& asked = NewRecorder();
  cf::Ref<cf::MutableDictionary> match = cf::MutableDictionary::Create();
  match->SetValue(kDADiskDescriptionVolumeNameKey, Text("Preboot"));
  DARegisterDiskMountApprovalCallback(session_, match, &RefuseNotPermitted, &asked);

  // An approval callback of an unscheduled session is never asked.
  DASessionRef unscheduled = DASessionCreate();
  da_testing::Recorder& never = NewRecorder();
  DARegisterDiskMountApprovalCallback(unscheduled, nullptr, &RefuseNotPermitted, &never);

  EXPECT_EQ(Mount("disk1s2"), "disk1s2 0xf8da0008 \"not this one\"");
  EXPECT_FALSE(Volume(machine_.Read(), "disk1s2")->is_mounted());
  EXPECT_EQ(Mount("disk1s3"), "disk1s3 ok") << "the match leaves the Recovery volume alone";
  EXPECT_THAT(asked.Lines(), ElementsAre("asked about disk1s2"));

  DAUnregisterApprovalCallback(session_, reinterpret_cast<void*>(&RefuseNotPermitted), &asked);
  EXPECT_EQ(Mount("disk1s2"), "disk1s2 ok");
  EXPECT_THAT(asked.Lines(), ElementsAre("asked about disk1s2"));
  EXPECT_THAT(never.Lines(), IsEmpty());
  CFRelease(unscheduled);
}

TEST_F(DiskArbitrationTest, BlockersAreRecordedInTheMachineOncePerName) {
  const uint32_t number = da_testing::AddBlockerTestDisk(machine_);
  const std::string disk = "disk" + std::to_string(number);
  // On an unscheduled session the callback is never asked: the refusal below is the
  // machine's, as another process would get it.
  DASessionRef blocking = DASessionCreate();
  int first = 0;
  int second = 0;
  DARegisterDiskMountBlocker(blocking, disk.c_str(), &RefuseBusy, &first);
  DARegisterDiskMountBlocker(blocking, disk.c_str(), &RefuseBusy, &second);
  ASSERT_EQ(machine_.Read().blockers.size(), 1u);
  EXPECT_EQ(machine_.Read().blockers[0].pid, ::getpid());
  EXPECT_EQ(machine_.Read().blockers[0].bsd_name, disk);

  EXPECT_EQ(Mount(disk + "s1"), disk + "s1 0xf8da0002") << "busy, without a text";
  EXPECT_EQ(Mount(disk, nullptr, {}, kDADiskMountOptionWhole), disk + " 0xf8da0002");
  const std::string other = "disk" + std::to_string(number + 1) + "s1";
  EXPECT_EQ(Mount(other), other + " ok") << "a container on the disk is another whole disk";

  DAUnregisterApprovalCallback(blocking, reinterpret_cast<void*>(&RefuseBusy), &first);
  EXPECT_EQ(machine_.Read().blockers.size(), 1u) << "the second registration still holds it";
  DAUnregisterApprovalCallback(blocking, reinterpret_cast<void*>(&RefuseBusy), &second);
  EXPECT_THAT(machine_.Read().blockers, IsEmpty());
  EXPECT_EQ(Mount(disk + "s1"), disk + "s1 ok");

  // Releasing a session ends its blockers too.
  DARegisterDiskMountBlocker(blocking, disk.c_str(), &RefuseBusy, &first);
  EXPECT_EQ(machine_.Read().blockers.size(), 1u);
  CFRelease(blocking);
  EXPECT_THAT(machine_.Read().blockers, IsEmpty());
}

DORVANE_TEST_CHILD(plug_medium) {
  sim::Machine machine{mcom::FilePath(arguments.at(0))};
  sim::testing::PlugTestMedium(machine, arguments.at(1));
  return 0;
}

DORVANE_TEST_CHILD(unplug_disk) {
  sim::Machine machine{mcom::FilePath(arguments.at(0))};
  machine.Change([&](sim::Model& model) {
    sim::UnplugMedium(machine.root(), model, *mcom::ParseDiskName(arguments.at(1)));
  });
  return 0;
}

int RunChild(const std::string& name, const std::vector<std::string>& arguments) {
  da_testing::HelperProcess child(name, arguments);
  return child.Finish();
}

TEST_F(DiskArbitrationTest, AppearedAndDisappearedFollowTheMachineFromAnyProcess) {
  da_testing::Recorder& appeared = NewRecorder();
  da_testing::Recorder& disappeared = NewRecorder();
  DARegisterDiskAppearedCallback(session_, nullptr, &RecordDisk, &appeared);
  DARegisterDiskDisappearedCallback(session_, nullptr, &RecordDisk, &disappeared);
  // First, the disks that are there.
  EXPECT_THAT(appeared.WaitFor(9), ElementsAre("disk0", "disk0s1", "disk0s2", "disk1", "disk1s1",
                                               "disk1s2", "disk1s3", "disk1s4", "disk1s5"));

  // Plugged in this process.
  const uint32_t usb = sim::testing::PlugTestMedium(machine_, "usb-hfs");
  ASSERT_EQ(usb, 2u);
  const std::vector<std::string> plugged = appeared.WaitFor(12);
  ASSERT_EQ(plugged.size(), 12u);
  EXPECT_THAT(std::vector<std::string>(plugged.begin() + 9, plugged.end()),
              ElementsAre("disk2", "disk2s1", "disk2s2"));

  // Unplugged by another process.
  ASSERT_EQ(RunChild("unplug_disk", {root_.path().string(), "disk2"}), 0);
  EXPECT_THAT(disappeared.WaitFor(3), ElementsAre("disk2", "disk2s1", "disk2s2"));

  // Plugged by another process: the freed number is used again, and it is a new disk.
  ASSERT_EQ(RunChild("plug_medium", {root_.path().string(), "usb-apfs"}), 0);
  const std::vector<std::string> lines = appeared.WaitFor(17);
  ASSERT_EQ(lines.size(), 17u);
  EXPECT_THAT(std::vector<std::string>(lines.begin() + 12, lines.end()),
              ElementsAre("disk2", "disk2s1", "disk2s2", "disk3", "disk3s1"));
  EXPECT_EQ(disappeared.Lines().size(), 3u);
}

TEST_F(DiskArbitrationTest, MatchesFilterTheDisksAndUnregisteredCallbacksStayQuiet) {
  // The recovery disk screen's criteria: whole, writable, not internal.
  cf::Ref<cf::MutableDictionary> match = cf::MutableDictionary::Create();
  match->SetValue(kDADiskDescriptionMediaWholeKey, cf::Boolean::True());
  match->SetValue(kDADiskDescriptionMediaWritableKey, cf::Boolean::True());
  match->SetValue(kDADiskDescriptionDeviceInternalKey, cf::Boolean::False());
  da_testing::Recorder& external = NewRecorder();
  da_testing::Recorder& gone = NewRecorder();
  da_testing::Recorder& quiet = NewRecorder();
  DARegisterDiskAppearedCallback(session_, match, &RecordDisk, &external);
  DARegisterDiskDisappearedCallback(session_, match, &RecordGoneDescription, &gone);
  DARegisterDiskAppearedCallback(session_, nullptr, &RecordDisk, &quiet);
  ASSERT_EQ(quiet.WaitFor(9).size(), 9u);
  DAUnregisterCallback(session_, reinterpret_cast<void*>(&RecordDisk), &quiet);

  const uint32_t usb = sim::testing::PlugTestMedium(machine_, "usb-hfs");
  EXPECT_THAT(external.WaitFor(1), ElementsAre("disk" + std::to_string(usb)));
  machine_.Change(
      [&](sim::Model& model) { sim::UnplugMedium(machine_.root(), model, mcom::DiskName{usb}); });
  // The gone disk keeps the description it had.
  EXPECT_THAT(gone.WaitFor(1), ElementsAre("disk2 Generic Flash Disk Media"));
  // Everything from one look is queued together, so the unregistered callback would have
  // been called by now.
  EXPECT_EQ(quiet.Lines().size(), 9u);
  EXPECT_THAT(external.Lines(), ElementsAre("disk2"));
}

struct SelfRemoving {
  DASessionRef session;
  da_testing::Recorder* seen;

  static void Appeared(DADiskRef disk, void* context) {
    auto* me = static_cast<SelfRemoving*>(context);
    me->seen->Add(NameOf(disk));
    DAUnregisterCallback(me->session, reinterpret_cast<void*>(&Appeared), me);
  }
};

TEST_F(DiskArbitrationTest, ACallbackMayUnregisterItself) {
  SelfRemoving self{session_, &NewRecorder()};
  DARegisterDiskAppearedCallback(session_, nullptr, &SelfRemoving::Appeared, &self);
  EXPECT_THAT(self.seen->WaitFor(1), ElementsAre("disk0"));
  // The sentinel's disks are queued after the rest of the first look.
  da_testing::Recorder& sentinel = NewRecorder();
  DARegisterDiskAppearedCallback(session_, nullptr, &RecordDisk, &sentinel);
  EXPECT_EQ(sentinel.WaitFor(9).size(), 9u);
  EXPECT_THAT(self.seen->Lines(), ElementsAre("disk0"));
}

}  // namespace
}  // namespace platform
