// The bootstrap name service of the message-port stand-in: a service is a listening socket
// at "/private/var/run/bootstrap/<name>" under the machine root.

#if !defined(__linux__)
#error "bootstrap_linux.cc carries the bootstrap service over Linux sockets"
#endif

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "core/foundation/file.h"
#include "core/foundation/system_path.h"
#include "platform/posix/posix_error.h"
#include "transport/mach_stand_in_linux.h"
#include "transport/port_linux.h"

namespace {

constexpr char kBootstrapDirectory[] = "/private/var/run/bootstrap";

// A service name is one path component.
bool IsValidName(const char* name) {
  if (name == nullptr) return false;
  const std::string_view text(name);
  return !text.empty() && text != "." && text != ".." && text.size() < 256 &&
         text.find('/') == std::string_view::npos;
}

// The socket address of service `name`. Paths too long for a socket address are reached
// through a descriptor of their directory ("/proc/self/fd/N/name"), which `*directory`
// then holds open until the caller is done with the address.
bool AddressOf(const char* name, sockaddr_un* address, mcom::File* directory) {
  const mcom::FilePath folder = mcom::SystemPath(kBootstrapDirectory);
  std::string path = folder.Join(name).string();
  if (path.size() >= sizeof address->sun_path) {
    *directory = mcom::File(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!*directory) return false;
    path = "/proc/self/fd/" + std::to_string(directory->get()) + "/" + name;
    if (path.size() >= sizeof address->sun_path) return false;
  }
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

kern_return_t bootstrap_look_up(mach_port_t /*bp*/, const char* service_name, mach_port_t* sp) {
  if (!IsValidName(service_name) || sp == nullptr) return BOOTSTRAP_UNKNOWN_SERVICE;
  sockaddr_un address;
  mcom::File directory;
  if (!AddressOf(service_name, &address, &directory)) return BOOTSTRAP_UNKNOWN_SERVICE;
  mcom::File socket(mach_stand_in::internal::NameableDescriptor(
      ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)));
  if (!socket) return BOOTSTRAP_NO_MEMORY;
  const int buffer = mach_stand_in::internal::kSocketBufferSize;
  ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  const int connected = mcom::RetryOnInterrupt([&] {
    return ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  });
  if (connected != 0) {
    switch (errno) {
      case EACCES:
      case EPERM:
        return BOOTSTRAP_NOT_PRIVILEGED;
      default:  // ENOENT, ECONNREFUSED (nobody serves the name any more), ENOTDIR, ...
        return BOOTSTRAP_UNKNOWN_SERVICE;
    }
  }
  *sp = static_cast<mach_port_t>(socket.release());
  return KERN_SUCCESS;
}

kern_return_t bootstrap_check_in(mach_port_t /*bp*/, const char* service_name, mach_port_t* sp) {
  if (!IsValidName(service_name) || sp == nullptr) return BOOTSTRAP_NOT_PRIVILEGED;
  if (mcom::MakePath(mcom::SystemPath(kBootstrapDirectory))) return BOOTSTRAP_NOT_PRIVILEGED;
  sockaddr_un address;
  mcom::File directory;
  if (!AddressOf(service_name, &address, &directory)) return BOOTSTRAP_NOT_PRIVILEGED;

  // A socket that still accepts connections belongs to a running server of the name.
  mach_port_t probe = MACH_PORT_NULL;
  if (bootstrap_look_up(bootstrap_port, service_name, &probe) == KERN_SUCCESS) {
    ::close(static_cast<int>(probe));
    return BOOTSTRAP_SERVICE_ACTIVE;
  }
  ::unlink(address.sun_path);

  mcom::File socket(mach_stand_in::internal::NameableDescriptor(
      ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)));
  if (!socket) return BOOTSTRAP_NO_MEMORY;
  // Credentials are asked for before the first connection can exist; accepted sockets
  // inherit the setting.
  if (!mach_stand_in::internal::AskForSenders(socket.get()) ||
      ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return BOOTSTRAP_NOT_PRIVILEGED;
  }
  // Any user may connect, as any process may look up a service; servers check their callers.
  ::chmod(address.sun_path, 0666);
  if (::listen(socket.get(), SOMAXCONN) != 0) return BOOTSTRAP_NOT_PRIVILEGED;
  return mach_stand_in::AdoptListeningSocket(socket.release(), sp);
}
