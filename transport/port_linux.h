#pragma once

// Internal to the message-port stand-in: a receive right and the table of receive rights of
// the process. See mach_stand_in_linux.h for the model.

#include <sys/socket.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/posix/scoped_fd.h"
#include "transport/mach_stand_in_linux.h"

namespace mach_stand_in::internal {

// The kind of right whose peer socket belongs to a port.
enum class RightKind { kSend, kSendOnce };

// Asks a socket for the sender's credentials with every message, and for the sender's process
// descriptor where the kernel has that (only the credentials are required). False when the
// credentials cannot be had.
bool AskForSenders(int socket);

// One message taken from a port, not yet checked: either a datagram that a sender wrote
// (with the descriptors and credentials that came with it) or a notification that the port
// made itself, already in its received form.
struct Incoming {
  bool is_notification = false;
  RightKind from = RightKind::kSend;
  std::vector<uint8_t> bytes;
  std::vector<int> descriptors;  // owned until handed on
  bool has_credentials = false;
  ucred credentials{};
  // The sender as a process descriptor, on kernels that pass one (SO_PASSPIDFD): it names the
  // process that sent, even if its id has been handed to another since.
  mcom::ScopedFD sender_pidfd;

  Incoming() = default;
  Incoming(const Incoming&) = delete;
  Incoming& operator=(const Incoming&) = delete;
  Incoming(Incoming&&) = default;
  Incoming& operator=(Incoming&&) = default;
  ~Incoming() { CloseDescriptors(); }
  void CloseDescriptors();
};

// A receive right.
class Port : public std::enable_shared_from_this<Port> {
 public:
  // A new port, or null with `*result` set when the system is out of descriptors.
  static std::shared_ptr<Port> Create(kern_return_t* result);
  ~Port();
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  // The right's name: the number of its epoll descriptor in the low 22 bits and a generation
  // above them, so that a name that outlived its port never names a later port that got
  // the same descriptor number.
  mach_port_name_t name() const { return name_; }
  // The epoll descriptor, readable whenever the port has something to take (a message, a
  // hang-up to count, a connection to accept, a notification).
  int descriptor() const { return epoll_; }

  // Waits up to `timeout_ms` (-1: without limit) for one message and takes it. Hang-ups and
  // connections met on the way are handled here (counted, turned into notifications,
  // accepted) and do not end the wait.
  mach_msg_return_t Take(int timeout_ms, Incoming* incoming);

  // A socket pair for a new right of `kind` to this port: `*kept` goes into the port with
  // AddPeer before the other end, `*given`, is sent (so the right is counted before its
  // receiver can act on it); until then neither end is known to the port. Credentials are
  // asked for on the kept end before the given end exists for anybody else.
  kern_return_t MakeRightPair(int* kept, int* given);
  // Adds the kept end of a right of `kind` (closed at once when the port is dead). A send
  // right counts towards the make-send count and the senders. Returns the peer's id, for
  // WithdrawPeer; nothing when the port did not take it.
  std::optional<uint64_t> AddPeer(int kept, RightKind kind);
  // Takes back a peer added for a right whose message was never sent: as if it had never
  // been, with no notification and the counts as they were.
  void WithdrawPeer(uint64_t id);
  // Serves connections to the listening socket `fd` (taken over) as send rights.
  kern_return_t SetListener(int fd);

  // The no-senders request on the port itself; fires at once when nobody holds a send right
  // and `sync` is at most the make-send count.
  void RequestNoSenders(mach_port_mscount_t sync);
  // Queues the send-once notification: a send-once right of this port was used up without a
  // message that could be delivered.
  void NotifySendOnceGone();

  // Closes every socket of the port and wakes every waiting Take, which then reports
  // MACH_RCV_PORT_DIED. The name stays open until the last reference is gone.
  void Destroy();

 private:
  struct Peer {
    int fd;
    RightKind kind;
  };
  enum class ReadResult { kMessage, kNothing, kClosed };

  Port(mach_port_name_t name, int epoll, int wake) : name_(name), epoll_(epoll), wake_(wake) {}
  std::optional<uint64_t> AddPeerLocked(int fd, RightKind kind);
  void RemovePeerLocked(uint64_t id, bool notify);
  void QueueNotificationLocked(std::vector<uint8_t> bytes);
  std::vector<uint8_t> NoSendersNotification() const;
  std::vector<uint8_t> SendOnceNotification() const;
  ReadResult ReadPeer(int fd, Incoming* incoming);

  const mach_port_name_t name_;
  const int epoll_;
  const int wake_;  // eventfd, readable while a notification waits or the port is dead

  std::mutex mutex_;
  bool dead_ = false;
  uint64_t next_id_ = 2;  // 0 is the wake descriptor, 1 the listener
  std::unordered_map<uint64_t, Peer> peers_;
  int listener_ = -1;
  std::deque<std::vector<uint8_t>> notifications_;
  uint32_t send_rights_ = 0;
  mach_port_mscount_t make_send_count_ = 0;
  bool no_senders_requested_ = false;
};

// The receive rights of the process by name.
std::shared_ptr<Port> FindPort(mach_port_name_t name);
void InsertPort(std::shared_ptr<Port> port);
std::shared_ptr<Port> RemovePort(mach_port_name_t name);

// A descriptor number that can serve as a port name: never 0, which means "no port". A
// descriptor that came out as 0 (standard input was closed) is moved up; the result is -1
// when that fails.
int NameableDescriptor(int fd);

// Largest datagram a right's socket can carry, and the descriptors one message can carry.
inline constexpr int kSocketBufferSize = 4 * 1024 * 1024;
inline constexpr size_t kMaxDescriptors = 253;

// The out-of-line region bookkeeping shared by mach_vm_allocate and the receive path.
void* AllocateRegion(size_t size);
void FreeRegion(void* region);

}  // namespace mach_stand_in::internal
