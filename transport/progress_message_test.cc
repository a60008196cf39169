#include "transport/progress_message.h"

#include <gmock/gmock.h>

#include <mutex>
#include <vector>

#include "transport/message_catalogue.h"
#include "transport/message_writer.h"
#include "transport/run_with_progress.h"

namespace mach {
namespace {

// The receiving loop of RunWithProgress hands valid updates to the callback in order and
// skips everything else without stopping.
TEST(ProgressMessageTest, LoopSkipsWhatIsNoProgressAndGoesOn) {
  PortRight<Receive> port = AllocateReceiveRight().value();
  mach_port_t name = MACH_PORT_NULL;
  ASSERT_EQ(mach_stand_in::MakeSendRight(port.get(), &name), KERN_SUCCESS);
  const PortRight<Send> sender(name);

  std::mutex mutex;
  std::vector<ProgressUpdate> updates;
  dispatch::Semaphore last(0);
  const ProgressCallback progress = [&](ProgressUpdate update) {
    std::lock_guard lock(mutex);
    updates.push_back(std::move(update));
    if (updates.back() == ProgressUpdate("done")) last.Signal();
  };
  const dispatch::Semaphore finished = internal::StartProgressLoop(port.get(), progress);

  ASSERT_EQ(SendProgress(sender, 0.25), MACH_MSG_SUCCESS);
  // Another layout: 24 bytes, not complex.
  mach_msg_header_t plain{};
  plain.msgh_bits = kOneWayBits;
  plain.msgh_size = sizeof plain;
  plain.msgh_remote_port = sender.get();
  plain.msgh_id = kProgressMessageId;
  ASSERT_EQ(mach_msg(&plain, MACH_SEND_MSG, sizeof plain, 0, MACH_PORT_NULL, 0, 0),
            MACH_MSG_SUCCESS);
  // The right layout with an index that names no alternative.
  {
    constexpr MessageShape shape = ProgressMessage::kRequest;
    alignas(8) uint8_t storage[shape.size];
    MessageWriter writer(storage, shape, kOneWayBits, sender.get(), MACH_PORT_NULL, 200);
    PayloadBuffer payload;
    payload.AppendUInt32(2);
    payload.AppendDouble(0.5);
    ASSERT_EQ(internal::PutPayload(writer, payload), KERN_SUCCESS);
    ASSERT_EQ(mach_msg(writer.header(), MACH_SEND_MSG, shape.size, 0, MACH_PORT_NULL, 0, 0),
              MACH_MSG_SUCCESS);
  }
  // Any id is taken.
  {
    constexpr MessageShape shape = ProgressMessage::kRequest;
    alignas(8) uint8_t storage[shape.size];
    MessageWriter writer(storage, shape, kOneWayBits, sender.get(), MACH_PORT_NULL, 999);
    ASSERT_EQ(ArgumentCoding<ProgressUpdate>::Encode(writer, ProgressUpdate("other id")),
              KERN_SUCCESS);
    ASSERT_EQ(mach_msg(writer.header(), MACH_SEND_MSG, shape.size, 0, MACH_PORT_NULL, 0, 0),
              MACH_MSG_SUCCESS);
  }
  ASSERT_EQ(SendProgress(sender, std::string("done")), MACH_MSG_SUCCESS);

  ASSERT_TRUE(last.Wait(dispatch::After(std::chrono::seconds(60))));
  port.reset();
  ASSERT_TRUE(finished.Wait(dispatch::After(std::chrono::seconds(60))));
  std::lock_guard lock(mutex);
  EXPECT_THAT(updates, testing::ElementsAre(ProgressUpdate(0.25), ProgressUpdate("other id"),
                                            ProgressUpdate("done")));
  EXPECT_EQ(mach_stand_in::OutstandingRegions(), 0u);

  // With the port gone, sending fails and releases the region.
  EXPECT_EQ(SendProgress(sender, 0.5), MACH_SEND_INVALID_DEST);
  EXPECT_EQ(mach_stand_in::OutstandingRegions(), 0u);
}

}  // namespace
}  // namespace mach
