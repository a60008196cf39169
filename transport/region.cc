#include "transport/region.h"

#include "transport/mach.h"

namespace mach {

void Region::reset() {
  const uint64_t address = std::exchange(address_, 0);
  const size_t size = std::exchange(size_, 0);
  if (address != 0) {
    vm_deallocate(mach_task_self(), static_cast<vm_address_t>(address), size);
  }
}

}  // namespace mach
