#include "sim/tools/tool_test_run.h"

#include <sys/mman.h>
#include <unistd.h>

#include <sstream>

#include "core/foundation/file.h"
#include "core/foundation/process.h"
#include "core/foundation/system_path.h"

namespace sim::testing {
namespace {

// The whole content of an in-memory file that a child wrote to.
std::string ReadBack(const mcom::File& file) {
  std::string text;
  char buffer[4096];
  off_t offset = 0;
  while (true) {
    const ssize_t got = ::pread(file.get(), buffer, sizeof buffer, offset);
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
    offset += got;
  }
  return text;
}

}  // namespace

ProgramRun RunProgram(const mcom::FilePath& program, const std::vector<std::string>& arguments) {
  ProgramRun run;
  // The streams go to in-memory files rather than pipes: nothing has to be read while the
  // child runs, so no child can block on a full pipe.
  const mcom::File out(::memfd_create("stdout", MFD_CLOEXEC));
  const mcom::File err(::memfd_create("stderr", MFD_CLOEXEC));
  if (!out || !err) {
    run.err = "cannot make in-memory files";
    return run;
  }
  mcom::FileActions actions;
  if (actions.AddDuplicate(out.get(), 1) || actions.AddDuplicate(err.get(), 2)) {
    run.err = "cannot redirect the child's streams";
    return run;
  }
  const mcom::Result<pid_t> pid = mcom::SpawnProcess(program.c_str(), arguments, actions);
  if (!pid) {
    run.err = "cannot start " + program.string() + ": " + pid.error().message();
    return run;
  }
  run.status = mcom::WaitForProcess(*pid).value();
  run.out = ReadBack(out);
  run.err = ReadBack(err);
  return run;
}

ProgramRun RunTool(const char* mac_path, const std::vector<std::string>& arguments) {
  return RunProgram(mcom::SystemPath(mac_path), arguments);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace sim::testing
