#include "sim/tools/tool_context.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <ostream>
#include <thread>

#include "sim/tools/stop_request.h"

namespace sim::tools {

ToolContext::ToolContext(std::string name, mcom::FilePath root, std::vector<std::string> arguments,
                         std::ostream& out, std::ostream& err)
    : name_(std::move(name)),
      root_(std::move(root)),
      arguments_(std::move(arguments)),
      machine_(root_),
      out_(out),
      err_(err) {}

std::optional<std::string> ToolContext::Fault(const std::string& verb) {
  const Model model = machine_.Read();
  const auto fault = model.faults.find(name_ + "." + verb);
  if (fault == model.faults.end() || fault->second.empty()) return std::nullopt;
  return fault->second;
}

namespace {

// Whether standard output is a pipe that nobody reads any more.
bool OutputReaderGone() {
  pollfd output{STDOUT_FILENO, POLLOUT, 0};
  return ::poll(&output, 1, 0) == 1 && (output.revents & POLLERR) != 0;
}

}  // namespace

void ToolContext::HoldWhileFaultIs(const std::string& verb, const std::string& value) {
  while (StopRequested() == 0 && Fault(verb) == value && !OutputReaderGone()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int ToolContext::Fail(const std::string& message, int status) {
  err_ << name_ << ": " << message << std::endl;
  return status;
}

int ToolContext::UsageError(const std::string& usage) {
  err_ << "Usage: " << usage << std::endl;
  return 1;
}

std::string WithoutDevicePrefix(const std::string& argument) {
  constexpr std::string_view kDevice = "/dev/";
  if (argument.starts_with(kDevice)) return argument.substr(kDevice.size());
  return argument;
}

}  // namespace sim::tools
