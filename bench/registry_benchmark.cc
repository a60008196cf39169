// Registry queries on a machine with a registry of about 10,000 entries: 345 disks, each
// with an EFI partition and an APFS container of 20 volumes. Each query is measured twice:
// with the parsed registry cached (a burst of queries on an unchanged machine) and with a
// registry file that changed since the last query, so that the query pays for reading and
// parsing it (the first query after every change the machine makes).
//
//   cmake --build build --target benchmarks && build/bench/registry_benchmark

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/discovery/apfs_container.h"
#include "core/discovery/property_query.h"
#include "core/discovery/service_property.h"
#include "core/discovery/whole_disk.h"
#include "core/foundation/system_path.h"
#include "tests/support/registry_builder.h"

namespace {

using mcom::DiskName;

constexpr uint32_t kDisks = 345;
constexpr uint32_t kVolumesPerContainer = 20;

// The machine root holding the generated registry, made once and removed at exit.
class Machine {
 public:
  Machine() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "dorvane-registry-bench.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    mcom::SetSystemRoot(mcom::FilePath(root_));

    testing::RegistryBuilder registry;
    // Disk 2n holds the store of container 2n+1.
    for (uint32_t disk = 0; disk < 2 * kDisks; disk += 2) {
      testing::RegistryBuilder::Disk whole = registry.AddWholeDisk(disk);
      registry.AddPartition(whole, 1, testing::RegistryBuilder::kEFIPartitionType, "EFI");
      testing::RegistryEntry& store =
          registry.AddPartition(whole, 2, testing::RegistryBuilder::kAPFSPartitionType, "Store");
      testing::RegistryBuilder::Container container = registry.AddContainer(store, disk + 1);
      for (uint32_t slice = 1; slice <= kVolumesPerContainer; ++slice) {
        registry.AddVolume(container, slice, std::string("Volume ").append(std::to_string(slice)),
                           {slice == 1   ? "System"
                            : slice == 2 ? "Data"
                                         : "VM"});
      }
    }
    if (!registry.WriteToMachine()) std::abort();
    path_ = mcom::SystemPath("/private/var/db/macsim/registry.plist").string();
    struct stat status {};
    if (stat(path_.c_str(), &status) != 0) std::abort();
    size_ = status.st_size;
  }

  ~Machine() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // Gives the registry file a new modification time: a new version as far as the cache can
  // tell, at the cost of one system call instead of a rewrite.
  void Touch() {
    ++tick_;
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, tick_ % 1000000000}};
    if (utimensat(AT_FDCWD, path_.c_str(), times, 0) != 0) std::abort();
  }

  off_t size() const { return size_; }

 private:
  std::string root_;
  std::string path_;
  off_t size_ = 0;
  long tick_ = 0;
};

Machine& TheMachine() {
  static Machine machine;
  return machine;
}

// The container on the last disk's store: the first value of a two-level child query.
void FindContainer(benchmark::State& state, bool changed) {
  Machine& machine = TheMachine();
  const DiskName store{2 * (kDisks - 1), 2};
  for (auto _ : state) {
    if (changed) machine.Touch();
    const std::optional<APFSContainerName> container = mcom::FindAPFSContainerOnDisk(store);
    if (!container) state.SkipWithError("no container found");
    benchmark::DoNotOptimize(container);
  }
  state.counters["registry_bytes"] = static_cast<double>(machine.size());
}

// Every volume of one container, read by the volume reader.
void ListContainerVolumes(benchmark::State& state, bool changed) {
  Machine& machine = TheMachine();
  const APFSContainerName container{DiskName{2 * kDisks - 1}};
  for (auto _ : state) {
    if (changed) machine.Touch();
    const auto volumes = mcom::iokit::AllValues(mcom::APFSVolumesOfContainer(container));
    if (volumes.size() != kVolumesPerContainer) state.SkipWithError("volumes missing");
    benchmark::DoNotOptimize(volumes);
  }
}

// Every APFS volume of the machine (6,900), by class matching.
void ListAllVolumes(benchmark::State& state, bool changed) {
  Machine& machine = TheMachine();
  const mcom::iokit::PropertyQuery<APFSVolumeInfo> query(
      mcom::iokit::ServiceQuery("AppleAPFSVolume"), mcom::ReadAPFSVolumeInfo);
  for (auto _ : state) {
    if (changed) machine.Touch();
    const auto volumes = mcom::iokit::AllValues(query);
    if (volumes.size() != kDisks * kVolumesPerContainer) state.SkipWithError("volumes missing");
    benchmark::DoNotOptimize(volumes);
  }
}

// The first IOMedia of the machine: class matching selects all of them before the first
// is taken (as IOKit's matching does), so this pays for a scan of the registry.
void FirstMediaByClass(benchmark::State& state, bool changed) {
  Machine& machine = TheMachine();
  const mcom::iokit::PropertyQuery<DiskName> query(mcom::iokit::ServiceQuery("IOMedia"),
                                                   mcom::iokit::BSDName);
  for (auto _ : state) {
    if (changed) machine.Touch();
    benchmark::DoNotOptimize(mcom::iokit::FirstValue(query));
  }
}

void WholeDiskOfVolume(benchmark::State& state, bool changed) {
  Machine& machine = TheMachine();
  for (auto _ : state) {
    if (changed) machine.Touch();
    benchmark::DoNotOptimize(mcom::WholeDiskForDisk(DiskName{2 * kDisks - 1, 7}));
  }
}

BENCHMARK_CAPTURE(FindContainer, cached, false);
BENCHMARK_CAPTURE(FindContainer, first_load, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(WholeDiskOfVolume, cached, false);
BENCHMARK_CAPTURE(ListContainerVolumes, cached, false);
BENCHMARK_CAPTURE(ListContainerVolumes, first_load, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FirstMediaByClass, cached, false);
BENCHMARK_CAPTURE(ListAllVolumes, cached, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ListAllVolumes, first_load, true)->Unit(benchmark::kMillisecond);

}  // namespace
