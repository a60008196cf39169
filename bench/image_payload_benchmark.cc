// Volume payloads against a plain tree copy.
//
// Packs a generated tree of about 40 MB (many small files in nested folders, a few large ones,
// links and extended attributes) into a payload, plain and gzip-compressed, and extracts it
// again; as the baseline, copies the same tree with mcom::CopyTree. Everything runs in one
// process on the same tree, and every benchmark reports "vs_copy_tree": its time per iteration
// divided by the best of three CopyTree runs made when the tree was generated. A round trip
// (pack, then extract) is what an attach and a detach of an image cost together, against
// what a copy of the volume would cost.
//
//   cmake --build build --target benchmarks && build/bench/image_payload_benchmark

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/foundation/file.h"
#include "core/foundation/file_tree.h"
#include "platform/extended_attributes.h"
#include "sim/image/volume_payload.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void WriteFile(const fs::path& path, size_t size, uint32_t seed) {
  std::vector<char> bytes(size);
  for (char& byte : bytes) {
    seed = seed * 1664525 + 1013904223;
    // Half the bytes from a small alphabet: compressible about as well as ordinary files.
    byte =
        (seed >> 31) != 0 ? static_cast<char>(seed >> 24) : static_cast<char>('a' + (seed >> 28));
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, bytes.data(), size) != static_cast<ssize_t>(size)) {
    throw std::runtime_error("cannot write " + path.string());
  }
  ::close(fd);
}

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

void Remove(const fs::path& path) {
  if (fs::exists(fs::symlink_status(path)) &&
      mcom::RemoveRecursively(mcom::FilePath(path.string()))) {
    throw std::runtime_error("cannot remove " + path.string());
  }
}

// A scratch folder with the tree and its baseline copy time; removed at exit.
class Workspace {
 public:
  static Workspace& Get() {
    static Workspace workspace;
    return workspace;
  }

  fs::path Tree() const { return root_ / "tree"; }
  fs::path Scratch(const char* name) const { return root_ / name; }
  uint64_t bytes() const { return bytes_; }
  int64_t files() const { return files_; }
  double copy_seconds() const { return copy_seconds_; }

  ~Workspace() { Remove(root_); }

 private:
  Workspace() {
    std::string pattern = (fs::temp_directory_path() / "dorvane-bench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    Generate();
    copy_seconds_ = 1e9;
    for (int run = 0; run < 3; ++run) {
      const Clock::time_point start = Clock::now();
      if (mcom::CopyTree(mcom::FilePath(Tree().string()),
                         mcom::FilePath(Scratch("copy").string()))) {
        throw std::runtime_error("CopyTree failed");
      }
      copy_seconds_ = std::min(copy_seconds_, Seconds(Clock::now() - start));
      Remove(Scratch("copy"));
    }
  }

  void Generate() {
    uint32_t seed = 1;
    for (int folder = 0; folder < 30; ++folder) {
      const fs::path directory =
          Tree() / ("level-" + std::to_string(folder % 3)) / ("folder-" + std::to_string(folder));
      fs::create_directories(directory);
      for (int file = 0; file < 25; ++file) {
        const size_t size = 1024 + (seed * 2654435761u) % (60 << 10);
        const fs::path path = directory / ("file-" + std::to_string(file));
        WriteFile(path, size, seed++);
        bytes_ += size;
        ++files_;
        if (file % 10 == 0) {
          const char info[32] = {'T', 'E', 'X', 'T', 'R', '*', 'c', 'h'};
          platform::SetAttribute(path.c_str(), "com.apple.FinderInfo", info, sizeof info);
        }
      }
      fs::create_symlink("file-0", directory / "link");
    }
    for (int file = 0; file < 4; ++file) {
      WriteFile(Tree() / ("large-" + std::to_string(file)), 4 << 20, seed++);
      bytes_ += 4 << 20;
      ++files_;
    }
  }

  fs::path root_;
  uint64_t bytes_ = 0;
  int64_t files_ = 0;
  double copy_seconds_ = 0;
};

// Runs `operation` once per iteration, timed by hand so that clean-up stays outside.
template <typename Operation, typename CleanUp>
void Run(benchmark::State& state, Operation operation, CleanUp clean_up) {
  Workspace& workspace = Workspace::Get();
  double total = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    operation();
    const double seconds = Seconds(Clock::now() - start);
    state.SetIterationTime(seconds);
    total += seconds;
    clean_up();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(workspace.bytes()));
  state.SetItemsProcessed(state.iterations() * workspace.files());
  state.counters["vs_copy_tree"] =
      total / static_cast<double>(state.iterations()) / workspace.copy_seconds();
}

std::unique_ptr<mcom::File> NewPayloadFile(const fs::path& path) {
  auto file = std::make_unique<mcom::File>(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!*file) throw std::runtime_error("cannot create " + path.string());
  return file;
}

sim::ImagePayload Pack(const fs::path& path, sim::PayloadCompression compression) {
  std::shared_ptr<mcom::File> file = NewPayloadFile(path);
  const uint64_t length =
      sim::PackFolder(mcom::FilePath(Workspace::Get().Tree().string()), *file, compression);
  return sim::ImagePayload{std::move(file), 0, length, compression};
}

void BM_CopyTree(benchmark::State& state) {
  Workspace& workspace = Workspace::Get();
  const fs::path copy = workspace.Scratch("copy");
  Run(
      state,
      [&] {
        if (mcom::CopyTree(mcom::FilePath(workspace.Tree().string()),
                           mcom::FilePath(copy.string()))) {
          state.SkipWithError("CopyTree failed");
        }
      },
      [&] { Remove(copy); });
}

void BM_PackFolder(benchmark::State& state, sim::PayloadCompression compression) {
  const fs::path payload = Workspace::Get().Scratch("payload");
  uint64_t length = 0;
  Run(
      state, [&] { length = Pack(payload, compression).length; }, [&] { fs::remove(payload); });
  state.counters["payload_bytes"] = static_cast<double>(length);
}

void BM_ExtractPayload(benchmark::State& state, sim::PayloadCompression compression) {
  Workspace& workspace = Workspace::Get();
  const sim::ImagePayload payload = Pack(workspace.Scratch("payload"), compression);
  const fs::path out = workspace.Scratch("out");
  Run(
      state, [&] { sim::ExtractPayload(payload, mcom::FilePath(out.string())); },
      [&] { Remove(out); });
  fs::remove(workspace.Scratch("payload"));
}

void BM_PackAndExtract(benchmark::State& state, sim::PayloadCompression compression) {
  Workspace& workspace = Workspace::Get();
  const fs::path payload = workspace.Scratch("payload");
  const fs::path out = workspace.Scratch("out");
  Run(
      state, [&] { sim::ExtractPayload(Pack(payload, compression), mcom::FilePath(out.string())); },
      [&] {
        fs::remove(payload);
        Remove(out);
      });
}

BENCHMARK(BM_CopyTree)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(BM_PackFolder, plain, sim::PayloadCompression::kNone)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK_CAPTURE(BM_PackFolder, gzip, sim::PayloadCompression::kGzip)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK_CAPTURE(BM_ExtractPayload, plain, sim::PayloadCompression::kNone)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK_CAPTURE(BM_ExtractPayload, gzip, sim::PayloadCompression::kGzip)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK_CAPTURE(BM_PackAndExtract, plain, sim::PayloadCompression::kNone)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK_CAPTURE(BM_PackAndExtract, gzip, sim::PayloadCompression::kGzip)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

}  // namespace
