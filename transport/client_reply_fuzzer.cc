// Fuzz target for the application's side of the transport: any datagram that arrives on a
// reply port (a helper, or anything holding the reply right, may send it) or on a progress
// port, with any number of descriptors attached, goes through the receive checks and the
// decoding of the reply of every request of the catalogue, or of a progress message. For
// any input: no crash, nothing read past a region, and after each input every region and
// every descriptor is released again.
//
// Input: byte 0 = descriptors to attach (0-15), byte 1 = what the port expects (0
// CreateSession, 1 replicate, 2 CollectLogs, 3 BuildRecovery, 4 GetAuthorization, 5 a
// progress message), the rest = the datagram.

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

#include "transport/call.h"
#include "transport/message_buffer.h"
#include "transport/message_catalogue.h"
#include "transport/progress_message.h"
#include "transport/raw_datagram.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "client_reply_fuzzer: %s\n", what);
  std::abort();
}

size_t OpenDescriptors() {
  size_t count = 0;
  DIR* directory = ::opendir("/proc/self/fd");
  while (::readdir(directory) != nullptr) ++count;
  ::closedir(directory);
  return count;
}

struct Setup {
  mach::PortRight<mach::Receive> port = mach::AllocateReceiveRight().value();
  mach::PortRight<mach::Send> to_port;
  mcom::File attachment = mcom::File(::open("/dev/null", O_RDONLY | O_CLOEXEC));

  Setup() {
    mach_port_t name = MACH_PORT_NULL;
    if (mach_stand_in::MakeSendRight(port.get(), &name) != KERN_SUCCESS) Fail("send right");
    to_port = mach::PortRight<mach::Send>(name);
  }
};

// Receives the datagram as a reply to request `id` of kind Traits, as mach::Call does, and
// decodes it.
template <typename Traits>
void DecodeAsReply(const mach::PortRight<mach::Receive>& port, mach_msg_id_t id) {
  constexpr mach_msg_size_t limit = Traits::kReply.size + mach::kTrailerSize;
  alignas(8) uint8_t storage[limit];
  auto* header = reinterpret_cast<mach_msg_header_t*>(storage);
  if (mach_msg(header, MACH_RCV_MSG | MACH_RCV_TIMEOUT | mach::kAuditTrailerOptions, 0, limit,
               port.get(), 0, MACH_PORT_NULL) != MACH_MSG_SUCCESS) {
    return;
  }
  header->msgh_local_port = MACH_PORT_NULL;
  (void)mach::DecodeReply<Traits>(header, id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup* setup = new Setup;
  if (size < 2) return 0;
  const size_t attached = data[0] % 16;
  const int kind = data[1] % 6;
  data += 2;
  size -= 2;
  if (size == 0) return 0;  // never sent: it would read as the end of the stream

  static const size_t descriptors_before = OpenDescriptors();

  std::vector<int> fds;
  for (size_t index = 0; index < attached; ++index) fds.push_back(::dup(setup->attachment.get()));
  const bool sent = transport_testing::SendRawDatagram(static_cast<int>(setup->to_port.get()), data,
                                                       size, fds, MSG_NOSIGNAL | MSG_DONTWAIT);
  for (int fd : fds) ::close(fd);

  if (sent) {
    switch (kind) {
      case 0:
        DecodeAsReply<mach::CreateSessionRequest>(setup->port, mach::kCreateSessionId);
        break;
      case 1:
        DecodeAsReply<mach::ReplicateContainerRequest>(setup->port, mach::kReplicateContainerId);
        break;
      case 2:
        DecodeAsReply<mach::CollectLogsRequest>(setup->port, mach::kCollectLogsId);
        break;
      case 3:
        DecodeAsReply<mach::BuildRecoveryRequest>(setup->port, mach::kBuildRecoveryId);
        break;
      case 4:
        DecodeAsReply<mach::GetAuthorizationRequest>(setup->port, mach::kGetAuthorizationId);
        break;
      default:
        if (mcom::Result<mach::MessageBuffer> received = mach::MessageBuffer::Receive(
                setup->port.get(), mach::ProgressMessage::kRequest.size, 0)) {
          (void)mach::DecodeProgressMessage(*received);
        }
        break;
    }
  }
  // Whatever was not received (a receive that failed drops its message) is drained.
  while (mach::MessageBuffer::Receive(setup->port.get(), 1024, 0)) {
  }

  if (mach_stand_in::OutstandingRegions() != 0) Fail("a region was not released");
  if (OpenDescriptors() != descriptors_before) Fail("a descriptor was not released");
  return 0;
}
