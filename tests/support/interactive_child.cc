#include "tests/support/interactive_child.h"

#include <poll.h>
#include <signal.h>

#include <optional>

#include "core/foundation/process.h"
#include "tests/support/child_process.h"

namespace testing {

InteractiveChild::InteractiveChild(const std::string& mode,
                                   const std::vector<std::string>& arguments)
    : InteractiveChild(TestBinary(), mode, arguments) {}

InteractiveChild::InteractiveChild(const std::string& program, const std::string& mode,
                                   const std::vector<std::string>& arguments) {
  mcom::Result<mcom::Pipe> input = mcom::CreatePipe();
  mcom::Result<mcom::Pipe> output = mcom::CreatePipe();
  mcom::Result<mcom::Pipe> error = mcom::CreatePipe();
  if (!input || !output || !error) return;
  mcom::FileActions actions;
  actions.AddDuplicate(input->read.get(), 0);
  actions.AddDuplicate(output->write.get(), 1);
  actions.AddDuplicate(error->write.get(), 2);
  mcom::Result<pid_t> pid =
      mcom::SpawnProcess(program.c_str(), ChildArguments(mode, arguments), actions);
  if (!pid) return;
  child_ = mcom::ChildProcess(*pid, mcom::ChildProcess::WhenDestroyed::kKill);
  input_ = std::move(input->write);
  output_ = std::move(output->read);
  error_ = std::move(error->read);
}

std::string InteractiveChild::ReadLine(std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const size_t newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !output_) return {};
    pollfd readable{output_.get(), POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[256];
    mcom::Result<size_t> read = output_.Read(chunk, sizeof chunk);
    if (!read || *read == 0) return {};
    buffered_.append(chunk, *read);
  }
}

std::string InteractiveChild::ReadStandardError() {
  if (!error_) return {};
  mcom::Result<std::vector<char>> all = error_.ReadAll();
  return all ? std::string(all->begin(), all->end()) : std::string();
}

void InteractiveChild::WriteLine(const std::string& line) {
  const std::string text = line + "\n";
  (void)input_.WriteAll(text.data(), text.size());
}

void InteractiveChild::CloseInput() { (void)input_.Close(); }

int InteractiveChild::Wait(std::chrono::seconds timeout) {
  if (!child_) return -1;
  const std::optional<std::error_code> ended = child_.WaitFor(timeout);
  if (!ended) {
    (void)child_.Signal(SIGKILL);
    (void)child_.Wait();
    return -1;
  }
  return ended->value();
}

}  // namespace testing
