#pragma once

// What every simulated disk tool starts from: which tool it is, the machine it belongs to,
// its arguments and where it writes.
//
// The tools are one multi-call executable (simtool) installed under each tool's macOS path in
// a machine root ("ROOT/usr/bin/hdiutil"). A tool finds its machine from its own path; the
// system starts tools with an empty environment, so nothing else could tell it. For work by
// hand, "simtool --root ROOT TOOL ARGUMENTS..." runs a tool on the machine at ROOT.
//
// Conventions every tool keeps, like the real ones: results on standard output, errors on
// standard error, exit status 0 only on success; an argument list the tool does not know gets
// a usage message and a non-zero status, never a silent success.

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "core/foundation/file_path.h"
#include "sim/machine/machine.h"

namespace sim::tools {

class ToolContext {
 public:
  ToolContext(std::string name, mcom::FilePath root, std::vector<std::string> arguments,
              std::ostream& out, std::ostream& err);

  // The tool's name ("hdiutil") and its arguments after the program path.
  const std::string& name() const { return name_; }
  const std::vector<std::string>& arguments() const { return arguments_; }

  const mcom::FilePath& root() const { return root_; }
  Machine& machine() { return machine_; }

  std::ostream& out() { return out_; }
  std::ostream& err() { return err_; }

  // The value of the fault-injection hook "<tool>.<verb>" (macsim set ROOT fault.<tool>.<verb>
  // VALUE), or nothing when it is not set.
  std::optional<std::string> Fault(const std::string& verb);

  // Waits while the hook "<tool>.<verb>" still holds `value` (a "hold-..." point, which a
  // test clears once it has done what it needed the tool held for), until the tool is told
  // to stop (stop_request.h), or until nobody reads its standard output any more: a real tool
  // busy that long would still be writing progress, and would die of SIGPIPE at its next
  // line. Polls the machine every 10 ms.
  void HoldWhileFaultIs(const std::string& verb, const std::string& value);

  // Writes "<tool>: <message>" to standard error and returns `status`, for
  // `return context.Fail("...")`.
  int Fail(const std::string& message, int status = 1);

  // Writes the tool's usage line for an argument list it does not accept and returns 1.
  int UsageError(const std::string& usage);

 private:
  std::string name_;
  mcom::FilePath root_;
  std::vector<std::string> arguments_;
  Machine machine_;
  std::ostream& out_;
  std::ostream& err_;
};

// A "/dev/diskN..." or "diskN..." argument without the "/dev/" prefix.
std::string WithoutDevicePrefix(const std::string& argument);

}  // namespace sim::tools
