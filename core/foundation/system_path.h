#pragma once

#include <string_view>

#include "core/foundation/file_path.h"

namespace mcom {

// The machine root: the folder that stands for "/" of the Mac the system runs on. On a Mac
// it is "/"; on Linux it is the folder of a simulated Mac. It comes from the environment
// variable DORVANE_SYSTEM_ROOT, read on first use ("/" when unset or empty), unless a
// program set it explicitly first (a --root option).
//
// Every absolute macOS path the system writes as a literal ("/usr/bin/hdiutil",
// "/private/var/log/system.log", "/tmp/.XXXXXX") goes through SystemPath. Paths that come
// back from tools, the registry or the mount service are host paths already and are used
// as they are.
//
// Thread-safe; a root set while other threads resolve paths is seen by later calls.
FilePath SystemRoot();
void SetSystemRoot(const FilePath& root);

// `mac_path` (absolute) under the machine root: "/usr/bin/hdiutil" with root "/sim/mac"
// gives "/sim/mac/usr/bin/hdiutil"; with root "/" it stays "/usr/bin/hdiutil".
FilePath SystemPath(std::string_view mac_path);

}  // namespace mcom
