// WriteRecoveryImage: the Base System image written by the disk-image library.

#include <system_error>

#include "sim/image/base_system_image.h"
#include "sim/machine/machine_error.h"
#include "sim/machine/recovery_image.h"

namespace sim {

void WriteRecoveryImage(const mcom::FilePath& destination, const mcom::FilePath& folder) {
  try {
    MakeBaseSystemImage(destination, folder);
  } catch (const std::system_error& error) {
    throw MachineError("cannot write the recovery image " + destination.string() + ": " +
                       error.what());
  }
}

}  // namespace sim
