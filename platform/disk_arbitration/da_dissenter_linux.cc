#if !defined(__linux__)
#error "da_dissenter_linux.cc is the Linux disk-arbitration stand-in"
#endif

#include <unistd.h>

#include <cstdio>

#include "platform/disk_arbitration/da_internal_linux.h"

namespace platform {

DADissenterRef DADissenterCreate(DAReturn status, mcom::cf::Ref<mcom::cf::String> string) {
  auto* dissenter = new DADissenter;
  dissenter->status = status;
  dissenter->string = std::move(string);
  dissenter->process = ::getpid();
  return dissenter;
}

DAReturn DADissenterGetStatus(DADissenterRef dissenter) {
  return dissenter != nullptr ? dissenter->status : kDAReturnSuccess;
}

mcom::cf::Ref<mcom::cf::String> DADissenterGetStatusString(DADissenterRef dissenter) {
  return dissenter != nullptr ? dissenter->string : nullptr;
}

DADissenterRef CFRetain(DADissenterRef dissenter) {
  if (dissenter != nullptr) dissenter->references.fetch_add(1, std::memory_order_relaxed);
  return dissenter;
}

void CFRelease(DADissenterRef dissenter) {
  if (dissenter != nullptr && dissenter->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete dissenter;
  }
}

std::string CFCopyDescription(DADissenterRef dissenter) {
  if (dissenter == nullptr) return "(null)";
  char status[16];
  std::snprintf(status, sizeof status, "0x%08x", static_cast<uint32_t>(dissenter->status));
  std::string text =
      "{ DAProcessID = " + std::to_string(dissenter->process) + "; DAStatus = " + status + ";";
  if (dissenter->string) text += " DAStatusString = \"" + dissenter->string->utf8() + "\";";
  return text + " }";
}

}  // namespace platform
