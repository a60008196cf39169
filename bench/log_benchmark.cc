// The cost of one log message: rendering alone, and rendering plus the append to the
// machine's system log (an open, one write and a close per message).

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "core/foundation/log.h"
#include "core/foundation/system_path.h"

namespace {

void BM_RenderPlainText(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(mcom::log::Render("collect logs", {}));
}
BENCHMARK(BM_RenderPlainText);

void BM_RenderLaunchLine(benchmark::State& state) {
  const std::string version = "1.4.2";
  const std::string build = "142";
  for (auto _ : state) {
    benchmark::DoNotOptimize(mcom::log::Render(
        "launched. version: %{public}@ (%{public}@), timestamp: %{time_t}ld, ppid: %d, "
        "euid/egid: %d:%d",
        {version, build, int64_t{1796575533}, 1, 0u, 0u}));
  }
}
BENCHMARK(BM_RenderLaunchLine);

void BM_RenderErrno(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(mcom::log::Render(
        "removefile recursive failed for %s: %{darwin.errno}d", {"/tmp/.a1B2c3", ENOTEMPTY}));
  }
}
BENCHMARK(BM_RenderErrno);

void BM_RenderLongString(benchmark::State& state) {
  const std::string output(static_cast<size_t>(state.range(0)), 'x');
  for (auto _ : state) {
    benchmark::DoNotOptimize(mcom::log::Render("tool output: %{public}s", {output}));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_RenderLongString)->Arg(64)->Arg(4096);

// A machine root in a temporary folder for the whole run, with or without a log folder.
class BenchmarkRoot {
 public:
  BenchmarkRoot() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "dorvane-bench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    std::filesystem::create_directories(path_ + "/with-log/private/var/log");
    std::filesystem::create_directories(path_ + "/without-log");
  }
  ~BenchmarkRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  // Points the machine root at the folder with a log and empties the log.
  void UseLogFolder() {
    mcom::SetSystemRoot(mcom::FilePath(path_ + "/with-log"));
    std::error_code ignored;
    std::filesystem::resize_file(path_ + "/with-log/private/var/log/system.log", 0, ignored);
  }
  void UseMissingLogFolder() { mcom::SetSystemRoot(mcom::FilePath(path_ + "/without-log")); }

 private:
  std::string path_;
};

BenchmarkRoot& Root() {
  static BenchmarkRoot root;
  return root;
}

void BM_WriteToSystemLog(benchmark::State& state) {
  if (state.thread_index() == 0) Root().UseLogFolder();
  for (auto _ : state) {
    mcom::log::Default("replicate %{public}s (%{public}s) -> %{public}s", "disk1",
                       "Macintosh HD - Data", "disk5");
  }
}
BENCHMARK(BM_WriteToSystemLog)->ThreadRange(1, 2)->UseRealTime();

void BM_WriteWithoutLogFolder(benchmark::State& state) {
  Root().UseMissingLogFolder();
  for (auto _ : state) mcom::log::Error("failed to collect logs: %{public}s", "no space");
}
BENCHMARK(BM_WriteWithoutLogFolder);

}  // namespace
