#include "transport/argument_coding.h"

#include <cerrno>

namespace mach {
namespace internal {

kern_return_t PutPayload(MessageWriter& writer, const PayloadBuffer& payload) {
  mach_vm_address_t address = 0;
  if (const kern_return_t result = payload.CopyToRegion(&address)) return result;
  writer.PutRegion(address, static_cast<mach_msg_size_t>(payload.size()));
  return KERN_SUCCESS;
}

namespace {

// The payload of the next descriptor, or nothing when that is no region.
template <typename Read>
std::error_code ReadPayload(MessageReader& reader, Read read) {
  Region region;
  if (!reader.TakeRegion(&region) || region.empty()) return TypeError();
  PayloadReader payload(region.data(), region.size());
  return read(payload) ? std::error_code() : TypeError();
}

std::error_code DecodeDiskName(MessageReader& reader, mcom::DiskName* value) {
  return ReadPayload(reader, [&](PayloadReader& payload) {
    const std::optional<mcom::DiskName> name = ReadDiskName(payload);
    if (name) *value = *name;
    return name.has_value();
  });
}

kern_return_t EncodeDiskName(MessageWriter& writer, mcom::DiskName name) {
  PayloadBuffer payload;
  AppendDiskName(payload, name);
  return PutPayload(writer, payload);
}

std::error_code DecodeSendRight(MessageReader& reader, PortRight<Send>* value) {
  mach_port_t name = MACH_PORT_NULL;
  if (!reader.TakePort(MACH_MSG_TYPE_PORT_SEND, &name)) return TypeError();
  if (name == MACH_PORT_NULL) return TypeError();
  *value = PortRight<Send>(name);
  return {};
}

}  // namespace
}  // namespace internal

kern_return_t ArgumentCoding<mcom::DiskName>::Encode(MessageWriter& writer,
                                                     const mcom::DiskName& value) {
  return internal::EncodeDiskName(writer, value);
}

std::error_code ArgumentCoding<mcom::DiskName>::Decode(MessageReader& reader,
                                                       mcom::DiskName* value) {
  return internal::DecodeDiskName(reader, value);
}

kern_return_t ArgumentCoding<APFSContainerName>::Encode(MessageWriter& writer,
                                                        const APFSContainerName& value) {
  return internal::EncodeDiskName(writer, value.name);
}

std::error_code ArgumentCoding<APFSContainerName>::Decode(MessageReader& reader,
                                                          APFSContainerName* value) {
  return internal::DecodeDiskName(reader, &value->name);
}

kern_return_t ArgumentCoding<PortRight<Send>>::Encode(MessageWriter& writer,
                                                      const PortRight<Receive>& receive) {
  writer.PutPort(receive.get(), MACH_MSG_TYPE_MAKE_SEND);
  return KERN_SUCCESS;
}

kern_return_t ArgumentCoding<PortRight<Send>>::Encode(MessageWriter& writer,
                                                      const Make<PortRight<Send>>& make) {
  writer.PutPort(make.name, MACH_MSG_TYPE_MAKE_SEND);
  return KERN_SUCCESS;
}

std::error_code ArgumentCoding<PortRight<Send>>::Decode(MessageReader& reader,
                                                        PortRight<Send>* value) {
  return internal::DecodeSendRight(reader, value);
}

kern_return_t ArgumentCoding<Make<PortRight<Send>>>::Encode(MessageWriter& writer,
                                                            const Make<PortRight<Send>>& make) {
  writer.PutPort(make.name, MACH_MSG_TYPE_MAKE_SEND);
  return KERN_SUCCESS;
}

std::error_code ArgumentCoding<Make<PortRight<Send>>>::Decode(MessageReader& reader,
                                                              PortRight<Send>* value) {
  return internal::DecodeSendRight(reader, value);
}

kern_return_t ArgumentCoding<mcom::File>::Encode(MessageWriter& writer, const mcom::File& file) {
  mach_port_t port = MACH_PORT_NULL;
  if (fileport_makeport(file.get(), &port) != 0) port = MACH_PORT_NULL;
  writer.PutPort(port, MACH_MSG_TYPE_MOVE_SEND);
  return KERN_SUCCESS;
}

std::error_code ArgumentCoding<mcom::File>::Decode(MessageReader& reader, mcom::File* value) {
  mach_port_t port = MACH_PORT_NULL;
  if (!reader.TakePort(MACH_MSG_TYPE_PORT_SEND, &port)) return TypeError();
  const int fd = fileport_makefd(port);
  const int error = errno;
  if (port != MACH_PORT_NULL) mach_port_deallocate(mach_task_self(), port);
  if (fd < 0) return std::error_code(error, std::system_category());
  *value = mcom::File(fd);
  return {};
}

kern_return_t ArgumentCoding<std::optional<Error>>::Encode(MessageWriter& writer,
                                                           const std::optional<Error>& error) {
  if (!error) {
    writer.PutRegion(0, 0);
    return KERN_SUCCESS;
  }
  PayloadBuffer payload;
  AppendError(payload, *error);
  return internal::PutPayload(writer, payload);
}

std::error_code ArgumentCoding<std::optional<Error>>::Decode(MessageReader& reader,
                                                             std::optional<Error>* value) {
  Region region;
  if (!reader.TakeRegion(&region)) return TypeError();
  if (region.empty()) {
    value->reset();
    return {};
  }
  PayloadReader payload(region.data(), region.size());
  std::optional<Error> error = ReadError(payload);
  if (!error) return TypeError();
  *value = std::move(error);
  return {};
}

kern_return_t ArgumentCoding<ProgressUpdate>::Encode(MessageWriter& writer,
                                                     const ProgressUpdate& update) {
  PayloadBuffer payload;
  AppendProgressUpdate(payload, update);
  return internal::PutPayload(writer, payload);
}

std::error_code ArgumentCoding<ProgressUpdate>::Decode(MessageReader& reader,
                                                       ProgressUpdate* value) {
  return internal::ReadPayload(reader, [&](PayloadReader& payload) {
    std::optional<ProgressUpdate> update = ReadProgressUpdate(payload);
    if (update) *value = std::move(*update);
    return update.has_value();
  });
}

kern_return_t ArgumentCoding<AuthorizationExternalForm>::Encode(
    MessageWriter& writer, const AuthorizationExternalForm& form) {
  writer.PutInline(&form, sizeof form);
  return KERN_SUCCESS;
}

std::error_code ArgumentCoding<AuthorizationExternalForm>::Decode(
    MessageReader& reader, AuthorizationExternalForm* value) {
  return reader.ReadInline(value, sizeof *value) ? std::error_code() : TypeError();
}

kern_return_t ArgumentCoding<NoSendersInfo>::Encode(MessageWriter& writer,
                                                    const NoSendersInfo& info) {
  NDR_record_t record{};
  record.int_rep = 1;  // little-endian integers
  writer.PutInline(&record, sizeof record);
  writer.PutInline(&info.make_send_count, sizeof info.make_send_count);
  return KERN_SUCCESS;
}

std::error_code ArgumentCoding<NoSendersInfo>::Decode(MessageReader& reader, NoSendersInfo* value) {
  NDR_record_t record;
  if (!reader.ReadInline(&record, sizeof record) ||
      !reader.ReadInline(&value->make_send_count, sizeof value->make_send_count)) {
    return TypeError();
  }
  return {};
}

}  // namespace mach
