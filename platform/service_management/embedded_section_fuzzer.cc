// The embedded-section reader on arbitrary files: never reads outside them, never crashes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/service_management/embedded_section.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string contents;
  (void)platform::ReadEmbeddedSection(std::span<const uint8_t>(data, size), "__launchd_plist",
                                      &contents);
  return 0;
}
