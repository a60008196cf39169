// The message transport between application and helper:
// - the round trip of a request without arguments (GetAuthorization: 24 bytes out, 56 back)
//   through a global-queue server in this process, next to a bare SOCK_SEQPACKET ping-pong
//   with an echoing thread measured in the same run; the counter "ratio" is the request's
//   round trip over the bare one;
// - progress messages delivered per second from a sender to the callback of the receiving
//   loop that RunWithProgress uses.
//
//   cmake --build build --target benchmarks && build/bench/transport_benchmark

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>

#include "bench/seqpacket_echo.h"
#include "core/foundation/dispatch.h"
#include "transport/call.h"
#include "transport/message_catalogue.h"
#include "transport/progress_message.h"
#include "transport/run_with_progress.h"
#include "transport/server.h"

namespace {

using Clock = std::chrono::steady_clock;

void BM_BareSeqpacketRoundTrip(benchmark::State& state) {
  bench::SeqpacketEcho echo;
  for (auto _ : state) {
    if (!echo.RoundTrip()) state.SkipWithError("the echo failed");
  }
}
BENCHMARK(BM_BareSeqpacketRoundTrip);

void BM_RequestRoundTrip(benchmark::State& state) {
  const double bare = bench::BareRoundTripNanoseconds(20000);

  const mach::PortRight<mach::Receive> port = mach::AllocateReceiveRight().value();
  mach_port_t name = MACH_PORT_NULL;
  mach_stand_in::MakeSendRight(port.get(), &name);
  const mach::PortRight<mach::Send> client(name);
  mach::Server server(port, mach::Server::GlobalQueue{});
  server.AddHandler(mach::kGetAuthorizationId,
                    [](mach::Promise<AuthorizationExternalForm> promise) { promise.SetValue({}); });
  server.Resume();

  int64_t calls = 0;
  const Clock::time_point start = Clock::now();
  for (auto _ : state) {
    auto reply = mach::Call<mach::GetAuthorizationRequest>(mach::kGetAuthorizationId, client);
    if (!reply) state.SkipWithError("the call failed");
    ++calls;
  }
  const double per_call =
      std::chrono::duration<double, std::nano>(Clock::now() - start).count() / double(calls);
  state.counters["bare_ns"] = bare;
  state.counters["request_ns"] = per_call;
  state.counters["ratio"] = bare > 0 ? per_call / bare : 0;
}
BENCHMARK(BM_RequestRoundTrip);

// Each iteration sends 10,000 progress messages and waits until the loop has handed every
// one to the callback.
void BM_ProgressDelivered(benchmark::State& state) {
  constexpr int kMessages = 10000;
  mach::PortRight<mach::Receive> port = mach::AllocateReceiveRight().value();
  mach_port_t name = MACH_PORT_NULL;
  mach_stand_in::MakeSendRight(port.get(), &name);
  const mach::PortRight<mach::Send> sender(name);
  std::atomic<int> delivered{0};
  dispatch::Semaphore all_delivered(0);
  const ProgressCallback progress = [&](ProgressUpdate) {
    if (++delivered == kMessages) all_delivered.Signal();
  };
  const dispatch::Semaphore finished = mach::internal::StartProgressLoop(port.get(), progress);

  for (auto _ : state) {
    delivered = 0;
    for (int index = 0; index < kMessages; ++index) {
      const ProgressUpdate update =
          index % 2 == 0 ? ProgressUpdate(double(index) / kMessages) : ProgressUpdate("Copying");
      mach::SendProgress(sender, update);
    }
    all_delivered.Wait(dispatch::kForever);
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
  port.reset();
  finished.Wait(dispatch::kForever);
}
BENCHMARK(BM_ProgressDelivered)->Unit(benchmark::kMillisecond);

}  // namespace
