#ifndef __linux__
#error "This file implements the Security framework's status texts for Linux only."
#endif

#include <algorithm>
#include <iterator>
#include <system_error>

#include "platform/security_error.h"

// The Security framework's message table is generated from the trailing comment of each
// status in its public headers, so each text below is that comment. Only the statuses the
// system can meet are carried (code signing, authorization and the few general ones its
// calls return); any other status gets the framework's own fallback text, as an unlisted
// status does on the Mac.

namespace platform {
namespace {

struct StatusText {
  OSStatus status;
  const char* text;
};

// Sorted by status, for the binary search below.
constexpr StatusText kTexts[] = {
    // Code signing (CSCommon.h).
    {-67072, "unimplemented code signing feature"},
    {-67071, "invalid API object reference"},
    {-67070, "invalid or inappropriate API flag(s) specified"},
    {-67069, "a required pointer argument was NULL"},
    {-67068, "cannot find code object on disk"},
    {-67067, "cannot locate guests using this attribute set"},
    {-67066, "given attribute values are invalid"},
    {-67065, "host has no guest with the requested attributes"},
    {-67064,
     "ambiguous guest speci"
     "fication (host has multiple guests with these attribute values)"},
    {-67063, "code identity has been invalidated"},
    {-67062, "code object is not signed at all"},
    {-67061, "invalid signature (code or signature have been modified)"},
    {-67060, "the code cannot be read by the verifier (file system permissions etc.)"},
    {-67059, "unsupported type or version of signature"},
    {-67058, "a required plist file or resource is malformed"},
    {-67057, "resources are present but not sealed by signature"},
    {-67056, "code has no resources but signature indicates they must be present"},
    {-67055, "the sealed resource directory is invalid"},
    {-67054, "a sealed resource is missing or invalid"},
    {-67053,
     "invalid resource speci"
     "fication rule(s)"},
    {-67052, "invalid or corrupted code requirement(s)"},
    {-67051, "unsupported type or version of code requirement(s)"},
    {-67050, "code failed to satisfy specified code requirement(s)"},
    {-67049, "object file format unrecognized, invalid, or unsuitable"},
    {-67048, "internal error in Code Signing subsystem"},
    {-67047, "code rejected its host"},
    {-67046, "attempt to specify guest of code that is not a host"},
    {-67045, "invalid or unsupported format for signature"},
    {-67034, "the code on disk does not match what is running"},
    {-67030, "invalid Info.plist (plist or signature have been modified)"},
    {-67029, "the code has no main executable file"},
    {-67022, "nested code is unsigned"},
    {-67021, "nested code is modified or invalid"},
    {-66996, "signature is valid but signer is not trusted"},
    // Authorization Services (Authorization.h).
    {-60033, "The requested socket address is invalid (must be 0-1023 inclusive)."},
    {-60032, "An invalid status was returned during execution of a privileged tool."},
    {-60031, "The specified program could not be executed."},
    {-60011, "The provided option flag(s) are invalid for this authorization operation."},
    {-60010, "The authorization is not allowed to be created from an external format."},
    {-60009, "The authorization is not allowed to be converted to an external format."},
    {-60008, "Unable to obtain authorization for this operation."},
    {-60007, "The authorization was denied since no user interaction was possible."},
    {-60006, "The authorization was canceled by the user."},
    {-60005, "The authorization was denied."},
    {-60004, "The authorizedRights parameter is invalid."},
    {-60003, "The tag parameter is invalid."},
    {-60002, "The authorization parameter is invalid."},
    {-60001, "The set parameter is invalid."},
    // General statuses (SecBase.h).
    {-25300, "The specified item could not be found in the keychain."},
    {-25291, "No keychain is available. You may need to restart your computer."},
    {-108, "Failed to allocate memory."},
    {-50, "One or more parameters passed to a function were not valid."},
    {0, "No error."},
};

constexpr bool IsSorted() {
  for (size_t i = 1; i < std::size(kTexts); ++i) {
    if (kTexts[i - 1].status >= kTexts[i].status) return false;
  }
  return true;
}
static_assert(IsSorted(), "kTexts must be sorted by status without duplicates");

// errSecErrnoBase … errSecErrnoLimit: a BSD errno carried in an OSStatus.
constexpr OSStatus kErrnoBase = 100000;
constexpr OSStatus kErrnoLimit = 100255;

}  // namespace

std::optional<std::string> SecurityErrorMessage(OSStatus status) {
  const auto* found = std::lower_bound(
      std::begin(kTexts), std::end(kTexts), status,
      [](const StatusText& entry, OSStatus value) { return entry.status < value; });
  if (found != std::end(kTexts) && found->status == status) return std::string(found->text);

  if (status >= kErrnoBase && status <= kErrnoLimit) {
    // The generic category's message is strerror's text, taken without strerror's shared
    // buffer so that this stays safe to call from any thread.
    return "UNIX[" + std::generic_category().message(status - kErrnoBase) + "]";
  }
  return "OSStatus " + std::to_string(status);
}

}  // namespace platform
