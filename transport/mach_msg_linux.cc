// mach_msg and mach_msg_destroy of the message-port stand-in: one message as one datagram.

#if !defined(__linux__)
#error "mach_msg_linux.cc carries messages over Linux sockets"
#endif

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "platform/posix/posix_error.h"
#include "platform/posix/process_instance.h"
#include "platform/posix/scoped_fd.h"
#include "transport/mach_stand_in_linux.h"
#include "transport/port_linux.h"

namespace {

using mach_stand_in::internal::FindPort;
using mach_stand_in::internal::Incoming;
using mach_stand_in::internal::kMaxDescriptors;
using mach_stand_in::internal::Port;
using mach_stand_in::internal::RightKind;

constexpr size_t kHeaderSize = sizeof(mach_msg_header_t);
constexpr size_t kBaseSize = kHeaderSize + sizeof(mach_msg_body_t);
constexpr size_t kTypeByte = 11;  // the descriptor type sits in the 12th byte of every kind

bool IsValidDescriptor(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

uint8_t DescriptorType(const uint8_t* descriptor) { return descriptor[kTypeByte]; }

// How a walk over a message's descriptors ended.
enum class WalkEnd {
  kComplete,     // every descriptor the body counts was visited
  kTruncated,    // the message ends inside the body or a descriptor
  kUnknownType,  // a descriptor is neither a port nor an out-of-line region
  kStopped,      // a visitor returned false
};

static_assert(sizeof(mach_msg_port_descriptor_t) == sizeof(mach_msg_type_descriptor_t));

// The one walk over the descriptors of the complex message in the first `size` bytes of
// `bytes`: calls on_port(mach_msg_port_descriptor_t&) and on_region(mach_msg_ool_descriptor_t&)
// in order, each on an aligned copy that is written back when `bytes` is mutable. A visitor
// returns false to stop the walk.
template <typename Byte, typename OnPort, typename OnRegion>
WalkEnd WalkDescriptors(Byte* bytes, size_t size, OnPort&& on_port, OnRegion&& on_region) {
  if (size < kBaseSize) return WalkEnd::kTruncated;
  mach_msg_body_t body;
  std::memcpy(&body, bytes + kHeaderSize, sizeof body);
  size_t offset = kBaseSize;
  for (uint32_t index = 0; index < body.msgh_descriptor_count; ++index) {
    if (offset + sizeof(mach_msg_type_descriptor_t) > size) return WalkEnd::kTruncated;
    Byte* at = bytes + offset;
    bool go_on = true;
    if (DescriptorType(at) == MACH_MSG_PORT_DESCRIPTOR) {
      mach_msg_port_descriptor_t port;
      std::memcpy(&port, at, sizeof port);
      go_on = on_port(port);
      if constexpr (!std::is_const_v<Byte>) std::memcpy(at, &port, sizeof port);
      offset += sizeof port;
    } else if (DescriptorType(at) == MACH_MSG_OOL_DESCRIPTOR) {
      if (offset + sizeof(mach_msg_ool_descriptor_t) > size) return WalkEnd::kTruncated;
      mach_msg_ool_descriptor_t region;
      std::memcpy(&region, at, sizeof region);
      go_on = on_region(region);
      if constexpr (!std::is_const_v<Byte>) std::memcpy(at, &region, sizeof region);
      offset += sizeof region;
    } else {
      return WalkEnd::kUnknownType;
    }
    if (!go_on) return WalkEnd::kStopped;
  }
  return WalkEnd::kComplete;
}

bool IsComplex(const void* msg) {
  mach_msg_header_t header;
  std::memcpy(&header, msg, sizeof header);
  return (header.msgh_bits & MACH_MSGH_BITS_COMPLEX) != 0;
}

// The right that a received port of disposition `disposition` becomes.
mach_msg_type_name_t ReceivedType(mach_msg_type_name_t disposition) {
  switch (disposition) {
    case MACH_MSG_TYPE_MOVE_SEND:
    case MACH_MSG_TYPE_COPY_SEND:
    case MACH_MSG_TYPE_MAKE_SEND:
      return MACH_MSG_TYPE_PORT_SEND;
    case MACH_MSG_TYPE_MOVE_SEND_ONCE:
    case MACH_MSG_TYPE_MAKE_SEND_ONCE:
      return MACH_MSG_TYPE_PORT_SEND_ONCE;
    default:
      return 0;
  }
}

size_t TrailerSize(mach_msg_option_t option) {
  switch ((static_cast<uint32_t>(option) >> 24) & 0xf) {
    case MACH_RCV_TRAILER_NULL:
      return sizeof(mach_msg_trailer_t);
    case MACH_RCV_TRAILER_SEQNO:
      return 12;
    case MACH_RCV_TRAILER_SENDER:
      return 20;
    default:
      return sizeof(mach_msg_audit_trailer_t);
  }
}

// ---------------------------------------------------------------------------------------
// Sending.

// A right that a message takes along: the descriptor that travels, and what becomes of the
// sender's own right. A copied or moved right travels as the sender's own descriptor; a made
// one is a new pair of descriptors, owned here until the message has gone.
struct OutgoingRight {
  int fd = -1;
  enum class Source { kCopied, kMoved, kMade } source = Source::kCopied;
  std::shared_ptr<Port> port;  // kMade: the port that keeps the other end
  mcom::ScopedFD made;         // kMade: the end that travels (`fd`)
  mcom::ScopedFD kept;         // kMade: the other end, which joins `port` once sent
  RightKind kind = RightKind::kSend;
};

struct Outgoing {
  // Made rights of a message that does not go out close with it.
  std::vector<OutgoingRight> rights;
  std::vector<iovec> regions;
};

// Prepares the right `name` with `disposition` for travel.
mach_msg_return_t PrepareRight(mach_port_name_t name, mach_msg_type_name_t disposition,
                               Outgoing* outgoing) {
  OutgoingRight right;
  switch (disposition) {
    case MACH_MSG_TYPE_COPY_SEND:
    case MACH_MSG_TYPE_MOVE_SEND:
    case MACH_MSG_TYPE_MOVE_SEND_ONCE:
      if (name > INT_MAX || !IsValidDescriptor(static_cast<int>(name))) {
        return MACH_SEND_INVALID_RIGHT;
      }
      right.fd = static_cast<int>(name);
      right.source = disposition == MACH_MSG_TYPE_COPY_SEND ? OutgoingRight::Source::kCopied
                                                            : OutgoingRight::Source::kMoved;
      break;
    case MACH_MSG_TYPE_MAKE_SEND:
    case MACH_MSG_TYPE_MAKE_SEND_ONCE: {
      right.port = FindPort(name);
      if (right.port == nullptr) return MACH_SEND_INVALID_RIGHT;
      right.source = OutgoingRight::Source::kMade;
      right.kind = disposition == MACH_MSG_TYPE_MAKE_SEND ? RightKind::kSend : RightKind::kSendOnce;
      int kept = -1;
      int made = -1;
      if (right.port->MakeRightPair(&kept, &made) != KERN_SUCCESS) return MACH_SEND_NO_BUFFER;
      right.kept.reset(kept);
      right.made.reset(made);
      right.fd = made;
      break;
    }
    default:
      return MACH_SEND_INVALID_RIGHT;
  }
  if (outgoing->rights.size() == kMaxDescriptors) return MACH_SEND_TOO_LARGE;
  outgoing->rights.push_back(std::move(right));
  return MACH_MSG_SUCCESS;
}

// What a message gives up once it has gone, or once it failed in a way that destroys it:
// moved rights and regions marked for deallocation. Nothing is touched for
// MACH_SEND_INVALID_DEST, where the sender keeps everything.
void ConsumeSentContents(mach_msg_header_t* msg, mach_msg_size_t size) {
  const mach_msg_type_name_t remote = MACH_MSGH_BITS_REMOTE(msg->msgh_bits);
  if ((remote == MACH_MSG_TYPE_MOVE_SEND || remote == MACH_MSG_TYPE_MOVE_SEND_ONCE) &&
      msg->msgh_remote_port != MACH_PORT_NULL) {
    mach_port_deallocate(mach_task_self(), msg->msgh_remote_port);
  }
  const mach_msg_type_name_t local = MACH_MSGH_BITS_LOCAL(msg->msgh_bits);
  if ((local == MACH_MSG_TYPE_MOVE_SEND || local == MACH_MSG_TYPE_MOVE_SEND_ONCE) &&
      msg->msgh_local_port != MACH_PORT_NULL) {
    mach_port_deallocate(mach_task_self(), msg->msgh_local_port);
  }
  if ((msg->msgh_bits & MACH_MSGH_BITS_COMPLEX) == 0) return;
  WalkDescriptors(
      reinterpret_cast<const uint8_t*>(msg), size,
      [](const mach_msg_port_descriptor_t& port) {
        if ((port.disposition == MACH_MSG_TYPE_MOVE_SEND ||
             port.disposition == MACH_MSG_TYPE_MOVE_SEND_ONCE) &&
            port.name != MACH_PORT_NULL) {
          mach_port_deallocate(mach_task_self(), port.name);
        }
        return true;
      },
      [](const mach_msg_ool_descriptor_t& region) {
        if (region.deallocate && region.address != nullptr && region.size > 0) {
          vm_deallocate(mach_task_self(), reinterpret_cast<vm_address_t>(region.address),
                        region.size);
        }
        return true;
      });
}

// Checks the message and gathers what travels with it. Nothing is changed yet.
mach_msg_return_t PrepareMessage(const mach_msg_header_t* msg, mach_msg_size_t size,
                                 Outgoing* outgoing) {
  if (size < kHeaderSize || size % 4 != 0) return MACH_SEND_MSG_TOO_SMALL;
  const mach_msg_bits_t bits = msg->msgh_bits;
  if (MACH_MSGH_BITS_VOUCHER(bits) != 0) return MACH_SEND_INVALID_HEADER;
  const mach_msg_type_name_t remote = MACH_MSGH_BITS_REMOTE(bits);
  if (remote != MACH_MSG_TYPE_COPY_SEND && remote != MACH_MSG_TYPE_MOVE_SEND &&
      remote != MACH_MSG_TYPE_MOVE_SEND_ONCE) {
    return MACH_SEND_INVALID_HEADER;
  }
  if (msg->msgh_remote_port == MACH_PORT_NULL || msg->msgh_remote_port > INT_MAX ||
      !IsValidDescriptor(static_cast<int>(msg->msgh_remote_port))) {
    return MACH_SEND_INVALID_DEST;
  }
  const mach_msg_type_name_t local = MACH_MSGH_BITS_LOCAL(bits);
  if (local != 0) {
    if (msg->msgh_local_port == MACH_PORT_NULL) return MACH_SEND_INVALID_REPLY;
    if (const mach_msg_return_t result = PrepareRight(msg->msgh_local_port, local, outgoing)) {
      return result == MACH_SEND_INVALID_RIGHT ? MACH_SEND_INVALID_REPLY : result;
    }
  }
  if ((bits & MACH_MSGH_BITS_COMPLEX) == 0) return MACH_MSG_SUCCESS;

  mach_msg_return_t refused = MACH_MSG_SUCCESS;
  size_t total = size;
  const WalkEnd end = WalkDescriptors(
      reinterpret_cast<const uint8_t*>(msg), size,
      [&](const mach_msg_port_descriptor_t& port) {
        if (port.name != MACH_PORT_NULL) {
          refused = PrepareRight(port.name, port.disposition, outgoing);
        } else if (ReceivedType(port.disposition) == 0) {
          refused = MACH_SEND_INVALID_RIGHT;
        }
        return refused == MACH_MSG_SUCCESS;
      },
      [&](const mach_msg_ool_descriptor_t& region) {
        if (region.size == 0) return true;
        if (region.address == nullptr) {
          refused = MACH_SEND_INVALID_MEMORY;
          return false;
        }
        outgoing->regions.push_back(iovec{region.address, region.size});
        total += region.size;
        if (total > static_cast<size_t>(mach_stand_in::internal::kSocketBufferSize)) {
          refused = MACH_SEND_TOO_LARGE;
          return false;
        }
        return true;
      });
  switch (end) {
    case WalkEnd::kComplete:
      return MACH_MSG_SUCCESS;
    case WalkEnd::kTruncated:
      return MACH_SEND_MSG_TOO_SMALL;
    case WalkEnd::kUnknownType:
      return MACH_SEND_INVALID_TYPE;
    case WalkEnd::kStopped:
      break;
  }
  return refused;
}

mach_msg_return_t SendMessage(mach_msg_header_t* msg, mach_msg_size_t size) {
  Outgoing outgoing;
  if (const mach_msg_return_t result = PrepareMessage(msg, size, &outgoing)) {
    if (result != MACH_SEND_INVALID_DEST) ConsumeSentContents(msg, size);
    return result;
  }

  // The datagram: the message as given, with its size, then each region.
  std::vector<uint8_t> header(reinterpret_cast<const uint8_t*>(msg),
                              reinterpret_cast<const uint8_t*>(msg) + size);
  reinterpret_cast<mach_msg_header_t*>(header.data())->msgh_size = size;
  std::vector<iovec> vectors{iovec{header.data(), header.size()}};
  vectors.insert(vectors.end(), outgoing.regions.begin(), outgoing.regions.end());

  std::vector<int> fds;
  for (const OutgoingRight& right : outgoing.rights) fds.push_back(right.fd);
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)];
  msghdr message{};
  message.msg_iov = vectors.data();
  message.msg_iovlen = vectors.size();
  if (!fds.empty()) {
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr* rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(rights), fds.data(), sizeof(int) * fds.size());
  }

  // The made rights join their ports before the message goes: its receiver may use or drop
  // them, and another holder may go, before this thread runs again, and the ports must count
  // them by then. Their travelling ends stay open here until the send is decided.
  std::vector<std::pair<std::shared_ptr<Port>, uint64_t>> added;
  for (OutgoingRight& right : outgoing.rights) {
    if (right.source != OutgoingRight::Source::kMade) continue;
    if (const std::optional<uint64_t> id = right.port->AddPeer(right.kept.release(), right.kind)) {
      added.emplace_back(right.port, *id);
    }
  }

  const ssize_t sent = mcom::RetryOnInterrupt(
      [&] { return ::sendmsg(static_cast<int>(msg->msgh_remote_port), &message, MSG_NOSIGNAL); });

  mach_msg_return_t result = MACH_MSG_SUCCESS;
  if (sent < 0) {
    switch (errno) {
      case EMSGSIZE:
      case ETOOMANYREFS:
        result = MACH_SEND_TOO_LARGE;
        break;
      case ENOBUFS:
      case ENOMEM:
        result = MACH_SEND_NO_BUFFER;
        break;
      default:  // EPIPE, ECONNRESET, ENOTCONN, ENOTSOCK, EBADF: nobody receives there
        result = MACH_SEND_INVALID_DEST;
        break;
    }
  }
  if (result != MACH_MSG_SUCCESS) {
    // The made rights never existed; withdrawn before their travelling ends close, so that
    // the ports see no holder go.
    for (const auto& [port, id] : added) port->WithdrawPeer(id);
    if (result != MACH_SEND_INVALID_DEST) ConsumeSentContents(msg, size);
    return result;
  }
  // The made rights' travelling ends are in flight; this process's copies close.
  for (OutgoingRight& right : outgoing.rights) right.made.reset();
  ConsumeSentContents(msg, size);
  return MACH_MSG_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Receiving.

// The sender's pid version (process_instance.h). Its start time is read now; with the sender's
// pidfd, a pidfd that still names a live process after the read proves that the id was not
// handed to another process in between. Without one (older kernels) the read is only as
// close to the send as the receive is. 0 when the sender has gone.
uint32_t SenderPidVersion(const Incoming& incoming) {
  const uint32_t version = mcom::CurrentPidVersion(incoming.credentials.pid);
  if (incoming.sender_pidfd &&
      ::syscall(SYS_pidfd_send_signal, incoming.sender_pidfd.get(), 0, nullptr, 0) != 0) {
    return 0;
  }
  return version;
}

audit_token_t TokenOf(const Incoming& incoming) {
  audit_token_t token;
  if (!incoming.has_credentials) {
    std::memset(&token, 0xff, sizeof token);  // INVALID_AUDIT_TOKEN_VALUE
    return token;
  }
  const ucred& from = incoming.credentials;
  // The socket layer reports one uid and one gid; they stand for the effective and the real
  // ids alike, and for the audit user. There is no audit session here; the pid version is
  // the sender's start time (process_instance.h).
  token.val[0] = from.uid;
  token.val[1] = from.uid;
  token.val[2] = from.gid;
  token.val[3] = from.uid;
  token.val[4] = from.gid;
  token.val[5] = static_cast<unsigned int>(from.pid);
  token.val[6] = 0;
  token.val[7] = SenderPidVersion(incoming);
  return token;
}

void WriteTrailer(uint8_t* at, size_t trailer_size, const security_token_t& sender,
                  const audit_token_t& audit) {
  mach_msg_audit_trailer_t trailer{};
  trailer.msgh_trailer_type = MACH_MSG_TRAILER_FORMAT_0;
  trailer.msgh_trailer_size = static_cast<mach_msg_trailer_size_t>(trailer_size);
  trailer.msgh_sender = sender;
  trailer.msgh_audit = audit;
  std::memcpy(at, &trailer, trailer_size);
}

// The outcome of checking a datagram: its layout as the receiver will see it.
struct Layout {
  mach_msg_size_t size = 0;
  mach_msg_type_name_t reply_type = 0;
  size_t rights = 0;
  size_t region_bytes = 0;
};

// Checks a datagram as the kernel would have made it; false for anything else.
bool CheckDatagram(const Incoming& incoming, Layout* layout) {
  const std::vector<uint8_t>& bytes = incoming.bytes;
  if (bytes.size() < kHeaderSize) return false;
  mach_msg_header_t header;
  std::memcpy(&header, bytes.data(), sizeof header);
  const size_t size = header.msgh_size;
  if (size < kHeaderSize || size > bytes.size() || size % 4 != 0) return false;
  if (MACH_MSGH_BITS_VOUCHER(header.msgh_bits) != 0) return false;
  const mach_msg_type_name_t remote = MACH_MSGH_BITS_REMOTE(header.msgh_bits);
  if (remote != MACH_MSG_TYPE_COPY_SEND && remote != MACH_MSG_TYPE_MOVE_SEND &&
      remote != MACH_MSG_TYPE_MOVE_SEND_ONCE) {
    return false;
  }
  if ((header.msgh_bits &
       ~(MACH_MSGH_BITS_COMPLEX | MACH_MSGH_BITS_REMOTE_MASK | MACH_MSGH_BITS_LOCAL_MASK)) != 0) {
    return false;
  }
  const mach_msg_type_name_t local = MACH_MSGH_BITS_LOCAL(header.msgh_bits);
  size_t rights = 0;
  if (local != 0) {
    layout->reply_type = ReceivedType(local);
    if (layout->reply_type == 0) return false;
    rights = 1;
  }
  size_t region_bytes = 0;
  if ((header.msgh_bits & MACH_MSGH_BITS_COMPLEX) != 0) {
    bool valid = true;
    const WalkEnd end = WalkDescriptors(
        bytes.data(), size,
        [&](const mach_msg_port_descriptor_t& port) {
          valid = ReceivedType(port.disposition) != 0;
          if (port.name != MACH_PORT_NULL) ++rights;
          return valid;
        },
        [&](const mach_msg_ool_descriptor_t& region) {
          region_bytes += region.size;
          return true;
        });
    if (end != WalkEnd::kComplete) return false;
  }
  if (rights != incoming.descriptors.size()) return false;
  if (region_bytes != bytes.size() - size) return false;
  layout->size = static_cast<mach_msg_size_t>(size);
  layout->rights = rights;
  layout->region_bytes = region_bytes;
  return true;
}

// The receiver's copies of a checked datagram's out-of-line regions, in descriptor order
// (null for an empty region). All or nothing: when one cannot be allocated, those made
// before it are freed and the result is empty, for the message cannot be delivered whole.
std::optional<std::vector<void*>> CopyRegions(const Incoming& incoming, const Layout& layout) {
  std::vector<void*> copies;
  if (!IsComplex(incoming.bytes.data())) return copies;
  size_t region_offset = layout.size;
  const WalkEnd end = WalkDescriptors(
      incoming.bytes.data(), layout.size, [](const mach_msg_port_descriptor_t&) { return true; },
      [&](const mach_msg_ool_descriptor_t& region) {
        void* copy = nullptr;
        if (region.size > 0) {
          copy = mach_stand_in::internal::AllocateRegion(region.size);
          if (copy == nullptr) return false;
          std::memcpy(copy, incoming.bytes.data() + region_offset, region.size);
        }
        region_offset += region.size;
        copies.push_back(copy);
        return true;
      });
  if (end != WalkEnd::kComplete) {
    for (void* made : copies) mach_stand_in::internal::FreeRegion(made);
    return std::nullopt;
  }
  return copies;
}

// Builds the received form of a checked datagram in `msg`, with the region copies made by
// CopyRegions; `msg` holds at least layout.size + trailer_size bytes.
void BuildMessage(Incoming& incoming, const Layout& layout, const std::vector<void*>& copies,
                  const Port& port, mach_msg_header_t* msg, size_t trailer_size) {
  auto* out = reinterpret_cast<uint8_t*>(msg);
  size_t next_copy = 0;
  std::memcpy(out, incoming.bytes.data(), layout.size);
  size_t next_right = 0;
  auto take_right = [&]() -> mach_port_name_t {
    return static_cast<mach_port_name_t>(incoming.descriptors[next_right++]);
  };

  const mach_msg_type_name_t dest_type = incoming.from == RightKind::kSendOnce
                                             ? MACH_MSG_TYPE_PORT_SEND_ONCE
                                             : MACH_MSG_TYPE_PORT_SEND;
  msg->msgh_bits =
      (msg->msgh_bits & MACH_MSGH_BITS_COMPLEX) | MACH_MSGH_BITS(layout.reply_type, dest_type);
  msg->msgh_remote_port = layout.reply_type != 0 ? take_right() : MACH_PORT_NULL;
  msg->msgh_local_port = port.name();
  msg->msgh_voucher_port = MACH_PORT_NULL;

  if ((msg->msgh_bits & MACH_MSGH_BITS_COMPLEX) != 0) {
    WalkDescriptors(
        out, layout.size,
        [&](mach_msg_port_descriptor_t& port_descriptor) {
          const bool named = port_descriptor.name != MACH_PORT_NULL;
          port_descriptor.disposition =
              static_cast<uint8_t>(ReceivedType(port_descriptor.disposition));
          port_descriptor.name = named ? take_right() : MACH_PORT_NULL;
          port_descriptor.pad1 = 0;
          port_descriptor.pad2 = 0;
          return true;
        },
        [&](mach_msg_ool_descriptor_t& region) {
          void* copy = copies[next_copy++];
          region.address = copy;
          region.deallocate = copy != nullptr;
          region.copy = MACH_MSG_VIRTUAL_COPY;
          region.pad1 = 0;
          return true;
        });
  }
  incoming.descriptors.clear();  // every one is named in the message now
  const audit_token_t audit = TokenOf(incoming);
  WriteTrailer(out + layout.size, trailer_size, security_token_t{{audit.val[1], audit.val[2]}},
               audit);
}

mach_msg_return_t ReceiveMessage(mach_msg_header_t* msg, mach_msg_option_t option,
                                 mach_msg_size_t rcv_size, mach_port_name_t rcv_name,
                                 mach_msg_timeout_t timeout) {
  const std::shared_ptr<Port> port = FindPort(rcv_name);
  if (port == nullptr) return MACH_RCV_INVALID_NAME;
  const size_t trailer_size = TrailerSize(option);
  const int timeout_ms = (option & MACH_RCV_TIMEOUT) != 0
                             ? static_cast<int>(std::min<mach_msg_timeout_t>(
                                   timeout, static_cast<mach_msg_timeout_t>(INT_MAX)))
                             : -1;
  for (;;) {
    Incoming incoming;
    if (const mach_msg_return_t result = port->Take(timeout_ms, &incoming)) return result;

    if (incoming.is_notification) {
      if (incoming.bytes.size() + trailer_size > rcv_size) return MACH_RCV_TOO_LARGE;
      std::memcpy(msg, incoming.bytes.data(), incoming.bytes.size());
      const audit_token_t kernel{};  // KERNEL_AUDIT_TOKEN_VALUE
      WriteTrailer(reinterpret_cast<uint8_t*>(msg) + incoming.bytes.size(), trailer_size,
                   security_token_t{{0, 1}}, kernel);
      return MACH_MSG_SUCCESS;
    }

    Layout layout;
    if (!CheckDatagram(incoming, &layout)) {
      // Dropped with every right it brought. A send-once right spent on it dies unanswered.
      incoming.CloseDescriptors();
      if (incoming.from == RightKind::kSendOnce) port->NotifySendOnceGone();
      continue;
    }
    if (layout.size + trailer_size > rcv_size) {
      // Destroyed, as the kernel does without MACH_RCV_LARGE: the rights it carried are
      // released, so a reply right among them reaches its owner as a send-once notification.
      incoming.CloseDescriptors();
      return MACH_RCV_TOO_LARGE;
    }
    const std::optional<std::vector<void*>> copies = CopyRegions(incoming, layout);
    if (!copies) {
      // The kernel fails a receive whose out-of-line memory finds no room, and destroys the
      // message: a reply carrying an error must never arrive as one without it.
      incoming.CloseDescriptors();
      if (incoming.from == RightKind::kSendOnce) port->NotifySendOnceGone();
      return MACH_RCV_BODY_ERROR;
    }
    BuildMessage(incoming, layout, *copies, *port, msg, trailer_size);
    return MACH_MSG_SUCCESS;
  }
}

// Releases one right named in a message by the disposition it has there.
void DestroyRight(mach_port_name_t name, mach_msg_type_name_t disposition) {
  if (name == MACH_PORT_NULL) return;
  switch (disposition) {
    case MACH_MSG_TYPE_MOVE_SEND:
    case MACH_MSG_TYPE_MOVE_SEND_ONCE:
      mach_port_deallocate(mach_task_self(), name);
      break;
    case MACH_MSG_TYPE_MOVE_RECEIVE:
      mach_port_mod_refs(mach_task_self(), name, MACH_PORT_RIGHT_RECEIVE, -1);
      break;
    default:  // copy and make: the message holds no right of its own
      break;
  }
}

}  // namespace

mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option,
                           mach_msg_size_t send_size, mach_msg_size_t rcv_size,
                           mach_port_name_t rcv_name, mach_msg_timeout_t timeout,
                           mach_port_name_t /*notify*/) {
  if (msg == nullptr) return MACH_SEND_INVALID_DATA;
  if ((option & MACH_SEND_MSG) != 0) {
    if (const mach_msg_return_t result = SendMessage(msg, send_size)) return result;
  }
  if ((option & MACH_RCV_MSG) != 0) {
    return ReceiveMessage(msg, option, rcv_size, rcv_name, timeout);
  }
  return MACH_MSG_SUCCESS;
}

void mach_msg_destroy(mach_msg_header_t* msg) {
  DestroyRight(msg->msgh_remote_port, MACH_MSGH_BITS_REMOTE(msg->msgh_bits));
  DestroyRight(msg->msgh_local_port, MACH_MSGH_BITS_LOCAL(msg->msgh_bits));
  if ((msg->msgh_bits & MACH_MSGH_BITS_COMPLEX) == 0) return;
  WalkDescriptors(
      reinterpret_cast<const uint8_t*>(msg), msg->msgh_size,
      [](const mach_msg_port_descriptor_t& port) {
        DestroyRight(port.name, port.disposition);
        return true;
      },
      [](const mach_msg_ool_descriptor_t& region) {
        if (region.address != nullptr && region.size > 0) {
          vm_deallocate(mach_task_self(), reinterpret_cast<vm_address_t>(region.address),
                        region.size);
        }
        return true;
      });
}
