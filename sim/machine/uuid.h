#pragma once

#include <string>
#include <string_view>

namespace sim {

// A new random UUID (version 4) in the registry's form: upper-case hexadecimal,
// "8-4-4-4-12" ("3D5C4B9A-1E2F-4A6B-9C8D-7E6F5A4B3C2D"). Reads the kernel's random source;
// throws MachineError when it cannot.
std::string NewUUID();

// Whether `text` has the form above (hexadecimal digits of either case).
bool IsUUID(std::string_view text);

}  // namespace sim
