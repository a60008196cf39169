#pragma once

// How each argument and result type travels in a message. ArgumentCoding<T> gives, for a
// type T declared in a message kind:
//
//   kSize          bytes T takes in the body (a descriptor or inline data)
//   kDescriptors   1 when T travels as a descriptor, 0 when inline
//   Decoded        what the receiver gets (a made send right arrives as a PortRight<Send>)
//   Encode(writer, value)   appends T; the kernel's code when a region cannot be made
//   Decode(reader, &value)  moves T out of a received message; MIG_TYPE_ERROR ("mach") for a
//                           descriptor of the wrong kind or an invalid payload
//
//   type                          travels as
//   APFSContainerName, DiskName   own 8-byte out-of-line region
//   PortRight<Send> (argument)    port descriptor, make-send from the caller's receive right
//   Make<PortRight<Send>>         port descriptor, make-send
//   mcom::File                    port descriptor holding a file port, move-send (name 0 when
//                                 the file port cannot be made)
//   std::optional<Error>          out-of-line region; none: address 0, size 0, flags 0
//   ProgressUpdate                out-of-line region
//   AuthorizationExternalForm     32 bytes inline
//   NoSendersInfo                 inline: 8-byte format record, make-send count (u32)

#include <optional>
#include <system_error>

#include "core/foundation/disk_name.h"
#include "core/foundation/error.h"
#include "core/foundation/error_category.h"
#include "core/foundation/file.h"
#include "transport/authorization_external_form.h"
#include "transport/mach.h"
#include "transport/message_layout.h"
#include "transport/message_reader.h"
#include "transport/message_writer.h"
#include "transport/no_senders_info.h"
#include "transport/payload_coding.h"
#include "transport/port_right.h"
#include "transport/progress_update.h"

namespace mach {

// The decoding failure of a message whose layout or payload is not what its kind declares.
inline std::error_code TypeError() { return std::error_code(MIG_TYPE_ERROR, error_category()); }

template <typename T>
struct ArgumentCoding;

namespace internal {

// A payload in a fresh region, described by the next descriptor.
kern_return_t PutPayload(MessageWriter& writer, const PayloadBuffer& payload);

template <typename Name>
struct DiskNameCoding {
  static constexpr mach_msg_size_t kSize = kRegionDescriptorSize;
  static constexpr mach_msg_size_t kDescriptors = 1;
  using Decoded = Name;
};

}  // namespace internal

template <>
struct ArgumentCoding<mcom::DiskName> : internal::DiskNameCoding<mcom::DiskName> {
  static kern_return_t Encode(MessageWriter& writer, const mcom::DiskName& value);
  static std::error_code Decode(MessageReader& reader, mcom::DiskName* value);
};

template <>
struct ArgumentCoding<APFSContainerName> : internal::DiskNameCoding<APFSContainerName> {
  static kern_return_t Encode(MessageWriter& writer, const APFSContainerName& value);
  static std::error_code Decode(MessageReader& reader, APFSContainerName* value);
};

template <>
struct ArgumentCoding<PortRight<Send>> {
  static constexpr mach_msg_size_t kSize = kPortDescriptorSize;
  static constexpr mach_msg_size_t kDescriptors = 1;
  using Decoded = PortRight<Send>;
  // The caller holds the receive right; the message makes the send right.
  static kern_return_t Encode(MessageWriter& writer, const PortRight<Receive>& receive);
  static kern_return_t Encode(MessageWriter& writer, const Make<PortRight<Send>>& make);
  // A port descriptor with a send right; a missing one (name 0) is refused.
  static std::error_code Decode(MessageReader& reader, PortRight<Send>* value);
};

template <>
struct ArgumentCoding<Make<PortRight<Send>>> {
  static constexpr mach_msg_size_t kSize = kPortDescriptorSize;
  static constexpr mach_msg_size_t kDescriptors = 1;
  using Decoded = PortRight<Send>;
  static kern_return_t Encode(MessageWriter& writer, const Make<PortRight<Send>>& make);
  static std::error_code Decode(MessageReader& reader, PortRight<Send>* value);
};

template <>
struct ArgumentCoding<mcom::File> {
  static constexpr mach_msg_size_t kSize = kPortDescriptorSize;
  static constexpr mach_msg_size_t kDescriptors = 1;
  using Decoded = mcom::File;
  // The file stays open in the sender; the message carries a file port of it.
  static kern_return_t Encode(MessageWriter& writer, const mcom::File& file);
  // Turns the file port into a descriptor and releases the port either way; a failed
  // conversion (also of name 0) is errno in the system category.
  static std::error_code Decode(MessageReader& reader, mcom::File* value);
};

template <>
struct ArgumentCoding<std::optional<Error>> {
  static constexpr mach_msg_size_t kSize = kRegionDescriptorSize;
  static constexpr mach_msg_size_t kDescriptors = 1;
  using Decoded = std::optional<Error>;
  static kern_return_t Encode(MessageWriter& writer, const std::optional<Error>& error);
  // A descriptor with address 0 or size 0 is no error.
  static std::error_code Decode(MessageReader& reader, std::optional<Error>* value);
};

template <>
struct ArgumentCoding<ProgressUpdate> {
  static constexpr mach_msg_size_t kSize = kRegionDescriptorSize;
  static constexpr mach_msg_size_t kDescriptors = 1;
  using Decoded = ProgressUpdate;
  static kern_return_t Encode(MessageWriter& writer, const ProgressUpdate& update);
  // An index other than 0 or 1 has no value and fails like any invalid payload.
  static std::error_code Decode(MessageReader& reader, ProgressUpdate* value);
};

template <>
struct ArgumentCoding<AuthorizationExternalForm> {
  static constexpr mach_msg_size_t kSize = sizeof(AuthorizationExternalForm);
  static constexpr mach_msg_size_t kDescriptors = 0;
  using Decoded = AuthorizationExternalForm;
  static kern_return_t Encode(MessageWriter& writer, const AuthorizationExternalForm& form);
  static std::error_code Decode(MessageReader& reader, AuthorizationExternalForm* value);
};

template <>
struct ArgumentCoding<NoSendersInfo> {
  static constexpr mach_msg_size_t kSize = sizeof(NDR_record_t) + sizeof(mach_port_mscount_t);
  static constexpr mach_msg_size_t kDescriptors = 0;
  using Decoded = NoSendersInfo;
  static kern_return_t Encode(MessageWriter& writer, const NoSendersInfo& info);
  static std::error_code Decode(MessageReader& reader, NoSendersInfo* value);
};

}  // namespace mach
