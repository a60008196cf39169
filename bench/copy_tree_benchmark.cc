// Tree copy against a plain copy.
//
// Copies two generated trees, many small files and a few large ones, with mcom::CopyTree and,
// as the baseline, with a plain copy that walks the tree and moves every byte through one
// user-space buffer with read and write (no kernel copy, no metadata). Both run in the same
// process on the same trees, so the ratio of their rates is what the kernel copy, the extent
// walk and the metadata cost or gain. The first iteration of each reads the sources into the
// page cache; later ones compare copies from memory.
//
//   cmake --build build --target benchmarks && build/bench/copy_tree_benchmark

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/foundation/file_tree.h"

namespace {

namespace fs = std::filesystem;

struct TreeShape {
  const char* name;
  int folders;
  int files_per_folder;
  size_t smallest_file;
  size_t largest_file;
};

constexpr TreeShape kManySmallFiles = {"small", 40, 50, 1 << 10, 16 << 10};
constexpr TreeShape kFewLargeFiles = {"large", 1, 4, 32 << 20, 32 << 20};

void WriteFile(const fs::path& path, size_t size, uint32_t seed) {
  std::vector<char> bytes(size);
  for (char& byte : bytes) {
    seed = seed * 1664525 + 1013904223;  // enough variety that nothing compresses
    byte = static_cast<char>(seed >> 24);
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path.string());
  size_t written = 0;
  while (written < size) {
    const ssize_t count = ::write(fd, bytes.data() + written, size - written);
    if (count <= 0) throw std::runtime_error("cannot write " + path.string());
    written += static_cast<size_t>(count);
  }
  ::close(fd);
}

// A scratch folder holding one generated tree per shape; removed at exit.
class Workspace {
 public:
  static Workspace& Get() {
    static Workspace workspace;
    return workspace;
  }

  fs::path Source(const TreeShape& shape) const { return root_ / "source" / shape.name; }
  fs::path Destination() const { return root_ / "copy"; }
  uint64_t Bytes(const TreeShape& shape) const {
    return &shape == &kManySmallFiles ? small_bytes_ : large_bytes_;
  }
  int64_t Files(const TreeShape& shape) const { return shape.folders * shape.files_per_folder; }

  ~Workspace() { (void)mcom::RemoveRecursively(mcom::FilePath(root_.string())); }

 private:
  Workspace() {
    std::string pattern = (fs::temp_directory_path() / "dorvane-bench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    small_bytes_ = Generate(kManySmallFiles);
    large_bytes_ = Generate(kFewLargeFiles);
  }

  uint64_t Generate(const TreeShape& shape) {
    uint64_t total = 0;
    uint32_t seed = 1;
    for (int folder = 0; folder < shape.folders; ++folder) {
      const fs::path directory = Source(shape) / ("folder-" + std::to_string(folder));
      fs::create_directories(directory);
      for (int file = 0; file < shape.files_per_folder; ++file) {
        const size_t size = shape.smallest_file +
                            (seed * 2654435761u) % (shape.largest_file - shape.smallest_file + 1);
        WriteFile(directory / ("file-" + std::to_string(file)), size, seed++);
        total += size;
      }
    }
    return total;
  }

  fs::path root_;
  uint64_t small_bytes_ = 0;
  uint64_t large_bytes_ = 0;
};

// The baseline: directories made, every file's bytes read and written through one buffer.
void PlainCopy(const fs::path& from, const fs::path& to) {
  fs::create_directory(to);
  std::vector<char> buffer(64 << 10);
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(from)) {
    const fs::path target = to / fs::relative(entry.path(), from);
    if (entry.is_directory()) {
      fs::create_directory(target);
      continue;
    }
    const int in = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (in < 0 || out < 0) throw std::runtime_error("cannot open " + entry.path().string());
    for (ssize_t count; (count = ::read(in, buffer.data(), buffer.size())) > 0;) {
      if (::write(out, buffer.data(), static_cast<size_t>(count)) != count) {
        throw std::runtime_error("cannot write " + target.string());
      }
    }
    ::close(in);
    ::close(out);
  }
}

template <typename Copy>
void RunCopies(benchmark::State& state, const TreeShape& shape, Copy copy) {
  Workspace& workspace = Workspace::Get();
  const fs::path destination = workspace.Destination();
  for (auto _ : state) {
    copy(workspace.Source(shape), destination);
    state.PauseTiming();
    if (mcom::RemoveRecursively(mcom::FilePath(destination.string()))) {
      state.SkipWithError("cannot remove the copy");
    }
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(workspace.Bytes(shape)));
  state.SetItemsProcessed(state.iterations() * workspace.Files(shape));
}

void BM_CopyTree(benchmark::State& state, const TreeShape* shape) {
  RunCopies(state, *shape, [&](const fs::path& from, const fs::path& to) {
    if (mcom::CopyTree(mcom::FilePath(from.string()), mcom::FilePath(to.string()))) {
      state.SkipWithError("CopyTree failed");
    }
  });
}

void BM_PlainReadWriteCopy(benchmark::State& state, const TreeShape* shape) {
  RunCopies(state, *shape, PlainCopy);
}

// Copying is bound by the disk and the kernel more than by this process: rates are given
// against the wall clock.
BENCHMARK_CAPTURE(BM_CopyTree, many_small_files, &kManySmallFiles)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_PlainReadWriteCopy, many_small_files, &kManySmallFiles)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_CopyTree, few_large_files, &kFewLargeFiles)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_PlainReadWriteCopy, few_large_files, &kFewLargeFiles)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
