// Receive rights of the message-port stand-in: a set of sockets under one epoll descriptor.

#if !defined(__linux__)
#error "port_linux.cc carries message ports over Linux sockets"
#endif

#include "transport/port_linux.h"
#include "platform/posix/posix_error.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace mach_stand_in::internal {
namespace {

constexpr uint64_t kWakeId = 0;
constexpr uint64_t kListenerId = 1;

// SO_PASSPIDFD and SCM_PIDFD (Linux 6.5), spelled out for older headers.
constexpr int kPassPidfd = 76;
constexpr int kPidfdMessage = 4;

// Room for every descriptor a message may carry plus the sender's credentials and pidfd.
constexpr size_t kControlSize =
    CMSG_SPACE(sizeof(int) * kMaxDescriptors) + CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int));

std::mutex& TableMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

// Never destroyed: ports may be released by threads still running at exit.
std::unordered_map<mach_port_name_t, std::shared_ptr<Port>>& Table() {
  static auto* table = new std::unordered_map<mach_port_name_t, std::shared_ptr<Port>>;
  return *table;
}

std::atomic<size_t> outstanding_regions{0};

void CloseQuietly(int fd) {
  if (fd >= 0) ::close(fd);
}

void Rearm(int wake, bool readable) {
  if (readable) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(wake, &one, sizeof one);
  } else {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t read = ::read(wake, &count, sizeof count);
  }
}

}  // namespace

bool AskForSenders(int socket) {
  const int on = 1;
  if (::setsockopt(socket, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) return false;
  (void)::setsockopt(socket, SOL_SOCKET, kPassPidfd, &on, sizeof on);
  return true;
}

void Incoming::CloseDescriptors() {
  for (int fd : descriptors) CloseQuietly(fd);
  descriptors.clear();
}

int NameableDescriptor(int fd) {
  if (fd != 0) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return moved;
}

std::atomic<size_t> failing_allocations{0};

void* AllocateRegion(size_t size) {
  for (size_t failing = failing_allocations.load(); failing > 0;) {
    if (failing_allocations.compare_exchange_weak(failing, failing - 1)) return nullptr;
  }
  void* region = std::malloc(size);
  if (region != nullptr) ++outstanding_regions;
  return region;
}

void FreeRegion(void* region) {
  if (region == nullptr) return;
  --outstanding_regions;
  std::free(region);
}

std::shared_ptr<Port> Port::Create(kern_return_t* result) {
  const int epoll = NameableDescriptor(::epoll_create1(EPOLL_CLOEXEC));
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeId;
  if (epoll < 0 || wake < 0 || ::epoll_ctl(epoll, EPOLL_CTL_ADD, wake, &event) != 0) {
    CloseQuietly(epoll);
    CloseQuietly(wake);
    *result = KERN_RESOURCE_SHORTAGE;
    return nullptr;
  }
  // Generations 1 to 1023 above descriptor numbers below 2^22.
  static std::atomic<uint32_t> generation{0};
  constexpr int kDescriptorBits = 22;
  if (epoll >= (1 << kDescriptorBits)) {
    ::close(epoll);
    ::close(wake);
    *result = KERN_RESOURCE_SHORTAGE;
    return nullptr;
  }
  const uint32_t tag = generation.fetch_add(1) % 1023 + 1;
  const auto name =
      static_cast<mach_port_name_t>((tag << kDescriptorBits) | static_cast<uint32_t>(epoll));
  *result = KERN_SUCCESS;
  return std::shared_ptr<Port>(new Port(name, epoll, wake));
}

Port::~Port() {
  for (auto& [id, peer] : peers_) CloseQuietly(peer.fd);
  CloseQuietly(listener_);
  CloseQuietly(wake_);
  CloseQuietly(epoll_);
}

kern_return_t Port::MakeRightPair(int* kept, int* given) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    return KERN_RESOURCE_SHORTAGE;
  }
  ends[0] = NameableDescriptor(ends[0]);
  ends[1] = NameableDescriptor(ends[1]);
  const int buffer = kSocketBufferSize;
  if (ends[0] < 0 || ends[1] < 0 || !AskForSenders(ends[0])) {
    CloseQuietly(ends[0]);
    CloseQuietly(ends[1]);
    return KERN_RESOURCE_SHORTAGE;
  }
  // Larger messages than the default limit: failing here only lowers that limit.
  ::setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  *kept = ends[0];
  *given = ends[1];
  return KERN_SUCCESS;
}

std::optional<uint64_t> Port::AddPeer(int kept, RightKind kind) {
  std::lock_guard lock(mutex_);
  if (dead_) {
    CloseQuietly(kept);
    return std::nullopt;
  }
  return AddPeerLocked(kept, kind);
}

std::optional<uint64_t> Port::AddPeerLocked(int fd, RightKind kind) {
  const uint64_t id = next_id_++;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = id;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
    // Out of memory in the kernel: the right is lost as if its holder had closed it.
    CloseQuietly(fd);
    if (kind == RightKind::kSendOnce) QueueNotificationLocked(SendOnceNotification());
    return std::nullopt;
  }
  peers_.emplace(id, Peer{fd, kind});
  if (kind == RightKind::kSend) {
    ++send_rights_;
    ++make_send_count_;
  }
  return id;
}

void Port::WithdrawPeer(uint64_t id) {
  std::lock_guard lock(mutex_);
  const auto peer = peers_.find(id);
  if (peer == peers_.end()) return;
  CloseQuietly(peer->second.fd);  // also leaves the epoll set
  if (peer->second.kind == RightKind::kSend) {
    --send_rights_;
    --make_send_count_;
  }
  peers_.erase(peer);
}

kern_return_t Port::SetListener(int fd) {
  std::lock_guard lock(mutex_);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kListenerId;
  if (dead_ || listener_ >= 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
    CloseQuietly(fd);
    return KERN_FAILURE;
  }
  listener_ = fd;
  return KERN_SUCCESS;
}

void Port::RemovePeerLocked(uint64_t id, bool notify) {
  const auto peer = peers_.find(id);
  if (peer == peers_.end()) return;
  const RightKind kind = peer->second.kind;
  CloseQuietly(peer->second.fd);  // also leaves the epoll set
  peers_.erase(peer);
  if (kind == RightKind::kSendOnce) {
    if (notify) QueueNotificationLocked(SendOnceNotification());
    return;
  }
  --send_rights_;
  if (send_rights_ == 0 && no_senders_requested_) {
    no_senders_requested_ = false;
    QueueNotificationLocked(NoSendersNotification());
  }
}

void Port::QueueNotificationLocked(std::vector<uint8_t> bytes) {
  notifications_.push_back(std::move(bytes));
  Rearm(wake_, true);
}

std::vector<uint8_t> Port::NoSendersNotification() const {
  mach_no_senders_notification_t notification{};
  notification.not_header.msgh_bits = MACH_MSGH_BITS(0, MACH_MSG_TYPE_PORT_SEND_ONCE);
  notification.not_header.msgh_size = sizeof notification;
  notification.not_header.msgh_local_port = name();
  notification.not_header.msgh_id = MACH_NOTIFY_NO_SENDERS;
  notification.NDR.int_rep = 1;  // little-endian integers
  notification.not_count = make_send_count_;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&notification);
  return std::vector<uint8_t>(bytes, bytes + sizeof notification);
}

std::vector<uint8_t> Port::SendOnceNotification() const {
  mach_msg_header_t header{};
  header.msgh_bits = MACH_MSGH_BITS(0, MACH_MSG_TYPE_PORT_SEND_ONCE);
  header.msgh_size = sizeof header;
  header.msgh_local_port = name();
  header.msgh_id = MACH_NOTIFY_SEND_ONCE;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&header);
  return std::vector<uint8_t>(bytes, bytes + sizeof header);
}

void Port::RequestNoSenders(mach_port_mscount_t sync) {
  std::lock_guard lock(mutex_);
  if (dead_) return;
  if (send_rights_ == 0 && sync <= make_send_count_) {
    no_senders_requested_ = false;
    QueueNotificationLocked(NoSendersNotification());
  } else {
    no_senders_requested_ = true;
  }
}

void Port::NotifySendOnceGone() {
  std::lock_guard lock(mutex_);
  if (!dead_) QueueNotificationLocked(SendOnceNotification());
}

void Port::Destroy() {
  std::lock_guard lock(mutex_);
  if (dead_) return;
  dead_ = true;
  for (auto& [id, peer] : peers_) CloseQuietly(peer.fd);
  peers_.clear();
  CloseQuietly(listener_);
  listener_ = -1;
  notifications_.clear();
  send_rights_ = 0;
  Rearm(wake_, true);
}

Port::ReadResult Port::ReadPeer(int fd, Incoming* incoming) {
  const ssize_t length = mcom::RetryOnInterrupt(
      [&] { return ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT); });
  if (length < 0) return errno == EAGAIN ? ReadResult::kNothing : ReadResult::kClosed;
  // A datagram of no bytes cannot be told from the end of the stream; senders never make one.
  if (length == 0) return ReadResult::kClosed;

  incoming->bytes.resize(static_cast<size_t>(length));
  alignas(cmsghdr) char control[kControlSize];
  iovec vector{incoming->bytes.data(), incoming->bytes.size()};
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t received = mcom::RetryOnInterrupt(
      [&] { return ::recvmsg(fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC); });
  if (received < 0) return errno == EAGAIN ? ReadResult::kNothing : ReadResult::kClosed;

  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET) continue;
    if (header->cmsg_type == SCM_RIGHTS) {
      const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t index = 0; index < count; ++index) {
        int fd_received;
        std::memcpy(&fd_received, CMSG_DATA(header) + index * sizeof(int), sizeof fd_received);
        incoming->descriptors.push_back(fd_received);
      }
    } else if (header->cmsg_type == SCM_CREDENTIALS &&
               header->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
      std::memcpy(&incoming->credentials, CMSG_DATA(header), sizeof(ucred));
      incoming->has_credentials = true;
    } else if (header->cmsg_type == kPidfdMessage && header->cmsg_len >= CMSG_LEN(sizeof(int))) {
      int pidfd;
      std::memcpy(&pidfd, CMSG_DATA(header), sizeof pidfd);
      incoming->sender_pidfd.reset(pidfd);
    }
  }
  for (int& received_fd : incoming->descriptors) received_fd = NameableDescriptor(received_fd);
  // A message cut short, or whose rights did not all arrive, is kept only so that it is
  // counted as used; its checks fail and drop it.
  if ((message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 || received != length) {
    incoming->bytes.clear();
  }
  return ReadResult::kMessage;
}

mach_msg_return_t Port::Take(int timeout_ms, Incoming* incoming) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (dead_) return MACH_RCV_PORT_DIED;
      if (!notifications_.empty()) {
        incoming->is_notification = true;
        incoming->bytes = std::move(notifications_.front());
        notifications_.pop_front();
        if (notifications_.empty()) Rearm(wake_, false);
        return MACH_MSG_SUCCESS;
      }
    }
    int wait = -1;
    if (timeout_ms >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    epoll_event event{};
    const int ready = ::epoll_wait(epoll_, &event, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return MACH_RCV_INVALID_NAME;
    if (ready == 0) return MACH_RCV_TIMED_OUT;

    std::lock_guard lock(mutex_);
    if (dead_) return MACH_RCV_PORT_DIED;
    const uint64_t id = event.data.u64;
    if (id == kWakeId) continue;
    if (id == kListenerId) {
      const int accepted = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (accepted < 0 && errno != EAGAIN && errno != ECONNABORTED && errno != EINTR) {
        // Out of descriptors or memory: the connection stays queued and the listener
        // readable, so trying again at once would only spin. The receive ends as if it had
        // timed out; the caller's next attempt (its dispatch source fires again) retries.
        return MACH_RCV_TIMED_OUT;
      }
      const int connection = NameableDescriptor(accepted);
      if (connection >= 0) AddPeerLocked(connection, RightKind::kSend);
      continue;
    }
    const auto peer = peers_.find(id);
    if (peer == peers_.end()) continue;  // taken by another receiver meanwhile
    const Peer found = peer->second;
    switch (ReadPeer(found.fd, incoming)) {
      case ReadResult::kNothing:
        continue;
      case ReadResult::kClosed:
        RemovePeerLocked(id, /*notify=*/true);
        continue;
      case ReadResult::kMessage:
        incoming->from = found.kind;
        // A send-once right carries one message; what else its holder sends is never read.
        if (found.kind == RightKind::kSendOnce) RemovePeerLocked(id, /*notify=*/false);
        return MACH_MSG_SUCCESS;
    }
  }
}

std::shared_ptr<Port> FindPort(mach_port_name_t name) {
  std::lock_guard lock(TableMutex());
  const auto found = Table().find(name);
  return found == Table().end() ? nullptr : found->second;
}

void InsertPort(std::shared_ptr<Port> port) {
  std::lock_guard lock(TableMutex());
  Table()[port->name()] = std::move(port);
}

std::shared_ptr<Port> RemovePort(mach_port_name_t name) {
  std::lock_guard lock(TableMutex());
  const auto found = Table().find(name);
  if (found == Table().end()) return nullptr;
  std::shared_ptr<Port> port = std::move(found->second);
  Table().erase(found);
  return port;
}

}  // namespace mach_stand_in::internal

size_t mach_stand_in::OutstandingRegions() { return internal::outstanding_regions.load(); }

void mach_stand_in::FailRegionAllocationsForTesting(size_t count) {
  internal::failing_allocations.store(count);
}

int mach_stand_in::ReceiveDescriptor(mach_port_name_t receive) {
  const std::shared_ptr<internal::Port> port = internal::FindPort(receive);
  return port != nullptr ? port->descriptor() : -1;
}
