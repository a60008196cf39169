// The simulated Mac's state store: rendering the registry of a machine with many disks, and
// the cost of one change transaction (lock, read machine.plist, change, write machine.plist
// and the registry).
//
//   cmake --build build --target benchmarks && build/bench/machine_benchmark

#include <stdlib.h>

#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>

#include "core/foundation/cf_data.h"
#include "core/foundation/file_tree.h"
#include "core/foundation/property_list.h"
#include "sim/machine/atomic_file.h"
#include "sim/machine/disk_numbering.h"
#include "sim/machine/machine.h"
#include "sim/machine/machine_creation.h"
#include "sim/machine/machine_settings.h"
#include "sim/machine/model.h"
#include "sim/machine/registry_renderer.h"

namespace {

namespace cf = mcom::cf;

// Adds `disks` external disks to the model, each with a GUID partition map (EFI and an APFS
// store) and a container of four volumes: seven registry media per disk. In memory only:
// the volumes have no stores on disk.
void AddDisks(sim::Model& model, int disks) {
  for (int i = 0; i < disks; ++i) {
    const std::string id = "11111111-2222-4333-8444-" + std::to_string(100000000000 + i);
    sim::Disk disk;
    disk.number = sim::LowestFreeDiskNumber(model);
    disk.kind = sim::DiskKind::kExternal;
    disk.protocol = "USB";
    disk.location = "External";
    disk.media_name = "Generic Flash Disk Media";
    disk.size = 64'000'000'000;
    disk.scheme = "GPT";
    disk.content = std::string(sim::kGUIDSchemeContent);
    disk.uuid = id;
    disk.bsd_minor = sim::LowestFreeBSDMinor(model);
    disk.registry_id = sim::AllocateRegistryIDs(model);
    model.disks.push_back(disk);
    for (uint32_t slice : {1u, 2u}) {
      sim::Partition partition{
          slice,
          std::string(slice == 1 ? sim::kEFIPartitionGUID : sim::kAPFSPartitionGUID),
          slice == 1 ? "EFI System Partition" : "",
          slice * 209715200ull,
          32'000'000'000,
          id,
          sim::LowestFreeBSDMinor(model),
          sim::AllocateRegistryIDs(model)};
      model.disks.back().partitions.push_back(partition);
    }
    sim::Container container;
    container.uuid = id;
    container.number = sim::LowestFreeDiskNumber(model);
    container.size = 32'000'000'000;
    container.stores = {mcom::FormatDiskName(mcom::DiskName{disk.number, 2})};
    container.bsd_minor = sim::LowestFreeBSDMinor(model);
    container.registry_id = sim::AllocateRegistryIDs(model);
    model.containers.push_back(container);
    for (uint32_t slice = 1; slice <= 4; ++slice) {
      sim::Volume volume;
      volume.uuid = id + "-" + std::to_string(slice);
      volume.name = "Volume " + std::to_string(slice);
      volume.disk = mcom::DiskName{container.number, slice};
      volume.roles = {slice == 1 ? "System" : "Data"};
      volume.store = volume.uuid;
      volume.content = std::string(sim::kAPFSVolumeContent);
      volume.bsd_minor = sim::LowestFreeBSDMinor(model);
      volume.registry_id = sim::AllocateRegistryIDs(model);
      model.volumes.push_back(volume);
    }
  }
}

sim::Model ModelWithDisks(int disks) {
  sim::Model model;
  AddDisks(model, disks);
  return model;
}

void BM_RenderRegistry(benchmark::State& state) {
  const sim::Model model = ModelWithDisks(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const cf::Ref<cf::Dictionary> registry = sim::RenderRegistry(model);
    benchmark::DoNotOptimize(registry.get());
  }
  state.counters["entries"] = static_cast<double>(state.range(0) * 13 + 3);
}
BENCHMARK(BM_RenderRegistry)->Arg(10)->Arg(100)->Arg(300)->Unit(benchmark::kMillisecond);

// A scratch folder, removed when the benchmark ends.
class Scratch {
 public:
  Scratch() {
    std::string pattern = "/tmp/machine-benchmark.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = mcom::FilePath(pattern);
  }
  ~Scratch() { mcom::RemoveRecursively(path_); }
  const mcom::FilePath& path() const { return path_; }

 private:
  mcom::FilePath path_;
};

void BM_RenderAndWriteRegistry(benchmark::State& state) {
  const sim::Model model = ModelWithDisks(static_cast<int>(state.range(0)));
  const Scratch scratch;
  const mcom::FilePath path = scratch.path().Join("registry.plist");
  size_t bytes = 0;
  for (auto _ : state) {
    const cf::Ref<cf::Data> data =
        cf::PropertyListToData(sim::RenderRegistry(model), cf::PropertyListFormat::kXML);
    if (sim::WriteFileAtomically(path, data->AsStringView(), 0644)) {
      state.SkipWithError("cannot write the registry");
      break;
    }
    bytes = data->length();
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_RenderAndWriteRegistry)->Arg(10)->Arg(100)->Arg(300)->Unit(benchmark::kMillisecond);

// One change that sets a fault (the registry stays the same, so only machine.plist is
// written) and one that flips a fact back and forth, on a machine with `range(0)` extra
// disks in its model.
void BM_ChangeTransaction(benchmark::State& state) {
  const Scratch scratch;
  const mcom::FilePath root = scratch.path().Join("mac");
  const sim::Fixture fixture =
      sim::LoadFixture(mcom::FilePath(DORVANE_SOURCE_DIR "/sim/machines"), "intel-mac");
  sim::Machine machine = sim::CreateMachine(root, fixture, 16 * 1024);
  machine.Change([&](sim::Model& model) { AddDisks(model, static_cast<int>(state.range(0))); });
  int round = 0;
  for (auto _ : state) {
    machine.Change([&](sim::Model& current) {
      sim::ApplySetting(current, "fault.benchmark.change", std::to_string(round));
      if (state.range(1) != 0) current.facts.has_t2 = (round % 2) == 0;
    });
    ++round;
  }
}
BENCHMARK(BM_ChangeTransaction)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({100, 0})
    ->Args({100, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace
