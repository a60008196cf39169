#include "transport/port_right.h"

#include "core/foundation/error_category.h"

namespace mach {

mcom::Result<PortRight<Receive>> AllocateReceiveRight() {
  mach_port_t name = MACH_PORT_NULL;
  const kern_return_t result = mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &name);
  if (result != KERN_SUCCESS) return std::error_code(result, error_category());
  return PortRight<Receive>(name);
}

}  // namespace mach
