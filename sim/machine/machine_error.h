#pragma once

#include <stdexcept>
#include <string>

namespace sim {

// The failure of a machine operation: a bad root, a corrupt state file, an unknown disk, a
// request the machine cannot carry out. The message is one line written for the person or
// tool that asked ("no such disk: disk9"), so command-line tools print it as it is.
//
// Every operation of this library that can fail for such a reason throws MachineError;
// refusals that the mount service reports with a status (mounting.h) are return values.
class MachineError : public std::runtime_error {
 public:
  explicit MachineError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace sim
