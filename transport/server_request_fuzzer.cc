// Fuzz target for the helper's side of the transport: any datagram a local process can send
// to the service or session port, with any number of descriptors attached, goes through the
// receive checks and the handler table of that port (every request of the catalogue and the
// no-senders notification). For any input: no crash, nothing read past a region, and after
// each input every region and every descriptor is released again.
//
// Input: byte 0 = descriptors to attach (0-15), byte 1 = port (even: session, odd: service),
// the rest = the datagram.

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "transport/message_buffer.h"
#include "transport/message_catalogue.h"
#include "transport/message_handler.h"
#include "transport/raw_datagram.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "server_request_fuzzer: %s\n", what);
  std::abort();
}

size_t OpenDescriptors() {
  size_t count = 0;
  DIR* directory = ::opendir("/proc/self/fd");
  while (::readdir(directory) != nullptr) ++count;
  ::closedir(directory);
  return count;
}

// Reads and discards what arrived on `fd`, closing every descriptor that came with it.
void Drain(int fd) {
  for (;;) {
    char data[4096];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 253)];
    iovec vector{data, sizeof data};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC) <= 0) return;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
      const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t index = 0; index < count; ++index) {
        int received;
        std::memcpy(&received, CMSG_DATA(header) + index * sizeof(int), sizeof received);
        ::close(received);
      }
    }
  }
}

// Everything queued on a port: its rights are released with the messages.
void DrainPort(const mach::PortRight<mach::Receive>& port) {
  while (mach::MessageBuffer::Receive(port.get(), 1024, 0)) {
  }
}

struct Setup {
  mach::PortRight<mach::Receive> service = mach::AllocateReceiveRight().value();
  mach::PortRight<mach::Receive> session = mach::AllocateReceiveRight().value();
  mach::PortRight<mach::Send> to_service;
  mach::PortRight<mach::Send> to_session;
  int replies[2] = {-1, -1};  // [0] is attached to the inputs, [1] collects what comes back
  mcom::File log_file;
  std::vector<mach::HandlerEntry> service_handlers;
  std::vector<mach::HandlerEntry> session_handlers;
  mach::HandlerEntry no_senders;

  Setup() {
    mach_port_t name = MACH_PORT_NULL;
    if (mach_stand_in::MakeSendRight(service.get(), &name) != KERN_SUCCESS) Fail("send right");
    to_service = mach::PortRight<mach::Send>(name);
    if (mach_stand_in::MakeSendRight(session.get(), &name) != KERN_SUCCESS) Fail("send right");
    to_session = mach::PortRight<mach::Send>(name);
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, replies) != 0) Fail("socketpair");
    log_file = mcom::File(::open("/dev/null", O_RDONLY | O_CLOEXEC));

    using mach::MessageHandler;
    service_handlers.push_back(MessageHandler::CreateHandlerWithCompletion(
        mach::CreateSessionRequest{}, mach::kCreateSessionId,
        [this](const mcom::AuditToken&,
               mach::Promise<mach::Make<mach::PortRight<mach::Send>>> promise) {
          promise.SetValue(mach::Make<mach::PortRight<mach::Send>>(session));
        }));
    session_handlers.push_back(MessageHandler::CreateHandlerWithCompletion(
        mach::ReplicateContainerRequest{}, mach::kReplicateContainerId,
        [](APFSContainerName source, APFSContainerName, mach::PortRight<mach::Send>,
           mach::Promise<std::optional<Error>> promise) {
          if (source.name.disk % 2 == 0) {
            promise.SetValue(std::nullopt);
          } else {
            promise.SetValue(Error("ReplicateContainer", FormatDiskName(source)));
          }
        }));
    session_handlers.push_back(MessageHandler::CreateHandlerWithCompletion(
        mach::CollectLogsRequest{}, mach::kCollectLogsId,
        [this](mach::Promise<mcom::File> promise) {
          promise.SetValue(mcom::File(::dup(log_file.get())));
        }));
    session_handlers.push_back(MessageHandler::CreateHandlerWithCompletion(
        mach::BuildRecoveryRequest{}, mach::kBuildRecoveryId,
        [](mcom::DiskName target, mach::PortRight<mach::Send>, const mcom::AuditToken&,
           mach::Promise<std::optional<Error>> promise) {
          promise.SetValue(Error("BuildRecovery", mcom::FormatDiskName(target)));
        }));
    session_handlers.push_back(MessageHandler::CreateHandlerWithCompletion(
        mach::GetAuthorizationRequest{}, mach::kGetAuthorizationId,
        [](mach::Promise<AuthorizationExternalForm> promise) { promise.SetValue({}); }));
    no_senders =
        MessageHandler::CreateNoReplyHandler(mach::NoSendersNotification{}, mach::kNoSendersId,
                                             [](mach::NoSendersInfo) { return true; });
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup* setup = new Setup;
  if (size < 2) return 0;
  const size_t attached = data[0] % 16;
  const bool to_service = (data[1] % 2) == 1;
  data += 2;
  size -= 2;
  if (size == 0) return 0;  // never sent: it would read as the end of the stream

  static const size_t descriptors_before = OpenDescriptors();

  std::vector<int> fds;
  for (size_t index = 0; index < attached; ++index) fds.push_back(::dup(setup->replies[0]));
  const int destination =
      static_cast<int>(to_service ? setup->to_service.get() : setup->to_session.get());
  const bool sent =
      transport_testing::SendRawDatagram(destination, data, size, fds, MSG_NOSIGNAL | MSG_DONTWAIT);
  for (int fd : fds) ::close(fd);

  if (sent) {
    const mach::PortRight<mach::Receive>& port = to_service ? setup->service : setup->session;
    const std::vector<mach::HandlerEntry>& table =
        to_service ? setup->service_handlers : setup->session_handlers;
    mach_msg_size_t largest = 0;
    for (const mach::HandlerEntry& entry : table) {
      largest = std::max(largest, static_cast<mach_msg_size_t>(entry.first));
    }
    if (mcom::Result<mach::MessageBuffer> received =
            mach::MessageBuffer::Receive(port.get(), largest, 0)) {
      bool taken = false;
      for (const mach::HandlerEntry& entry : table) {
        if ((taken = entry.second(*received))) break;
      }
      if (!taken && !to_service && received->id() == mach::kNoSendersId) {
        setup->no_senders.second(*received);
      }
    }
  }
  DrainPort(setup->service);
  DrainPort(setup->session);
  Drain(setup->replies[1]);
  DrainPort(setup->session);  // made send rights that came back are gone now

  if (mach_stand_in::OutstandingRegions() != 0) Fail("a region was not released");
  if (OpenDescriptors() != descriptors_before) Fail("a descriptor was not released");
  return 0;
}
