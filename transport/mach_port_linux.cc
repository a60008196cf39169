// Port rights, regions, file ports and reply ports of the message-port stand-in.

#if !defined(__linux__)
#error "mach_port_linux.cc carries message ports over Linux sockets"
#endif

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "transport/mach_stand_in_linux.h"
#include "transport/port_linux.h"

namespace {

using mach_stand_in::internal::FindPort;
using mach_stand_in::internal::InsertPort;
using mach_stand_in::internal::Port;
using mach_stand_in::internal::RemovePort;
using mach_stand_in::internal::RightKind;

constexpr mach_port_t kTaskSelf = 0x103;

bool IsDescriptorName(mach_port_name_t name) {
  return name != MACH_PORT_NULL && name <= INT_MAX &&
         ::fcntl(static_cast<int>(name), F_GETFD) != -1;
}

// The thread's reply port; destroyed with the thread when it still exists then.
struct ReplyPort {
  mach_port_t name = MACH_PORT_NULL;
  ~ReplyPort() {
    if (name != MACH_PORT_NULL) mach_port_mod_refs(kTaskSelf, name, MACH_PORT_RIGHT_RECEIVE, -1);
  }
};
thread_local ReplyPort reply_port;

}  // namespace

mach_port_t bootstrap_port = 0x107;

mach_port_t mach_task_self() { return kTaskSelf; }

kern_return_t mach_port_allocate(ipc_space_t task, mach_port_right_t right,
                                 mach_port_name_t* name) {
  if (task != kTaskSelf || name == nullptr) return KERN_INVALID_ARGUMENT;
  if (right != MACH_PORT_RIGHT_RECEIVE) return KERN_INVALID_VALUE;
  kern_return_t result = KERN_SUCCESS;
  std::shared_ptr<Port> port = Port::Create(&result);
  if (port == nullptr) return result;
  *name = port->name();
  InsertPort(std::move(port));
  return KERN_SUCCESS;
}

kern_return_t mach_port_mod_refs(ipc_space_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta) {
  if (task != kTaskSelf) return KERN_INVALID_ARGUMENT;
  if (delta != -1) return KERN_INVALID_VALUE;
  switch (right) {
    case MACH_PORT_RIGHT_RECEIVE: {
      const std::shared_ptr<Port> port = RemovePort(name);
      if (port == nullptr) return KERN_INVALID_RIGHT;
      port->Destroy();
      return KERN_SUCCESS;
    }
    case MACH_PORT_RIGHT_SEND:
    case MACH_PORT_RIGHT_SEND_ONCE:
      return mach_port_deallocate(task, name);
    default:
      return KERN_INVALID_VALUE;
  }
}

kern_return_t mach_port_deallocate(ipc_space_t task, mach_port_name_t name) {
  if (task != kTaskSelf) return KERN_INVALID_ARGUMENT;
  if (name == MACH_PORT_NULL) return KERN_SUCCESS;
  if (FindPort(name) != nullptr) return KERN_INVALID_RIGHT;  // a receive right is not a send right
  if (!IsDescriptorName(name)) return KERN_INVALID_NAME;
  ::close(static_cast<int>(name));
  return KERN_SUCCESS;
}

kern_return_t mach_port_request_notification(ipc_space_t task, mach_port_name_t name,
                                             mach_msg_id_t msgid, mach_port_mscount_t sync,
                                             mach_port_t notify, mach_msg_type_name_t notify_poly,
                                             mach_port_t* previous) {
  if (task != kTaskSelf || previous == nullptr) return KERN_INVALID_ARGUMENT;
  if (msgid != MACH_NOTIFY_NO_SENDERS) return KERN_INVALID_VALUE;
  if (notify != name || notify_poly != MACH_MSG_TYPE_MAKE_SEND_ONCE) {
    return KERN_INVALID_CAPABILITY;
  }
  const std::shared_ptr<Port> port = FindPort(name);
  if (port == nullptr) return KERN_INVALID_RIGHT;
  port->RequestNoSenders(sync);
  *previous = MACH_PORT_NULL;
  return KERN_SUCCESS;
}

kern_return_t mach_vm_allocate(vm_map_t target, mach_vm_address_t* address, mach_vm_size_t size,
                               int /*flags*/) {
  if (target != kTaskSelf || address == nullptr) return KERN_INVALID_ARGUMENT;
  if (size == 0) {
    *address = 0;
    return KERN_SUCCESS;
  }
  void* region = mach_stand_in::internal::AllocateRegion(size);
  if (region == nullptr) return KERN_RESOURCE_SHORTAGE;
  *address = reinterpret_cast<mach_vm_address_t>(region);
  return KERN_SUCCESS;
}

kern_return_t vm_deallocate(vm_map_t target, vm_address_t address, vm_size_t /*size*/) {
  if (target != kTaskSelf) return KERN_INVALID_ARGUMENT;
  mach_stand_in::internal::FreeRegion(reinterpret_cast<void*>(address));
  return KERN_SUCCESS;
}

int fileport_makeport(int fd, mach_port_t* port) {
  if (port == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) return -1;
  *port = static_cast<mach_port_t>(copy);
  return 0;
}

int fileport_makefd(mach_port_t port) {
  if (port == MACH_PORT_NULL || port > INT_MAX) {
    errno = EBADF;
    return -1;
  }
  return ::fcntl(static_cast<int>(port), F_DUPFD_CLOEXEC, 3);
}

mach_port_t mig_get_reply_port() {
  if (reply_port.name == MACH_PORT_NULL) {
    mach_port_name_t name = MACH_PORT_NULL;
    if (mach_port_allocate(kTaskSelf, MACH_PORT_RIGHT_RECEIVE, &name) == KERN_SUCCESS) {
      reply_port.name = name;
    }
  }
  return reply_port.name;
}

void mig_put_reply_port(mach_port_t /*reply_port*/) {}

void mig_dealloc_reply_port(mach_port_t port) {
  if (port == MACH_PORT_NULL || port != reply_port.name) return;
  reply_port.name = MACH_PORT_NULL;
  mach_port_mod_refs(kTaskSelf, port, MACH_PORT_RIGHT_RECEIVE, -1);
}

namespace mach_stand_in {

kern_return_t MakeSendRight(mach_port_name_t receive, mach_port_name_t* send) {
  const std::shared_ptr<Port> port = FindPort(receive);
  if (port == nullptr) return KERN_INVALID_RIGHT;
  int kept = -1;
  int given = -1;
  if (const kern_return_t result = port->MakeRightPair(&kept, &given)) return result;
  port->AddPeer(kept, RightKind::kSend);
  *send = static_cast<mach_port_name_t>(given);
  return KERN_SUCCESS;
}

kern_return_t AdoptListeningSocket(int fd, mach_port_name_t* receive) {
  kern_return_t result = KERN_SUCCESS;
  std::shared_ptr<Port> port = Port::Create(&result);
  if (port == nullptr) {
    ::close(fd);
    return result;
  }
  if (const kern_return_t set = port->SetListener(fd)) return set;
  *receive = port->name();
  InsertPort(std::move(port));
  return KERN_SUCCESS;
}

}  // namespace mach_stand_in
