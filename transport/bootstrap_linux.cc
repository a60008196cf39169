// The bootstrap name service of the message-port stand-in: a service is a listening socket
// at "/private/var/run/bootstrap/<name>" under the machine root. The launcher makes it and
// hands it to the service's process, whose check-in adopts it.

#if !defined(__linux__)
#error "bootstrap_linux.cc carries the bootstrap service over Linux sockets"
#endif

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
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

// The descriptor the launcher handed over for `name` in MACSIM_LAUNCHD_SOCKETS
// ("name1=FD1,name2=FD2"); -1 when the entry's descriptor is not a number; nothing when the
// process was not handed the name.
std::optional<int> HandedOverSocket(std::string_view name) {
  const char* sockets = std::getenv("MACSIM_LAUNCHD_SOCKETS");
  if (sockets == nullptr) return std::nullopt;
  std::string_view rest(sockets);
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string_view entry = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    const size_t equals = entry.rfind('=');
    if (equals == std::string_view::npos || entry.substr(0, equals) != name) continue;
    const std::string_view number = entry.substr(equals + 1);
    int fd = -1;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), fd);
    if (error != std::errc() || end != number.data() + number.size() || fd < 0) return -1;
    return fd;
  }
  return std::nullopt;
}

bool SelfCheckInAllowed() {
  const char* allowed = std::getenv("DORVANE_BOOTSTRAP_SELF_CHECK_IN");
  return allowed != nullptr && std::string_view(allowed) == "1";
}

// What a service's socket is: AF_UNIX, SOCK_SEQPACKET, listening.
bool IsListeningSocket(int fd) {
  const auto option = [fd](int name) {
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, SOL_SOCKET, name, &value, &length) == 0 ? value : -1;
  };
  return fd >= 0 && option(SO_DOMAIN) == AF_UNIX && option(SO_TYPE) == SOCK_SEQPACKET &&
         option(SO_ACCEPTCONN) == 1;
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

namespace mach_stand_in {

kern_return_t CreateServiceListener(const char* service_name, int* fd) {
  if (!IsValidName(service_name) || fd == nullptr) return BOOTSTRAP_NOT_PRIVILEGED;
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

  mcom::File socket(
      internal::NameableDescriptor(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)));
  if (!socket) return BOOTSTRAP_NO_MEMORY;
  // Credentials are asked for before the first connection can exist; accepted sockets
  // inherit the setting.
  if (!internal::AskForSenders(socket.get()) ||
      ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return BOOTSTRAP_NOT_PRIVILEGED;
  }
  // Any user may connect, as any process may look up a service; servers check their callers.
  ::chmod(address.sun_path, 0666);
  if (::listen(socket.get(), SOMAXCONN) != 0) return BOOTSTRAP_NOT_PRIVILEGED;
  *fd = socket.release();
  return KERN_SUCCESS;
}

}  // namespace mach_stand_in

kern_return_t bootstrap_check_in(mach_port_t /*bp*/, const char* service_name, mach_port_t* sp) {
  if (!IsValidName(service_name) || sp == nullptr) return BOOTSTRAP_NOT_PRIVILEGED;
  const std::optional<int> handed = HandedOverSocket(service_name);
  if (!handed) {
    if (!SelfCheckInAllowed()) return BOOTSTRAP_UNKNOWN_SERVICE;
    int fd = -1;
    if (const kern_return_t made = mach_stand_in::CreateServiceListener(service_name, &fd)) {
      return made;
    }
    return mach_stand_in::AdoptListeningSocket(fd, sp);
  }

  // The launcher gave the process one descriptor per name: once it is adopted, the name is
  // served here.
  static std::mutex mutex;
  static std::set<std::string, std::less<>> checked_in;
  const std::lock_guard lock(mutex);
  if (checked_in.contains(service_name)) return BOOTSTRAP_SERVICE_ACTIVE;
  if (!IsListeningSocket(*handed)) return BOOTSTRAP_NOT_PRIVILEGED;
  // The process's own children (the tools it runs) must not inherit the service.
  if (::fcntl(*handed, F_SETFD, FD_CLOEXEC) != 0) return BOOTSTRAP_NOT_PRIVILEGED;
  // Adopting takes the descriptor over even when it fails: the name cannot be checked in twice.
  checked_in.emplace(service_name);
  return mach_stand_in::AdoptListeningSocket(*handed, sp);
}
