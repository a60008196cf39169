#include "transport/message_buffer.h"

#include <dirent.h>

#include <gmock/gmock.h>

#include "transport/message_layout.h"
#include "transport/message_reader.h"
#include "transport/message_writer.h"

namespace mach {
namespace {

size_t OpenDescriptors() {
  size_t count = 0;
  DIR* directory = ::opendir("/proc/self/fd");
  while (::readdir(directory) != nullptr) ++count;
  ::closedir(directory);
  return count;
}

// Sends a message with a region, a made send right and a reply right to `port`.
void SendComplex(const PortRight<Send>& to, const PortRight<Receive>& lent,
                 const PortRight<Receive>& reply) {
  constexpr MessageShape shape{24 + 4 + 16 + 12, 2};
  alignas(8) uint8_t storage[shape.size];
  MessageWriter writer(storage, shape, kRequestBits, to.get(), reply.get(), 1);
  mach_vm_address_t address = 0;
  ASSERT_EQ(mach_vm_allocate(mach_task_self(), &address, 64, VM_FLAGS_ANYWHERE), KERN_SUCCESS);
  writer.PutRegion(address, 64);
  writer.PutPort(lent.get(), MACH_MSG_TYPE_MAKE_SEND);
  ASSERT_EQ(mach_msg(writer.header(), MACH_SEND_MSG, shape.size, 0, MACH_PORT_NULL, 0, 0),
            MACH_MSG_SUCCESS);
}

TEST(MessageBufferTest, DestroyingReleasesWhatWasNotTaken) {
  const PortRight<Receive> port = AllocateReceiveRight().value();
  const PortRight<Receive> lent = AllocateReceiveRight().value();
  const PortRight<Receive> reply = AllocateReceiveRight().value();
  mach_port_t name = MACH_PORT_NULL;
  ASSERT_EQ(mach_stand_in::MakeSendRight(port.get(), &name), KERN_SUCCESS);
  const PortRight<Send> to(name);
  const size_t regions = mach_stand_in::OutstandingRegions();
  const size_t descriptors = OpenDescriptors();

  SendComplex(to, lent, reply);
  {
    mcom::Result<MessageBuffer> message = MessageBuffer::Receive(port.get(), 128, 0);
    ASSERT_TRUE(message);
    EXPECT_EQ(mach_stand_in::OutstandingRegions(), regions + 1);
    MessageBuffer moved = std::move(*message);  // ownership moves with the buffer
    EXPECT_FALSE(*message);
  }
  EXPECT_EQ(mach_stand_in::OutstandingRegions(), regions);
  // The reply right went unanswered; the lent send right is gone, which its port counts.
  mcom::Result<MessageBuffer> notification = MessageBuffer::Receive(reply.get(), 24, 0);
  ASSERT_TRUE(notification);
  EXPECT_EQ(notification->id(), MACH_NOTIFY_SEND_ONCE);
  mcom::Result<MessageBuffer> nothing = MessageBuffer::Receive(lent.get(), 24, 0);  // counts it
  EXPECT_FALSE(nothing);
  EXPECT_EQ(OpenDescriptors(), descriptors);

  // What was taken is not released a second time by the buffer.
  SendComplex(to, lent, reply);
  Region region;
  mach_port_t lent_send = MACH_PORT_NULL;
  PortRight<SendOnce> reply_right;
  {
    mcom::Result<MessageBuffer> message = MessageBuffer::Receive(port.get(), 128, 0);
    ASSERT_TRUE(message);
    reply_right = message->TakeReplyPort();
    MessageReader reader(message->header());
    ASSERT_TRUE(reader.TakeRegion(&region));
    ASSERT_TRUE(reader.TakePort(MACH_MSG_TYPE_PORT_SEND, &lent_send));
  }
  EXPECT_EQ(mach_stand_in::OutstandingRegions(), regions + 1);
  EXPECT_EQ(region.size(), 64u);
  EXPECT_TRUE(reply_right);
  EXPECT_EQ(mach_port_deallocate(mach_task_self(), lent_send), KERN_SUCCESS);
  region.reset();
  reply_right.reset();
  EXPECT_EQ(mach_stand_in::OutstandingRegions(), regions);
}

}  // namespace
}  // namespace mach
