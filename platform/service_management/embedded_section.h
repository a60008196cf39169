#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

namespace platform {

// The bytes a program carries in the section `name` of its executable file `file` (on the
// Mac a section of the __TEXT segment, such as "__launchd_plist"; here an ELF section of that
// name), without the NUL bytes that end it. ENOEXEC (generic category) for a file that is no
// 64-bit little-endian ELF file or whose section table does not fit in it; ENOENT when it has
// no such section. Never reads outside `file`.
std::error_code ReadEmbeddedSection(std::span<const uint8_t> file, std::string_view name,
                                    std::string* contents);

}  // namespace platform
