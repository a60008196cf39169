#include "transport/payload_coding.h"

#include <string>
#include <utility>
#include <vector>

namespace mach {

void AppendDiskName(PayloadBuffer& payload, mcom::DiskName name) {
  payload.AppendUInt32(name.disk);
  payload.AppendInt32(name.has_slice() ? static_cast<int32_t>(name.slice) : -1);
}

std::optional<mcom::DiskName> ReadDiskName(PayloadReader& reader) {
  uint32_t disk = 0;
  int32_t slice = 0;
  if (!reader.ReadUInt32(&disk) || !reader.ReadInt32(&slice) || !reader.AtEnd()) {
    return std::nullopt;
  }
  mcom::DiskName name;
  name.disk = disk;
  name.slice = slice < 0 ? mcom::DiskName::kNoSlice : static_cast<uint32_t>(slice);
  return name;
}

void AppendError(PayloadBuffer& payload, const Error& error) {
  // Written link by link rather than recursively: the chain's length is the sender's choice.
  for (const Error* link = &error; link != nullptr; link = link->cause().get()) {
    payload.AppendString(link->operation());
    payload.AppendString(link->message());
    payload.AppendUInt32(link->cause() ? 1 : 0);
  }
}

std::optional<Error> ReadError(PayloadReader& reader) {
  std::vector<std::pair<std::string, std::string>> links;
  for (;;) {
    std::string operation;
    std::string message;
    uint32_t has_cause = 0;
    if (!reader.ReadString(&operation) || !reader.ReadString(&message) ||
        !reader.ReadUInt32(&has_cause) || has_cause > 1) {
      return std::nullopt;
    }
    links.emplace_back(std::move(operation), std::move(message));
    if (has_cause == 0) break;
    if (links.size() > kMaxErrorCauses) return std::nullopt;
  }
  if (!reader.AtEnd()) return std::nullopt;
  // Built from the innermost cause outwards.
  std::optional<Error> error;
  for (auto link = links.rbegin(); link != links.rend(); ++link) {
    error = error ? Error(std::move(link->first), std::move(link->second), *error)
                  : Error(std::move(link->first), std::move(link->second));
  }
  return error;
}

void AppendProgressUpdate(PayloadBuffer& payload, const ProgressUpdate& update) {
  payload.AppendUInt32(static_cast<uint32_t>(update.index()));
  if (const double* fraction = std::get_if<double>(&update)) {
    payload.AppendDouble(*fraction);
  } else {
    payload.AppendString(std::get<std::string>(update));
  }
}

std::optional<ProgressUpdate> ReadProgressUpdate(PayloadReader& reader) {
  uint32_t index = 0;
  if (!reader.ReadUInt32(&index)) return std::nullopt;
  std::optional<ProgressUpdate> update;
  if (index == 0) {
    double fraction = 0;
    if (reader.ReadDouble(&fraction)) update = fraction;
  } else if (index == 1) {
    std::string text;
    if (reader.ReadString(&text)) update = std::move(text);
  }
  if (!update || !reader.AtEnd()) return std::nullopt;
  return update;
}

}  // namespace mach
