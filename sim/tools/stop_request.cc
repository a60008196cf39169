#include "sim/tools/stop_request.h"

#include <signal.h>

#include <atomic>

namespace sim::tools {
namespace {

std::atomic<int> stop_signal{0};

void RecordStop(int signal) {
  int none = 0;
  stop_signal.compare_exchange_strong(none, signal);
}

}  // namespace

void InstallStopRequestHandlers() {
  struct sigaction action {};
  action.sa_handler = RecordStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

int StopRequested() { return stop_signal.load(); }

}  // namespace sim::tools
