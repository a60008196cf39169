#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The version of this Mac's recovery system, read from the "SystemVersion.plist" inside its
// "BaseSystem.dmg".
struct RecoverySystemVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t patch = 0;
};

// Finds the recovery volume, attaches its Base System image read-only and mounted, and reads
// the image's "ProductVersion". Nothing when there is no recovery volume, the image cannot be
// attached or mounted, or the version is not "major.minor[.patch]". The image is detached
// again before this returns.
std::optional<RecoverySystemVersion> ReadRecoverySystemVersion();

// "10.15.7" → 10, 15, 7; "11.2" → 11, 2, 0; fewer than two numbers → nothing.
std::optional<RecoverySystemVersion> ParseProductVersion(const std::string& text);
