#include "tests/support/child_process.h"

#include <grp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <map>

#include "core/foundation/file.h"
#include "core/foundation/process.h"

namespace testing {
namespace {

constexpr char kChildFlag[] = "--dorvane-test-child=";

std::map<std::string, ChildFunction>& Children() {
  static std::map<std::string, ChildFunction> children;
  return children;
}

}  // namespace

bool RegisterChild(const char* name, ChildFunction function) {
  Children()[name] = function;
  return true;
}

int RunChildIfRequested(int argc, char** argv) {
  if (argc < 2 || std::strncmp(argv[1], kChildFlag, sizeof kChildFlag - 1) != 0) return -1;
  const std::string name = argv[1] + sizeof kChildFlag - 1;
  const auto child = Children().find(name);
  if (child == Children().end()) return 127;
  return child->second(std::vector<std::string>(argv + 2, argv + argc));
}

std::string TestBinary() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length < 0) return {};
  return std::string(path, static_cast<size_t>(length));
}

std::vector<std::string> ChildArguments(const std::string& name,
                                        const std::vector<std::string>& extra) {
  std::vector<std::string> arguments{kChildFlag + name};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return arguments;
}

ChildRun RunCapturing(const std::string& program, const std::vector<std::string>& arguments) {
  mcom::Result<mcom::Pipe> output = mcom::CreatePipe();
  mcom::Result<mcom::Pipe> error = mcom::CreatePipe();
  if (!output || !error) return {output ? error.error() : output.error(), {}, {}};
  mcom::FileActions actions;
  std::error_code failed = actions.AddDuplicate(output->write.get(), STDOUT_FILENO);
  if (!failed) failed = actions.AddDuplicate(error->write.get(), STDERR_FILENO);
  if (failed) return {failed, {}, {}};
  const mcom::Result<pid_t> pid = mcom::SpawnProcess(program.c_str(), arguments, actions);
  output->write = mcom::File();
  error->write = mcom::File();
  if (!pid) return {pid.error(), {}, {}};
  const mcom::Result<std::vector<char>> out = output->read.ReadAll();
  const mcom::Result<std::vector<char>> err = error->read.ReadAll();
  ChildRun run{mcom::WaitForProcess(*pid), {}, {}};
  if (out) run.output.assign(out->begin(), out->end());
  if (err) run.error.assign(err->begin(), err->end());
  return run;
}

bool BecomeNobody() {
  // Changing the user makes the process undumpable, which would hide its own /proc/self
  // from it; an ordinary unprivileged process can see it.
  return ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 &&
         ::prctl(PR_SET_DUMPABLE, 1) == 0;
}

int RunUnprivileged(const std::function<int()>& body) {
  if (::geteuid() != 0) return body();
  const pid_t child = ::fork();
  if (child == 0) {
    if (!BecomeNobody()) ::_exit(126);
    ::_exit(body());
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace testing
