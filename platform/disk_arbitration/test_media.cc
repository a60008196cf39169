#include "platform/disk_arbitration/test_media.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "core/foundation/process.h"
#include "sim/machine/apfs_operations.h"
#include "sim/machine/disk_operations.h"
#include "sim/machine/mounting.h"
#include "tests/support/child_process.h"

namespace da_testing {

uint32_t AddBlockerTestDisk(sim::Machine& machine) {
  return machine.Change([&](sim::Model& model) {
    sim::WholeDiskSpec spec;
    spec.media_name = "Test USB Media";
    spec.vendor_name = "Test";
    spec.product_name = "USB Disk";
    spec.size = 8ull << 30;
    spec.removable = true;
    const uint32_t disk = sim::AddWholeDisk(model, spec);
    const std::vector<mcom::DiskName> partitions =
        sim::PartitionDisk(machine.root(), model, disk,
                           {{std::string(sim::kHFSPartitionGUID), "Blocked Volume", 1ull << 30},
                            {std::string(sim::kAPFSPartitionGUID), "", 0}},
                           /*with_efi=*/false);
    sim::CreateHFSVolume(machine.root(), model, partitions[0], "Blocked Volume");
    const uint32_t container = sim::CreateContainer(machine.root(), model, {partitions[1]});
    sim::AddVolume(machine.root(), model, container, {"Other Volume", {}, {}});
    return disk;
  });
}

uint32_t AttachTestImage(sim::Machine& machine) {
  return machine.Change([&](sim::Model& model) {
    const sim::WholeDiskSpec spec = sim::ImageDiskSpec(
        machine.root().Join("private/tmp/test.sparseimage").string(), "SPARSE", 1ull << 30, "rw");
    const uint32_t disk = sim::AddWholeDisk(model, spec);
    const std::vector<mcom::DiskName> partitions = sim::PartitionDisk(
        machine.root(), model, disk, {{std::string(sim::kAPFSPartitionGUID), "disk image", 0}});
    const uint32_t container = sim::CreateContainer(machine.root(), model, {partitions[0]});
    const mcom::DiskName volume =
        sim::AddVolume(machine.root(), model, container, {"Image Volume", {}, {}});
    sim::Mount(machine.root(), model, volume, {});
    return disk;
  });
}

void Recorder::Add(std::string line) {
  std::lock_guard lock(mutex_);
  lines_.push_back(std::move(line));
  added_.notify_all();
}

std::vector<std::string> Recorder::WaitFor(size_t count) {
  std::unique_lock lock(mutex_);
  added_.wait_for(lock, kPatience, [&] { return lines_.size() >= count; });
  return lines_;
}

std::vector<std::string> Recorder::Lines() {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool Recorder::WaitForLine(const std::string& line) {
  std::unique_lock lock(mutex_);
  return added_.wait_for(lock, kPatience, [&] {
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
  });
}

HelperProcess::HelperProcess(const std::string& name, const std::vector<std::string>& arguments) {
  mcom::Result<mcom::Pipe> to_child = mcom::CreatePipe();
  mcom::Result<mcom::Pipe> from_child = mcom::CreatePipe();
  if (!to_child || !from_child) return;
  mcom::FileActions actions;
  actions.AddDuplicate(to_child->read.get(), 0);
  actions.AddDuplicate(from_child->write.get(), 1);
  const mcom::Result<pid_t> pid = mcom::SpawnProcess(
      ::testing::TestBinary().c_str(), ::testing::ChildArguments(name, arguments), actions);
  if (!pid) return;
  child_ = mcom::ChildProcess(*pid, mcom::ChildProcess::WhenDestroyed::kWait);
  input_ = std::move(to_child->write);
  output_ = std::move(from_child->read);
}

HelperProcess::~HelperProcess() { (void)Finish(); }

bool HelperProcess::WaitUntilReady() {
  std::string line;
  char character = 0;
  while (output_.IsValid()) {
    const mcom::Result<size_t> read = output_.Read(&character, 1);
    if (!read || *read == 0) break;
    if (character == '\n') break;
    line.push_back(character);
  }
  return line == "ready";
}

int HelperProcess::Finish() {
  if (!child_) return -1;
  (void)input_.Close();
  return child_.Wait().value();
}

void HelperProcess::ReadyAndWait() {
  std::fputs("ready\n", stdout);
  std::fflush(stdout);
  char buffer[64];
  while (::read(0, buffer, sizeof buffer) > 0) {
  }
}

}  // namespace da_testing
