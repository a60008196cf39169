// Golden bytes of every message of the catalogue, as the sender writes them.

#include "transport/message_catalogue.h"

#include <gmock/gmock.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "transport/message_writer.h"

namespace mach {
namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes& bytes, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(uint8_t(value >> shift));
}

Bytes Header(uint32_t bits, uint32_t size, uint32_t remote, uint32_t local, int32_t id) {
  Bytes bytes;
  for (uint32_t word : {bits, size, remote, local, 0u, static_cast<uint32_t>(id)})
    Put32(bytes, word);
  return bytes;
}

void PutPortDescriptor(Bytes& bytes, uint32_t name, uint8_t disposition) {
  Put32(bytes, name);
  Put32(bytes, 0);
  bytes.insert(bytes.end(), {0, 0, disposition, 0});
}

// A region descriptor as written, with the address the encoder chose.
void PutRegionDescriptor(Bytes& bytes, uint64_t address, uint32_t size) {
  for (int shift = 0; shift < 64; shift += 8) bytes.push_back(uint8_t(address >> shift));
  if (address != 0) {
    bytes.insert(bytes.end(), {1, 1, 0, 1});
  } else {
    bytes.insert(bytes.end(), {0, 0, 0, 1});
  }
  Put32(bytes, size);
}

// One encoded message; released (regions freed, moved rights released) when done.
class Encoded {
 public:
  template <typename... T, typename... V>
  Encoded(MessageShape shape, mcom::types<T...> types, uint32_t bits, uint32_t remote,
          uint32_t local, int id, const V&... values)
      : storage_(shape.size) {
    MessageWriter writer(storage_.data(), shape, bits, remote, local, id);
    EXPECT_EQ(EncodeValues(types, writer, values...), KERN_SUCCESS);
  }
  ~Encoded() { ReleaseUnsentMessage(header()); }

  mach_msg_header_t* header() { return reinterpret_cast<mach_msg_header_t*>(storage_.data()); }
  const Bytes& bytes() const { return storage_; }

  // The region named by the descriptor at `offset`, and its bytes.
  uint64_t RegionAddress(size_t offset) const {
    uint64_t address;
    std::memcpy(&address, storage_.data() + offset, sizeof address);
    return address;
  }
  Bytes Region(size_t offset) const {
    uint32_t size;
    std::memcpy(&size, storage_.data() + offset + 12, sizeof size);
    const auto* data = reinterpret_cast<const uint8_t*>(RegionAddress(offset));
    return data == nullptr ? Bytes() : Bytes(data, data + size);
  }

 private:
  alignas(8) Bytes storage_;
};

Bytes DiskNamePayload(uint32_t disk, uint32_t slice) {
  Bytes bytes;
  Put32(bytes, disk);
  Put32(bytes, slice);
  return bytes;
}

constexpr uint32_t kDestination = 0x1111;
constexpr uint32_t kReplyPort = 0x2222;
constexpr uint32_t kProgressPort = 0x3333;
constexpr uint32_t kSessionPort = 0x4444;

TEST(MessageCatalogueTest, CreateSession) {
  Encoded request(CreateSessionRequest::kRequest, mcom::types<>{}, kRequestBits, kDestination,
                  kReplyPort, kCreateSessionId);
  EXPECT_EQ(request.bytes(), Header(0x00001513, 24, kDestination, kReplyPort, 200));

  PortRight<Receive> session(kSessionPort);
  Encoded reply(CreateSessionRequest::kReply, mcom::types<Make<PortRight<Send>>>{}, kReplyBits,
                kReplyPort, 0, 300, Make<PortRight<Send>>(session));
  (void)session.release();
  Bytes expected = Header(0x80000012, 40, kReplyPort, 0, 300);
  Put32(expected, 1);
  PutPortDescriptor(expected, kSessionPort, 20);
  EXPECT_EQ(reply.bytes(), expected);
}

TEST(MessageCatalogueTest, Replicate) {
  PortRight<Receive> progress(kProgressPort);
  Encoded request(ReplicateContainerRequest::kRequest, ReplicateContainerRequest::Arguments{},
                  kRequestBits, kDestination, kReplyPort, kReplicateContainerId,
                  APFSContainerName{{5, mcom::DiskName::kNoSlice}}, APFSContainerName{{9, 3}},
                  progress);
  (void)progress.release();
  Bytes expected = Header(0x80001513, 72, kDestination, kReplyPort, 200);
  Put32(expected, 3);
  PutRegionDescriptor(expected, request.RegionAddress(28), 8);
  PutRegionDescriptor(expected, request.RegionAddress(44), 8);
  PutPortDescriptor(expected, kProgressPort, 20);
  EXPECT_EQ(request.bytes(), expected);
  // A name without slice: the disk number, then -1.
  EXPECT_EQ(request.Region(28), DiskNamePayload(5, 0xFFFFFFFF));
  EXPECT_EQ(request.Region(44), DiskNamePayload(9, 3));
  EXPECT_NE(request.RegionAddress(28), request.RegionAddress(44));

  // No error: a descriptor of type 1 with every other field 0.
  Encoded success(ReplicateContainerRequest::kReply, mcom::types<std::optional<Error>>{},
                  kReplyBits, kReplyPort, 0, 300, std::optional<Error>());
  expected = Header(0x80000012, 44, kReplyPort, 0, 300);
  Put32(expected, 1);
  expected.insert(expected.end(), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0});
  EXPECT_EQ(success.bytes(), expected);

  Encoded failure(ReplicateContainerRequest::kReply, mcom::types<std::optional<Error>>{},
                  kReplyBits, kReplyPort, 0, 300, std::optional<Error>(Error("op", "msg")));
  expected = Header(0x80000012, 44, kReplyPort, 0, 300);
  Put32(expected, 1);
  PutRegionDescriptor(expected, failure.RegionAddress(28), 20);
  EXPECT_EQ(failure.bytes(), expected);
  EXPECT_EQ(failure.Region(28),
            Bytes({2, 0, 0, 0, 'o', 'p', 0, 0, 3, 0, 0, 0, 'm', 's', 'g', 0, 0, 0, 0, 0}));
}

TEST(MessageCatalogueTest, CollectLogs) {
  Encoded request(CollectLogsRequest::kRequest, mcom::types<>{}, kRequestBits, kDestination,
                  kReplyPort, kCollectLogsId);
  EXPECT_EQ(request.bytes(), Header(0x00001513, 24, kDestination, kReplyPort, 201));

  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  mcom::File file(ends[0]);
  ::close(ends[1]);
  Encoded reply(CollectLogsRequest::kReply, mcom::types<mcom::File>{}, kReplyBits, kReplyPort, 0,
                301, file);
  mach_msg_port_descriptor_t port;
  std::memcpy(&port, reply.bytes().data() + 28, sizeof port);
  EXPECT_NE(port.name, MACH_PORT_NULL);
  EXPECT_NE(port.name, static_cast<uint32_t>(file.get()));  // a file port of its own
  Bytes expected = Header(0x80000012, 40, kReplyPort, 0, 301);
  Put32(expected, 1);
  PutPortDescriptor(expected, port.name, 17);
  EXPECT_EQ(reply.bytes(), expected);

  // A file port that cannot be made travels as name 0.
  mcom::File closed;
  Encoded empty(CollectLogsRequest::kReply, mcom::types<mcom::File>{}, kReplyBits, kReplyPort, 0,
                301, closed);
  expected = Header(0x80000012, 40, kReplyPort, 0, 301);
  Put32(expected, 1);
  PutPortDescriptor(expected, 0, 17);
  EXPECT_EQ(empty.bytes(), expected);
}

TEST(MessageCatalogueTest, BuildRecovery) {
  PortRight<Receive> progress(kProgressPort);
  Encoded request(BuildRecoveryRequest::kRequest, BuildRecoveryRequest::Arguments{}, kRequestBits,
                  kDestination, kReplyPort, kBuildRecoveryId, mcom::DiskName{4, 1}, progress);
  (void)progress.release();
  Bytes expected = Header(0x80001513, 56, kDestination, kReplyPort, 202);
  Put32(expected, 2);
  PutRegionDescriptor(expected, request.RegionAddress(28), 8);
  PutPortDescriptor(expected, kProgressPort, 20);
  EXPECT_EQ(request.bytes(), expected);
  EXPECT_EQ(request.Region(28), DiskNamePayload(4, 1));
  EXPECT_EQ(BuildRecoveryRequest::kReply, ReplicateContainerRequest::kReply);
}

TEST(MessageCatalogueTest, GetAuthorization) {
  Encoded request(GetAuthorizationRequest::kRequest, mcom::types<>{}, kRequestBits, kDestination,
                  kReplyPort, kGetAuthorizationId);
  EXPECT_EQ(request.bytes(), Header(0x00001513, 24, kDestination, kReplyPort, 203));

  AuthorizationExternalForm form;
  for (int index = 0; index < 32; ++index) form.bytes[index] = static_cast<char>(0xA0 + index);
  Encoded reply(GetAuthorizationRequest::kReply, mcom::types<AuthorizationExternalForm>{},
                kReplyBits, kReplyPort, 0, 303, form);
  Bytes expected = Header(0x00000012, 56, kReplyPort, 0, 303);
  for (int index = 0; index < 32; ++index) expected.push_back(uint8_t(0xA0 + index));
  EXPECT_EQ(reply.bytes(), expected);
}

TEST(MessageCatalogueTest, ProgressAndNoSenders) {
  Encoded fraction(ProgressMessage::kRequest, mcom::types<ProgressUpdate>{}, kOneWayBits,
                   kProgressPort, 0, kProgressMessageId, ProgressUpdate(0.5));
  Bytes expected = Header(0x80000013, 44, kProgressPort, 0, 200);
  Put32(expected, 1);
  PutRegionDescriptor(expected, fraction.RegionAddress(28), 12);
  EXPECT_EQ(fraction.bytes(), expected);
  // The fraction directly after the index, at payload offset 4.
  Bytes payload{0, 0, 0, 0};
  const double half = 0.5;
  const auto* half_bytes = reinterpret_cast<const uint8_t*>(&half);
  payload.insert(payload.end(), half_bytes, half_bytes + 8);
  EXPECT_EQ(fraction.Region(28), payload);

  Encoded notification(NoSendersNotification::kRequest, mcom::types<NoSendersInfo>{},
                       MACH_MSGH_BITS(0, MACH_MSG_TYPE_PORT_SEND_ONCE), 0, kSessionPort, 70,
                       NoSendersInfo{7});
  expected = Header(0x00001200, 36, 0, kSessionPort, 70);
  expected.insert(expected.end(), {0, 0, 0, 0, 1, 0, 0, 0});
  Put32(expected, 7);
  EXPECT_EQ(notification.bytes(), expected);
}

}  // namespace
}  // namespace mach
