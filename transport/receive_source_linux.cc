// The receive source of a port of the message-port stand-in: a read source on the epoll
// descriptor behind the right.

#if !defined(__linux__)
#error "receive_source_linux.cc watches the message ports of the Linux stand-in"
#endif

#include "transport/receive_source.h"

#include <cerrno>

namespace mach {

mcom::Result<mcom::DispatchSource> CreateReceiveSource(const PortRight<Receive>& port,
                                                       const mcom::DispatchQueue& queue) {
  const int descriptor = mach_stand_in::ReceiveDescriptor(port.get());
  if (descriptor < 0) return std::error_code(EBADF, std::generic_category());
  return mcom::CreatePortReceiveSource(descriptor, queue);
}

}  // namespace mach
