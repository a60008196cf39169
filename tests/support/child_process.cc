#include "tests/support/child_process.h"

#include <unistd.h>

#include <climits>
#include <cstring>
#include <map>

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

}  // namespace testing
