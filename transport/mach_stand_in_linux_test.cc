// The message-port stand-in: rights as sockets, messages as datagrams, the kernel's checks.

#include "transport/mach_stand_in_linux.h"
#include "transport/raw_datagram.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/foundation/file.h"
#include "core/foundation/system_path.h"
#include "platform/posix/process_instance.h"
#include "tests/support/temporary_folder.h"
#include "transport/message_buffer.h"
#include "transport/message_layout.h"
#include "transport/message_reader.h"
#include "transport/message_writer.h"
#include "transport/port_right.h"

namespace mach {
namespace {

size_t OpenDescriptors() {
  size_t count = 0;
  DIR* directory = ::opendir("/proc/self/fd");
  while (::readdir(directory) != nullptr) ++count;
  ::closedir(directory);
  return count;
}

PortRight<Receive> NewPort() { return AllocateReceiveRight().value(); }

PortRight<Send> SendRightTo(const PortRight<Receive>& port) {
  mach_port_t name = MACH_PORT_NULL;
  EXPECT_EQ(mach_stand_in::MakeSendRight(port.get(), &name), KERN_SUCCESS);
  return PortRight<Send>(name);
}

// Nothing to receive on `port` right now.
bool IsEmpty(const PortRight<Receive>& port) {
  mcom::Result<MessageBuffer> message = MessageBuffer::Receive(port.get(), 1024, 0);
  return !message && message.error().value() == MACH_RCV_TIMED_OUT;
}

mach_msg_return_t SendSimple(mach_port_t destination, mach_msg_id_t id,
                             mach_port_t reply = MACH_PORT_NULL) {
  mach_msg_header_t header{};
  header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND,
                                    reply != MACH_PORT_NULL ? MACH_MSG_TYPE_MAKE_SEND_ONCE : 0);
  header.msgh_size = sizeof header;
  header.msgh_remote_port = destination;
  header.msgh_local_port = reply;
  header.msgh_id = id;
  return mach_msg(&header, MACH_SEND_MSG, sizeof header, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
}

// The next message on `reply` is the notification of a send-once right that went unused.
void ExpectSendOnceNotification(const PortRight<Receive>& reply) {
  mcom::Result<MessageBuffer> notification = MessageBuffer::Receive(reply.get(), 24, 0);
  ASSERT_TRUE(notification);
  EXPECT_EQ(notification->id(), MACH_NOTIFY_SEND_ONCE);
}

// A server port with a send right to it, and a port for replies.
class MachStandInTest : public testing::Test {
 protected:
  const PortRight<Receive> server = NewPort();
  const PortRight<Receive> reply = NewPort();
  const PortRight<Send> to_server = SendRightTo(server);
};

TEST_F(MachStandInTest, ComplexMessageArrivesAsTheKernelWouldBuildIt) {
  const PortRight<Receive> lent = NewPort();
  const size_t regions = mach_stand_in::OutstandingRegions();

  constexpr MessageShape shape{24 + 4 + 16 + 12, 2};
  alignas(8) uint8_t storage[shape.size];
  MessageWriter writer(storage, shape, kRequestBits, to_server.get(), reply.get(), 77);
  mach_vm_address_t address = 0;
  ASSERT_EQ(mach_vm_allocate(mach_task_self(), &address, 6, VM_FLAGS_ANYWHERE), KERN_SUCCESS);
  std::memcpy(reinterpret_cast<void*>(address), "region", 6);
  writer.PutRegion(address, 6);
  writer.PutPort(lent.get(), MACH_MSG_TYPE_MAKE_SEND);
  ASSERT_EQ(mach_msg(writer.header(), MACH_SEND_MSG, shape.size, 0, MACH_PORT_NULL, 0, 0),
            MACH_MSG_SUCCESS);
  // The sender's region went with the send.
  EXPECT_EQ(mach_stand_in::OutstandingRegions(), regions);

  mcom::Result<MessageBuffer> received = MessageBuffer::Receive(server.get(), shape.size, 0);
  ASSERT_TRUE(received);
  const mach_msg_header_t* header = received->header();
  EXPECT_EQ(header->msgh_bits, 0x80001112u);  // complex; reply send-once, destination send
  EXPECT_EQ(header->msgh_size, shape.size);
  EXPECT_NE(header->msgh_remote_port, MACH_PORT_NULL);
  EXPECT_EQ(header->msgh_local_port, MACH_PORT_NULL);  // cleared after the receive
  EXPECT_EQ(header->msgh_id, 77);

  // The trailer: format 0, 52 bytes, and this process as the sender.
  mach_msg_audit_trailer_t trailer;
  std::memcpy(&trailer, reinterpret_cast<const uint8_t*>(header) + header->msgh_size,
              sizeof trailer);
  EXPECT_EQ(trailer.msgh_trailer_type, 0u);
  EXPECT_EQ(trailer.msgh_trailer_size, 52u);
  const mcom::AuditToken token = received->audit_token();
  EXPECT_EQ(token.pid(), getpid());
  EXPECT_EQ(token.pid_version(), mcom::CurrentPidVersion(getpid()));  // this instance
  EXPECT_NE(token.pid_version(), 0u);
  EXPECT_EQ(token.effective_user_id(), geteuid());
  EXPECT_EQ(token.effective_group_id(), getegid());
  EXPECT_EQ(trailer.msgh_sender.val[0], geteuid());

  MessageReader reader(received->header());
  Region region;
  ASSERT_TRUE(reader.TakeRegion(&region));
  ASSERT_EQ(region.size(), 6u);
  EXPECT_EQ(std::string(static_cast<const char*>(region.data()), 6), "region");
  EXPECT_EQ(mach_stand_in::OutstandingRegions(), regions + 1);  // the receiver's own copy
  mach_port_t lent_send = MACH_PORT_NULL;
  ASSERT_TRUE(reader.TakePort(MACH_MSG_TYPE_PORT_SEND, &lent_send));
  const PortRight<Send> lent_right(lent_send);

  // The made send right reaches the port it was made from.
  ASSERT_EQ(SendSimple(lent_right.get(), 5), MACH_MSG_SUCCESS);
  mcom::Result<MessageBuffer> via_lent = MessageBuffer::Receive(lent.get(), 24, 0);
  ASSERT_TRUE(via_lent);
  EXPECT_EQ(via_lent->id(), 5);
  EXPECT_EQ(via_lent->header()->msgh_bits, 0x00001100u);

  // The reply goes back once on the send-once right.
  PortRight<SendOnce> reply_right = received->TakeReplyPort();
  ASSERT_TRUE(reply_right);
  mach_msg_header_t answer{};
  answer.msgh_bits = kReplyBits;
  answer.msgh_size = sizeof answer;
  answer.msgh_remote_port = reply_right.release();
  answer.msgh_id = 177;
  ASSERT_EQ(mach_msg(&answer, MACH_SEND_MSG, sizeof answer, 0, MACH_PORT_NULL, 0, 0),
            MACH_MSG_SUCCESS);
  mcom::Result<MessageBuffer> answered = MessageBuffer::Receive(reply.get(), 24, 0);
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->id(), 177);
  EXPECT_EQ(answered->header()->msgh_bits, 0x00001200u);  // arrived through a send-once right
  EXPECT_TRUE(IsEmpty(reply));                            // used up: no notification follows
  region.reset();
  EXPECT_EQ(mach_stand_in::OutstandingRegions(), regions);
}

TEST_F(MachStandInTest, UnusedSendOnceRightBecomesANotification) {
  ASSERT_EQ(SendSimple(to_server.get(), 1, reply.get()), MACH_MSG_SUCCESS);
  {
    mcom::Result<MessageBuffer> request = MessageBuffer::Receive(server.get(), 24, 0);
    ASSERT_TRUE(request);
    EXPECT_TRUE(IsEmpty(reply));
  }  // destroyed with its reply right
  mcom::Result<MessageBuffer> notification = MessageBuffer::Receive(reply.get(), 24, 0);
  ASSERT_TRUE(notification);
  EXPECT_EQ(notification->id(), MACH_NOTIFY_SEND_ONCE);
  EXPECT_EQ(notification->size(), 24u);
  EXPECT_EQ(notification->header()->msgh_bits, 0x00001200u);
  EXPECT_EQ(notification->audit_token(), mcom::AuditToken());  // the kernel's
}

TEST_F(MachStandInTest, NoSendersWhenTheLastSendRightGoes) {
  const PortRight<Receive> port = NewPort();
  mach_port_t previous = 1;
  // No sender yet: the request fires at once.
  ASSERT_EQ(mach_port_request_notification(mach_task_self(), port.get(), MACH_NOTIFY_NO_SENDERS, 0,
                                           port.get(), MACH_MSG_TYPE_MAKE_SEND_ONCE, &previous),
            KERN_SUCCESS);
  EXPECT_EQ(previous, MACH_PORT_NULL);
  mcom::Result<MessageBuffer> at_once = MessageBuffer::Receive(port.get(), 36, 0);
  ASSERT_TRUE(at_once);
  EXPECT_EQ(at_once->id(), MACH_NOTIFY_NO_SENDERS);

  PortRight<Send> first = SendRightTo(port);
  PortRight<Send> second = SendRightTo(port);
  // A copy of a right is the same right: it keeps it alive.
  PortRight<Send> copy(static_cast<mach_port_t>(::dup(static_cast<int>(second.get()))));
  ASSERT_EQ(mach_port_request_notification(mach_task_self(), port.get(), MACH_NOTIFY_NO_SENDERS, 0,
                                           port.get(), MACH_MSG_TYPE_MAKE_SEND_ONCE, &previous),
            KERN_SUCCESS);
  first.reset();
  EXPECT_TRUE(IsEmpty(port));
  second.reset();
  EXPECT_TRUE(IsEmpty(port));
  copy.reset();
  mcom::Result<MessageBuffer> notification = MessageBuffer::Receive(port.get(), 36, 0);
  ASSERT_TRUE(notification);
  EXPECT_EQ(notification->id(), MACH_NOTIFY_NO_SENDERS);
  EXPECT_EQ(notification->size(), 36u);
  EXPECT_FALSE(notification->complex());
  uint32_t make_send_count = 0;
  std::memcpy(&make_send_count, reinterpret_cast<const uint8_t*>(notification->header()) + 32, 4);
  EXPECT_EQ(make_send_count, 2u);
  // One-shot.
  PortRight<Send> third = SendRightTo(port);
  third.reset();
  EXPECT_TRUE(IsEmpty(port));
}

TEST_F(MachStandInTest, MessageTooLargeIsDestroyedWithItsRights) {
  ASSERT_EQ(SendSimple(to_server.get(), 1, reply.get()), MACH_MSG_SUCCESS);
  // 24 + 52 bytes do not fit into 60.
  mcom::Result<MessageBuffer> received = MessageBuffer::Receive(server.get(), 8, 0);
  ASSERT_FALSE(received);
  EXPECT_EQ(received.error().value(), MACH_RCV_TOO_LARGE);
  EXPECT_TRUE(IsEmpty(server));
  ExpectSendOnceNotification(reply);
}

// A region the receiver cannot copy fails the receive and destroys the message: delivered
// without its region, an error reply would read as success.
TEST_F(MachStandInTest, RegionThatCannotBeCopiedFailsTheReceive) {
  const size_t regions = mach_stand_in::OutstandingRegions();
  const uint32_t words[] = {0x80000013, 44, 0, 0, 0, 7, 1, 1, 0, 0x01000101, 8, 0xAB, 0xCD};
  ASSERT_TRUE(transport_testing::SendRawDatagram(static_cast<int>(to_server.get()), words,
                                                 sizeof words, {}));
  mach_stand_in::FailRegionAllocationsForTesting(1);
  mcom::Result<MessageBuffer> received = MessageBuffer::Receive(server.get(), 1024, 0);
  ASSERT_FALSE(received);
  EXPECT_EQ(received.error().value(), MACH_RCV_BODY_ERROR);
  EXPECT_TRUE(IsEmpty(server));
  EXPECT_EQ(mach_stand_in::OutstandingRegions(), regions);
}

// Datagrams that no kernel would have built are dropped with every descriptor they brought,
// and the port goes on working.
TEST_F(MachStandInTest, MalformedDatagramsAreDropped) {
  const int socket = static_cast<int>(to_server.get());
  const size_t descriptors = OpenDescriptors();

  auto send_raw = [&](const std::vector<uint32_t>& words, int attached) {
    std::vector<int> fds;
    for (int index = 0; index < attached; ++index) fds.push_back(::dup(STDERR_FILENO));
    ASSERT_TRUE(transport_testing::SendRawDatagram(socket, words.data(), words.size() * 4, fds));
    for (int fd : fds) ::close(fd);
  };
  send_raw({0x13, 16, 0, 0}, 0);                                   // shorter than a header
  send_raw({0x13, 28, 0, 0, 0, 1}, 0);                             // size beyond the datagram
  send_raw({0x13, 26, 0, 0, 0, 1, 0}, 0);                          // size not a multiple of 4
  send_raw({0x1513, 24, 0, 0, 0, 1}, 0);                           // reply port without a right
  send_raw({0x13, 24, 0, 0, 0, 1}, 2);                             // rights without descriptors
  send_raw({0x80000013, 28, 0, 0, 0, 1, 5}, 0);                    // more descriptors than bytes
  send_raw({0x80000013, 40, 0, 0, 0, 1, 1, 9, 0, 0x05000000}, 1);  // unknown kind (5)
  send_raw({0x80000013, 40, 0, 0, 0, 1, 1, 9, 0, 0x00150000}, 0);  // port without its right
  send_raw({0x80000013, 44, 0, 0, 0, 1, 1, 1, 0, 0x01000101, 64}, 0);  // region missing
  send_raw({0x00150013, 24, 0, 0, 0, 1}, 0);                           // a voucher
  EXPECT_TRUE(IsEmpty(server));
  EXPECT_EQ(OpenDescriptors(), descriptors);

  ASSERT_EQ(SendSimple(to_server.get(), 42), MACH_MSG_SUCCESS);
  mcom::Result<MessageBuffer> valid = MessageBuffer::Receive(server.get(), 24, 0);
  ASSERT_TRUE(valid);
  EXPECT_EQ(valid->id(), 42);
}

TEST_F(MachStandInTest, MalformedReplyStillEndsTheWait) {
  ASSERT_EQ(SendSimple(to_server.get(), 1, reply.get()), MACH_MSG_SUCCESS);
  mcom::Result<MessageBuffer> request = MessageBuffer::Receive(server.get(), 24, 0);
  ASSERT_TRUE(request);
  PortRight<SendOnce> reply_right = request->TakeReplyPort();
  const uint32_t garbage[] = {0x12, 12, 0};
  ASSERT_GT(::send(static_cast<int>(reply_right.get()), garbage, sizeof garbage, MSG_NOSIGNAL), 0);
  ExpectSendOnceNotification(reply);
}

TEST_F(MachStandInTest, DestroyedPortEndsReceivesAndSends) {
  PortRight<Receive> port = NewPort();
  const mach_port_t name = port.get();
  const PortRight<Send> to_port = SendRightTo(port);
  mach_msg_return_t waited = MACH_MSG_SUCCESS;
  std::thread receiver([&] {
    mcom::Result<MessageBuffer> message = MessageBuffer::Receive(name, 24);
    waited = message ? MACH_MSG_SUCCESS : message.error().value();
  });
  port.reset();
  receiver.join();
  EXPECT_TRUE(waited == MACH_RCV_PORT_DIED || waited == MACH_RCV_INVALID_NAME) << waited;

  // The sender keeps what it meant to send.
  const size_t regions = mach_stand_in::OutstandingRegions();
  constexpr MessageShape shape{24 + 4 + 16, 1};
  alignas(8) uint8_t storage[shape.size];
  MessageWriter writer(storage, shape, kOneWayBits, to_port.get(), MACH_PORT_NULL, 3);
  mach_vm_address_t address = 0;
  ASSERT_EQ(mach_vm_allocate(mach_task_self(), &address, 4, VM_FLAGS_ANYWHERE), KERN_SUCCESS);
  writer.PutRegion(address, 4);
  EXPECT_EQ(mach_msg(writer.header(), MACH_SEND_MSG, shape.size, 0, MACH_PORT_NULL, 0, 0),
            MACH_SEND_INVALID_DEST);
  EXPECT_EQ(mach_stand_in::OutstandingRegions(), regions + 1);
  ReleaseUnsentMessage(writer.header());
  EXPECT_EQ(mach_stand_in::OutstandingRegions(), regions);

  // A later port never answers to the old name.
  const PortRight<Receive> later = NewPort();
  EXPECT_NE(later.get(), name);
  mcom::Result<MessageBuffer> stale = MessageBuffer::Receive(name, 24, 0);
  ASSERT_FALSE(stale);
  EXPECT_EQ(stale.error().value(), MACH_RCV_INVALID_NAME);
}

// Looks the service `name` up and sends it request `id`; what `service` then receives.
mcom::Result<MessageBuffer> SendThroughName(const char* name, const PortRight<Receive>& service,
                                            mach_msg_id_t id) {
  mach_port_t port = MACH_PORT_NULL;
  EXPECT_EQ(bootstrap_look_up(bootstrap_port, name, &port), KERN_SUCCESS);
  const PortRight<Send> client(port);
  EXPECT_EQ(SendSimple(client.get(), id), MACH_MSG_SUCCESS);
  return MessageBuffer::Receive(service.get(), 24, 0);
}

TEST_F(MachStandInTest, BootstrapNamesUnderAnyRoot) {
  testing::TemporaryMachineRoot root;
  mach_port_t port = MACH_PORT_NULL;
  EXPECT_EQ(bootstrap_look_up(bootstrap_port, "com.example.none", &port),
            BOOTSTRAP_UNKNOWN_SERVICE);
  EXPECT_EQ(bootstrap_look_up(bootstrap_port, "../escape", &port), BOOTSTRAP_UNKNOWN_SERVICE);
  ASSERT_EQ(bootstrap_check_in(bootstrap_port, "com.example.service", &port), KERN_SUCCESS);
  const PortRight<Receive> service(port);
  mach_port_t second = MACH_PORT_NULL;
  EXPECT_EQ(bootstrap_check_in(bootstrap_port, "com.example.service", &second),
            BOOTSTRAP_SERVICE_ACTIVE);

  mcom::Result<MessageBuffer> received = SendThroughName("com.example.service", service, 9);
  ASSERT_TRUE(received);
  EXPECT_EQ(received->id(), 9);
  EXPECT_EQ(received->audit_token().pid(), getpid());
  EXPECT_EQ(received->audit_token().pid_version(), mcom::CurrentPidVersion(getpid()));

  // Under a machine root whose paths are longer than a socket address holds.
  testing::TemporaryFolder folder;
  const mcom::FilePath deep = folder.Join(std::string(120, 'd'));
  ASSERT_EQ(::mkdir(deep.c_str(), 0755), 0);
  const mcom::FilePath previous = mcom::SystemRoot();
  mcom::SetSystemRoot(deep);
  ASSERT_EQ(bootstrap_check_in(bootstrap_port, "com.example.deep", &port), KERN_SUCCESS);
  const PortRight<Receive> deep_service(port);
  EXPECT_TRUE(SendThroughName("com.example.deep", deep_service, 10));
  mcom::SetSystemRoot(previous);
}

// A process started by the launcher serves the names it was handed, and only those.
TEST_F(MachStandInTest, CheckInAdoptsOnlyTheSocketsHandedOver) {
  testing::TemporaryMachineRoot root;
  int listener = -1;
  ASSERT_EQ(mach_stand_in::CreateServiceListener("com.example.handed", &listener), KERN_SUCCESS);
  const mcom::File file(::open(root.WriteFile("plain", "x").c_str(), O_RDONLY | O_CLOEXEC));
  const std::string handed = "com.example.handed=" + std::to_string(listener) +
                             ",com.example.file=" + std::to_string(file.get()) +
                             ",com.example.bad=3x";
  ASSERT_EQ(::setenv("MACSIM_LAUNCHD_SOCKETS", handed.c_str(), 1), 0);
  ASSERT_EQ(::unsetenv("DORVANE_BOOTSTRAP_SELF_CHECK_IN"), 0);

  mach_port_t port = MACH_PORT_NULL;
  EXPECT_EQ(bootstrap_check_in(bootstrap_port, "com.example.other", &port),
            BOOTSTRAP_UNKNOWN_SERVICE);
  EXPECT_EQ(bootstrap_check_in(bootstrap_port, "com.example.file", &port),
            BOOTSTRAP_NOT_PRIVILEGED);
  EXPECT_EQ(bootstrap_check_in(bootstrap_port, "com.example.bad", &port), BOOTSTRAP_NOT_PRIVILEGED);
  ASSERT_EQ(bootstrap_check_in(bootstrap_port, "com.example.handed", &port), KERN_SUCCESS);
  const PortRight<Receive> service(port);
  EXPECT_NE(::fcntl(listener, F_GETFD) & FD_CLOEXEC, 0);
  mach_port_t second = MACH_PORT_NULL;
  EXPECT_EQ(bootstrap_check_in(bootstrap_port, "com.example.handed", &second),
            BOOTSTRAP_SERVICE_ACTIVE);
  // Nor can a new socket take the place of a served name.
  int another = -1;
  EXPECT_EQ(mach_stand_in::CreateServiceListener("com.example.handed", &another),
            BOOTSTRAP_SERVICE_ACTIVE);

  mcom::Result<MessageBuffer> received = SendThroughName("com.example.handed", service, 11);
  ASSERT_TRUE(received);
  EXPECT_EQ(received->id(), 11);
  ::unsetenv("MACSIM_LAUNCHD_SOCKETS");
  ::setenv("DORVANE_BOOTSTRAP_SELF_CHECK_IN", "1", 1);
}

TEST_F(MachStandInTest, FilePorts) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  mach_port_t port = MACH_PORT_NULL;
  ASSERT_EQ(fileport_makeport(ends[1], &port), 0);
  ::close(ends[1]);
  const int fd = fileport_makefd(port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(mach_port_deallocate(mach_task_self(), port), KERN_SUCCESS);
  ASSERT_EQ(::write(fd, "x", 1), 1);
  char byte = 0;
  ASSERT_EQ(::read(ends[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'x');
  ::close(fd);
  ::close(ends[0]);
  EXPECT_EQ(fileport_makefd(MACH_PORT_NULL), -1);
}

}  // namespace
}  // namespace mach
