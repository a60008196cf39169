// The privileged helper as its clients meet it, on a simulated Mac with the launcher running
// and the build's signed helper installed:
// - cold start: from the first connection to the service name, while no helper runs, to
//   the session granted (the launcher starts the helper, which checks in, logs its launch
//   and checks the caller's signature);
// - the round trip of GetAuthorization (203) through the helper's session port, next to a
//   bare SOCK_SEQPACKET ping-pong measured in the same run; the counter "ratio" is the
//   request's round trip over the bare one.
//
// The helper answers only the maker's signed application, so the benchmark sets the machine
// up, then runs a copy of itself signed as the application, which measures.
//
//   cmake --build build --target benchmarks && build/bench/helper_benchmark

#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "bench/seqpacket_echo.h"
#include "core/foundation/system_path.h"
#include "sim/launcher/running_launcher.h"
#include "sim/machine/test_machine.h"
#include "sim/signature/test_identities.h"
#include "sim/signature/test_signing.h"
#include "transport/call.h"
#include "transport/create_session.h"
#include "transport/message_catalogue.h"

namespace {

namespace launcher = sim::launcher::testing;

constexpr char kLabel[] = "com.halvex-software.Dorvane.helper";
constexpr char kRootVariable[] = "HELPER_BENCHMARK_ROOT";

std::optional<pid_t> HelperPid() {
  const launcher::JobPids jobs = launcher::ReadJobPids(mcom::SystemRoot());
  const auto job = jobs.find(kLabel);
  return job == jobs.end() ? std::nullopt : job->second;
}

void BM_ColdStartToSession(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    if (const std::optional<pid_t> helper = HelperPid()) ::kill(*helper, SIGKILL);
    launcher::WaitForJobPids(mcom::SystemRoot(), [](const launcher::JobPids& jobs) {
      const auto job = jobs.find(kLabel);
      return job != jobs.end() && !job->second;
    });
    state.ResumeTiming();
    if (std::holds_alternative<Error>(mach::CreateSession())) {
      state.SkipWithError("no session");
      return;
    }
  }
}
BENCHMARK(BM_ColdStartToSession)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_GetAuthorizationRoundTrip(benchmark::State& state) {
  const double bare = bench::BareRoundTripNanoseconds(20000);
  std::variant<mach::Session, Error> session = mach::CreateSession();
  if (std::holds_alternative<Error>(session)) {
    state.SkipWithError("no session");
    return;
  }
  const mach::PortRight<mach::Send>& port = std::get<mach::Session>(session).port;
  int64_t calls = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (!mach::Call<mach::GetAuthorizationRequest>(mach::kGetAuthorizationId, port)) {
      state.SkipWithError("the request failed");
      return;
    }
    ++calls;
  }
  const double per_call =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
      double(calls);
  state.counters["bare_ns"] = bare;
  state.counters["request_ns"] = per_call;
  state.counters["ratio"] = bare > 0 ? per_call / bare : 0;
}
BENCHMARK(BM_GetAuthorizationRoundTrip);

// Makes the machine and runs the signed copy of this program on it; returns its status.
int SetUpAndMeasure(int argc, char** argv) {
  char folder_template[] = "/tmp/helper-benchmark-XXXXXX";
  if (::mkdtemp(folder_template) == nullptr) return 1;
  const mcom::FilePath folder(folder_template);
  const mcom::FilePath root = folder.Join("mac");
  int status = 1;
  try {
    sim::testing::MakeTestMachine(root);
    const std::string installed = std::string("/Library/PrivilegedHelperTools/") + kLabel;
    std::filesystem::copy_file(SIGNED_HELPER_PATH, root.string() + installed);
    launcher::JobDescription job;
    job.label = kLabel;
    job.program = installed;
    job.mach_services = {kLabel};
    job.throttle_interval = 0;
    launcher::WriteJob(root, job);
    const std::string info = "<plist version=\"1.0\"><dict/></plist>";
    const mcom::FilePath app = sim::signature::testing::WriteSignedCopy(
        mcom::FilePath("/proc/self/exe"), folder.Join("app"),
        sim::signature::TestSigningIdentity(sim::signature::TestIdentity::kMakerDeveloperID),
        {"com.halvex-software.Dorvane", {info.begin(), info.end()}, 0});
    launcher::RunningLauncher running(root);
    const pid_t child = ::fork();
    if (child == 0) {
      ::setenv(kRootVariable, root.c_str(), 1);
      ::execv(app.c_str(), argv);
      ::_exit(127);
    }
    int wait_status = 0;
    if (child > 0 && ::waitpid(child, &wait_status, 0) == child && WIFEXITED(wait_status)) {
      status = WEXITSTATUS(wait_status);
    }
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "helper_benchmark: %s\n", failure.what());
  }
  (void)argc;
  std::error_code ignored;
  std::filesystem::remove_all(folder.string(), ignored);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const char* root = ::getenv(kRootVariable);
  if (root == nullptr) return SetUpAndMeasure(argc, argv);
  mcom::SetSystemRoot(mcom::FilePath(root));
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
