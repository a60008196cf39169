#include "transport/progress_message.h"

#include <cstdint>

#include "transport/message_catalogue.h"
#include "transport/message_reader.h"
#include "transport/message_writer.h"

namespace mach {

mach_msg_return_t SendProgress(const PortRight<Send>& port, const ProgressUpdate& update) {
  constexpr MessageShape shape = ProgressMessage::kRequest;
  alignas(8) uint8_t storage[shape.size];
  MessageWriter writer(storage, shape, kOneWayBits, port.get(), MACH_PORT_NULL, kProgressMessageId);
  if (const kern_return_t result = ArgumentCoding<ProgressUpdate>::Encode(writer, update)) {
    return result;
  }
  const mach_msg_return_t result = mach_msg(writer.header(), MACH_SEND_MSG, shape.size, 0,
                                            MACH_PORT_NULL, MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
  if (result == MACH_SEND_INVALID_DEST) ReleaseUnsentMessage(writer.header());
  return result;
}

std::optional<ProgressUpdate> DecodeProgressMessage(MessageBuffer& message) {
  if (!HasShape(message.header(), ProgressMessage::kRequest)) return std::nullopt;
  MessageReader reader(message.header());
  ProgressUpdate update;
  if (ArgumentCoding<ProgressUpdate>::Decode(reader, &update)) return std::nullopt;
  return update;
}

}  // namespace mach
