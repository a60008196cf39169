// simtool: every simulated disk tool in one executable, chosen by the name it was started
// under (see tool_context.h).

#include <unistd.h>

#include <iostream>
#include <map>
#include <string>

#include "core/foundation/log.h"
#include "core/foundation/system_path.h"
#include "platform/libc.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/machine_layout.h"
#include "sim/tools/tools.h"

namespace {

using sim::tools::ToolContext;
using ToolFunction = int (*)(ToolContext&);

const std::map<std::string, ToolFunction>& Tools() {
  static const std::map<std::string, ToolFunction> tools{
      {"asr", sim::tools::RunAsr},           {"bless", sim::tools::RunBless},
      {"diskutil", sim::tools::RunDiskutil}, {"ditto", sim::tools::RunDitto},
      {"dmesg", sim::tools::RunDmesg},       {"hdiutil", sim::tools::RunHdiutil},
      {"ioreg", sim::tools::RunIoreg},       {"log", sim::tools::RunLog},
      {"mount", sim::tools::RunMount},       {"reboot", sim::tools::RunReboot},
      {"sw_vers", sim::tools::RunSwVers},
  };
  return tools;
}

// The machine root of a tool started from its installed path: the executable path without
// the tool's macOS path ("ROOT/usr/bin/hdiutil" → "ROOT").
std::optional<mcom::FilePath> RootFromExecutable(const std::string& executable, std::string* tool) {
  for (const std::string& mac_path : sim::ToolPaths()) {
    if (executable.size() > mac_path.size() && executable.ends_with(mac_path)) {
      *tool = mcom::FilePath(mac_path).LastComponent();
      return mcom::FilePath(executable.substr(0, executable.size() - mac_path.size()));
    }
  }
  return std::nullopt;
}

int Usage() {
  std::cerr << "usage: simtool --root ROOT TOOL [ARGUMENTS...]\n"
               "       (or run a tool installed in a machine root)\n"
               "tools:";
  for (const auto& [name, function] : Tools()) std::cerr << ' ' << name;
  std::cerr << std::endl;
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string executable;
  std::string tool;
  std::optional<mcom::FilePath> root;
  if (!platform::ExecutablePathOfProcess(getpid(), &executable)) {
    root = RootFromExecutable(executable, &tool);
  }
  if (!root) {
    if (arguments.size() < 3 || arguments[0] != "--root") return Usage();
    root = mcom::FilePath(arguments[1]);
    tool = arguments[2];
    arguments.erase(arguments.begin(), arguments.begin() + 3);
  }
  const auto function = Tools().find(tool);
  if (function == Tools().end()) return Usage();

  mcom::SetSystemRoot(*root);
  try {
    ToolContext context(tool, *root, std::move(arguments), std::cout, std::cerr);
    return function->second(context);
  } catch (const sim::MachineError& error) {
    std::cerr << tool << ": " << error.what() << std::endl;
    return 1;
  } catch (const std::exception& error) {
    std::cerr << tool << ": " << error.what() << std::endl;
    return 1;
  }
}
