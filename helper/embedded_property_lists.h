#pragma once

#include <string_view>

// The property lists the helper carries in its executable, as the service manager wants them
// (helper/launchd.plist and helper/Info.plist): the launchd job, which the installer writes
// to "/Library/LaunchDaemons" with the program's path added, and the information property
// list, which the signature also seals. Each sits in a section of its own, where a reader of
// the file finds it without running the program.
namespace helper {

inline constexpr char kLaunchdPlistSection[] = "__launchd_plist";
inline constexpr char kInfoPlistSection[] = "__info_plist";

std::string_view EmbeddedLaunchdPropertyList();
std::string_view EmbeddedInfoPropertyList();

}  // namespace helper
