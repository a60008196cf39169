#pragma once

// The part of the Mach message-port interface that the transport uses, for systems without
// Mach. Names, types, constants and byte layouts are the platform's (osfmk/mach/message.h,
// port.h, notify.h, mig_errors.h; servers/bootstrap.h), so the transport's code reads as it
// would on the Mac; the implementation (the *_linux.cc files of this folder) carries the
// semantics over AF_UNIX SOCK_SEQPACKET sockets:
//
// - A receive right is a set of sockets watched together by an epoll descriptor (which a
//   dispatch read source can watch); its name holds that descriptor's number and a
//   generation, so a stale name does not reach a later port. Each send right to the port
//   is a connected socket whose peer is one of the set; making a send right creates a socket
//   pair and keeps one end in the set. The kernel counts the descriptors of every send right,
//   so the receive side sees a hang-up when the last copy of one is gone anywhere; the number
//   of live peers is the port's send-right count, and its fall to zero is the no-senders
//   notification.
// - A send-once right is one end of a socket pair made for one message: one message, then
//   closed. Closed without a message, it turns into the send-once notification (id 71) on
//   its port.
// - Send and send-once rights are named by their descriptors; copying a right duplicates
//   the descriptor. Names are never 0.
// - One message is one datagram: the header and body exactly as given to mach_msg, then the
//   bytes of each out-of-line region in descriptor order. The rights travel as SCM_RIGHTS,
//   the reply right first, then each port descriptor's in descriptor order. The receiver
//   checks the datagram as the kernel would have built it (a malformed one is dropped, with
//   every descriptor that came with it) and rebuilds the message in the caller's buffer:
//   names are the received descriptors, out-of-line addresses its own copies, the header's
//   ports and dispositions swapped and rewritten as the kernel does, followed by the trailer,
//   whose audit token carries the sender's pid, uid and gid from SCM_CREDENTIALS.
// - A service name is a listening socket at "/private/var/run/bootstrap/<name>" under the
//   machine root; looking it up connects to it.
// - A file port is a duplicate of the descriptor; it travels like a send right.
//
// What is not carried: receive rights never travel in messages; a no-senders notification can
// only be asked for on the port itself (the one use the system makes of it); no previous
// notification right is ever handed back.

#if defined(__APPLE__)
#error "the Mac has the real message ports: include transport/mach.h"
#endif

#include <cstddef>
#include <cstdint>

using kern_return_t = int;
using mach_msg_return_t = kern_return_t;
using mach_error_t = kern_return_t;
using natural_t = uint32_t;
using integer_t = int32_t;
using boolean_t = int;
using mach_port_name_t = natural_t;
using mach_port_t = mach_port_name_t;
using ipc_space_t = mach_port_t;
using vm_map_t = mach_port_t;
using mach_port_right_t = natural_t;
using mach_port_delta_t = integer_t;
using mach_port_mscount_t = natural_t;
using mach_msg_bits_t = uint32_t;
using mach_msg_size_t = natural_t;
using mach_msg_id_t = integer_t;
using mach_msg_option_t = integer_t;
using mach_msg_timeout_t = natural_t;
using mach_msg_type_name_t = uint32_t;
using mach_msg_type_number_t = natural_t;
using mach_msg_descriptor_type_t = uint32_t;
using mach_msg_copy_options_t = uint32_t;
using mach_msg_trailer_type_t = uint32_t;
using mach_msg_trailer_size_t = uint32_t;
using mach_port_seqno_t = natural_t;
using mach_vm_address_t = uint64_t;
using mach_vm_size_t = uint64_t;
using vm_address_t = uintptr_t;
using vm_size_t = uintptr_t;

inline constexpr mach_port_t MACH_PORT_NULL = 0;

// Return codes (kern_return.h, message.h, mig_errors.h, bootstrap.h).
inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_INVALID_ADDRESS = 1;
inline constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
inline constexpr kern_return_t KERN_FAILURE = 5;
inline constexpr kern_return_t KERN_RESOURCE_SHORTAGE = 6;
inline constexpr kern_return_t KERN_INVALID_NAME = 15;
inline constexpr kern_return_t KERN_INVALID_RIGHT = 17;
inline constexpr kern_return_t KERN_INVALID_VALUE = 18;
inline constexpr kern_return_t KERN_INVALID_CAPABILITY = 20;
inline constexpr mach_msg_return_t MACH_MSG_SUCCESS = 0;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_DATA = 0x10000002;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_DEST = 0x10000003;
inline constexpr mach_msg_return_t MACH_SEND_TIMED_OUT = 0x10000004;
inline constexpr mach_msg_return_t MACH_SEND_MSG_TOO_SMALL = 0x10000008;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_REPLY = 0x10000009;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_RIGHT = 0x1000000a;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_MEMORY = 0x1000000c;
inline constexpr mach_msg_return_t MACH_SEND_NO_BUFFER = 0x1000000d;
inline constexpr mach_msg_return_t MACH_SEND_TOO_LARGE = 0x1000000e;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_TYPE = 0x1000000f;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_HEADER = 0x10000010;
inline constexpr mach_msg_return_t MACH_RCV_INVALID_NAME = 0x10004002;
inline constexpr mach_msg_return_t MACH_RCV_TIMED_OUT = 0x10004003;
inline constexpr mach_msg_return_t MACH_RCV_TOO_LARGE = 0x10004004;
inline constexpr mach_msg_return_t MACH_RCV_INVALID_DATA = 0x10004008;
inline constexpr mach_msg_return_t MACH_RCV_PORT_DIED = 0x10004009;
inline constexpr mach_msg_return_t MACH_RCV_BODY_ERROR = 0x1000400c;
inline constexpr kern_return_t MIG_TYPE_ERROR = -300;
inline constexpr kern_return_t MIG_REPLY_MISMATCH = -301;
inline constexpr kern_return_t BOOTSTRAP_NOT_PRIVILEGED = 1100;
inline constexpr kern_return_t BOOTSTRAP_NAME_IN_USE = 1101;
inline constexpr kern_return_t BOOTSTRAP_UNKNOWN_SERVICE = 1102;
inline constexpr kern_return_t BOOTSTRAP_SERVICE_ACTIVE = 1103;
inline constexpr kern_return_t BOOTSTRAP_NO_MEMORY = 1105;

// Rights and dispositions.
inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND = 0;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_RECEIVE = 1;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND_ONCE = 2;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_RECEIVE = 16;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND = 17;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND_ONCE = 18;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_COPY_SEND = 19;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND = 20;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND_ONCE = 21;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_PORT_RECEIVE = MACH_MSG_TYPE_MOVE_RECEIVE;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_PORT_SEND = MACH_MSG_TYPE_MOVE_SEND;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_PORT_SEND_ONCE = MACH_MSG_TYPE_MOVE_SEND_ONCE;

// Header bits.
inline constexpr mach_msg_bits_t MACH_MSGH_BITS_REMOTE_MASK = 0x0000001f;
inline constexpr mach_msg_bits_t MACH_MSGH_BITS_LOCAL_MASK = 0x00001f00;
inline constexpr mach_msg_bits_t MACH_MSGH_BITS_VOUCHER_MASK = 0x001f0000;
inline constexpr mach_msg_bits_t MACH_MSGH_BITS_COMPLEX = 0x80000000U;
constexpr mach_msg_bits_t MACH_MSGH_BITS(mach_msg_bits_t remote, mach_msg_bits_t local) {
  return remote | (local << 8);
}
constexpr mach_msg_bits_t MACH_MSGH_BITS_REMOTE(mach_msg_bits_t bits) {
  return bits & MACH_MSGH_BITS_REMOTE_MASK;
}
constexpr mach_msg_bits_t MACH_MSGH_BITS_LOCAL(mach_msg_bits_t bits) {
  return (bits & MACH_MSGH_BITS_LOCAL_MASK) >> 8;
}
constexpr mach_msg_bits_t MACH_MSGH_BITS_VOUCHER(mach_msg_bits_t bits) {
  return (bits & MACH_MSGH_BITS_VOUCHER_MASK) >> 16;
}

// Descriptors.
inline constexpr mach_msg_descriptor_type_t MACH_MSG_PORT_DESCRIPTOR = 0;
inline constexpr mach_msg_descriptor_type_t MACH_MSG_OOL_DESCRIPTOR = 1;
inline constexpr mach_msg_copy_options_t MACH_MSG_PHYSICAL_COPY = 0;
inline constexpr mach_msg_copy_options_t MACH_MSG_VIRTUAL_COPY = 1;

// mach_msg options.
inline constexpr mach_msg_option_t MACH_MSG_OPTION_NONE = 0;
inline constexpr mach_msg_option_t MACH_SEND_MSG = 0x00000001;
inline constexpr mach_msg_option_t MACH_RCV_MSG = 0x00000002;
inline constexpr mach_msg_option_t MACH_SEND_TIMEOUT = 0x00000010;
inline constexpr mach_msg_option_t MACH_RCV_TIMEOUT = 0x00000100;
inline constexpr mach_msg_timeout_t MACH_MSG_TIMEOUT_NONE = 0;
inline constexpr mach_msg_trailer_type_t MACH_MSG_TRAILER_FORMAT_0 = 0;
inline constexpr int MACH_RCV_TRAILER_NULL = 0;
inline constexpr int MACH_RCV_TRAILER_SEQNO = 1;
inline constexpr int MACH_RCV_TRAILER_SENDER = 2;
inline constexpr int MACH_RCV_TRAILER_AUDIT = 3;
constexpr mach_msg_option_t MACH_RCV_TRAILER_TYPE(int type) { return (type & 0xf) << 28; }
constexpr mach_msg_option_t MACH_RCV_TRAILER_ELEMENTS(int elements) {
  return (elements & 0xf) << 24;
}

// Notifications.
inline constexpr mach_msg_id_t MACH_NOTIFY_NO_SENDERS = 70;
inline constexpr mach_msg_id_t MACH_NOTIFY_SEND_ONCE = 71;

inline constexpr int VM_FLAGS_ANYWHERE = 0x0001;

#pragma pack(push, 4)

struct mach_msg_header_t {
  mach_msg_bits_t msgh_bits;
  mach_msg_size_t msgh_size;
  mach_port_t msgh_remote_port;
  mach_port_t msgh_local_port;
  mach_port_name_t msgh_voucher_port;
  mach_msg_id_t msgh_id;
};

struct mach_msg_body_t {
  mach_msg_size_t msgh_descriptor_count;
};

struct mach_msg_port_descriptor_t {
  mach_port_t name;
  mach_msg_size_t pad1;
  unsigned int pad2 : 16;
  mach_msg_type_name_t disposition : 8;
  mach_msg_descriptor_type_t type : 8;
};

struct mach_msg_ool_descriptor_t {
  void* address;
  boolean_t deallocate : 8;
  mach_msg_copy_options_t copy : 8;
  unsigned int pad1 : 8;
  mach_msg_descriptor_type_t type : 8;
  mach_msg_size_t size;
};

// The part every descriptor shares: its type in the last byte of its first 12.
struct mach_msg_type_descriptor_t {
  natural_t pad1;
  mach_msg_size_t pad2;
  unsigned int pad3 : 24;
  mach_msg_descriptor_type_t type : 8;
};

struct security_token_t {
  unsigned int val[2];
};

struct audit_token_t {
  unsigned int val[8];
};

struct mach_msg_trailer_t {
  mach_msg_trailer_type_t msgh_trailer_type;
  mach_msg_trailer_size_t msgh_trailer_size;
};

struct mach_msg_audit_trailer_t {
  mach_msg_trailer_type_t msgh_trailer_type;
  mach_msg_trailer_size_t msgh_trailer_size;
  mach_port_seqno_t msgh_seqno;
  security_token_t msgh_sender;
  audit_token_t msgh_audit;
};

struct NDR_record_t {
  unsigned char mig_vers;
  unsigned char if_vers;
  unsigned char reserved1;
  unsigned char mig_encoding;
  unsigned char int_rep;
  unsigned char char_rep;
  unsigned char float_rep;
  unsigned char reserved2;
};

struct mach_no_senders_notification_t {
  mach_msg_header_t not_header;
  NDR_record_t NDR;
  mach_port_mscount_t not_count;
};

#pragma pack(pop)

static_assert(sizeof(mach_msg_header_t) == 24);
static_assert(sizeof(mach_msg_port_descriptor_t) == 12);
static_assert(sizeof(mach_msg_ool_descriptor_t) == 16);
static_assert(sizeof(mach_msg_type_descriptor_t) == 12);
static_assert(sizeof(mach_msg_audit_trailer_t) == 52);
static_assert(offsetof(mach_msg_audit_trailer_t, msgh_audit) == 20);
static_assert(sizeof(mach_no_senders_notification_t) == 36);

// The one task there is: the calling process.
mach_port_t mach_task_self();

// Sends, receives, or sends and then receives one message. Sending consumes the message's
// rights and the regions marked for deallocation whatever the result, except for
// MACH_SEND_INVALID_DEST, after which the caller still owns everything it put in the
// message. Receiving waits for `timeout` milliseconds with MACH_RCV_TIMEOUT, otherwise without
// limit; a message that does not fit `rcv_size` (with the asked trailer) is destroyed and
// reported as MACH_RCV_TOO_LARGE; a destroyed receive right ends a waiting receive with
// MACH_RCV_PORT_DIED. `notify` is ignored.
mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option,
                           mach_msg_size_t send_size, mach_msg_size_t rcv_size,
                           mach_port_name_t rcv_name, mach_msg_timeout_t timeout,
                           mach_port_name_t notify);

// Releases every right and out-of-line region named by a message: the remote and local
// ports by their dispositions, then each descriptor.
void mach_msg_destroy(mach_msg_header_t* msg);

// Only MACH_PORT_RIGHT_RECEIVE can be allocated.
kern_return_t mach_port_allocate(ipc_space_t task, mach_port_right_t right, mach_port_name_t* name);
// A delta of -1 releases the right (any other delta is KERN_INVALID_VALUE). Releasing a receive
// right closes every socket of the port: its senders' sends fail from then on, and a receive
// waiting on it ends with MACH_RCV_PORT_DIED.
kern_return_t mach_port_mod_refs(ipc_space_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta);
// Releases a send or send-once right.
kern_return_t mach_port_deallocate(ipc_space_t task, mach_port_name_t name);
// MACH_NOTIFY_NO_SENDERS on `name` with notify = `name` and MACH_MSG_TYPE_MAKE_SEND_ONCE is the
// only request carried; it replaces an earlier one, fires at once when the port has no
// senders and `sync` is at most its make-send count, and `*previous` is always
// MACH_PORT_NULL.
kern_return_t mach_port_request_notification(ipc_space_t task, mach_port_name_t name,
                                             mach_msg_id_t msgid, mach_port_mscount_t sync,
                                             mach_port_t notify, mach_msg_type_name_t notify_poly,
                                             mach_port_t* previous);

// Regions of memory that travel out of line.
kern_return_t mach_vm_allocate(vm_map_t target, mach_vm_address_t* address, mach_vm_size_t size,
                               int flags);
kern_return_t vm_deallocate(vm_map_t target, vm_address_t address, vm_size_t size);

// The bootstrap name service under the machine root. A look-up connects to the service's
// socket: BOOTSTRAP_UNKNOWN_SERVICE when nobody listens there.
//
// A check-in gives the receive right of a service that the launcher which started the
// process handed to it: MACSIM_LAUNCHD_SOCKETS="name1=FD1,name2=FD2" names the listening
// sockets the process inherited, one per service of its job. As on the Mac, a name the
// process was not handed is refused with BOOTSTRAP_UNKNOWN_SERVICE, and a second check-in
// of a name with BOOTSTRAP_SERVICE_ACTIVE; a handed descriptor that is not a listening
// AF_UNIX SOCK_SEQPACKET socket gives BOOTSTRAP_NOT_PRIVILEGED. The adopted descriptor is
// made close-on-exec. Thread-safe.
//
// Test facility: with DORVANE_BOOTSTRAP_SELF_CHECK_IN=1 in the environment, a name that was
// not handed over is served by a listening socket the process makes itself (as
// CreateServiceListener below), BOOTSTRAP_SERVICE_ACTIVE while another one still accepts
// connections. The transport's own tests and their child processes run servers that way,
// without a launcher; nothing else may set it.
extern mach_port_t bootstrap_port;
kern_return_t bootstrap_look_up(mach_port_t bp, const char* service_name, mach_port_t* sp);
kern_return_t bootstrap_check_in(mach_port_t bp, const char* service_name, mach_port_t* sp);

// File ports: 0 and the port, or -1 with errno.
int fileport_makeport(int fd, mach_port_t* port);
int fileport_makefd(mach_port_t port);

// The calling thread's reply port, made on first use; put does nothing, dealloc destroys it
// so that the next get makes a fresh one.
mach_port_t mig_get_reply_port();
void mig_put_reply_port(mach_port_t reply_port);
void mig_dealloc_reply_port(mach_port_t reply_port);

// What only the stand-in offers, for its own tests, fuzzers and benchmarks and for the
// launcher's hand-over of a service socket.
namespace mach_stand_in {

// A send right to the receive right `receive`, as a make-send in a message would create it.
kern_return_t MakeSendRight(mach_port_name_t receive, mach_port_name_t* send);

// A receive right served by the listening socket `fd` (taken over, also on failure): a
// service whose socket was made by somebody else. SO_PASSCRED must already be set on it.
kern_return_t AdoptListeningSocket(int fd, mach_port_name_t* receive);

// A new listening socket at the place of service `service_name` under the machine root, made
// as every service socket is made (credentials asked for before any connection can exist,
// mode 0666, backlog SOMAXCONN): what the launcher makes for each service of its jobs and
// hands over. The socket of a server that is gone is replaced; BOOTSTRAP_SERVICE_ACTIVE when
// the one there still accepts connections, BOOTSTRAP_NOT_PRIVILEGED for an invalid name or
// a socket that cannot be made there. `*fd` is close-on-exec and owned by the caller.
kern_return_t CreateServiceListener(const char* service_name, int* fd);

// The descriptor that is readable whenever the receive right `receive` has something to
// receive (for a dispatch read source), or -1 for a name that is no receive right. It stays
// valid as long as the right exists.
int ReceiveDescriptor(mach_port_name_t receive);

// The out-of-line regions alive in this process: allocated with mach_vm_allocate or
// received in a message, and not yet released with vm_deallocate.
size_t OutstandingRegions();

// For tests: the next `count` region allocations (mach_vm_allocate, or the copy of a received
// region) fail as if memory had run out.
void FailRegionAllocationsForTesting(size_t count);

}  // namespace mach_stand_in
