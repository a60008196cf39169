#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <string>

#include "platform/security_error.h"

namespace {

struct Case {
  platform::OSStatus status;
  const char* text;
};

void ExpectTexts(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(platform::SecurityErrorMessage(c.status), std::optional<std::string>(c.text))
        << "status " << c.status;
  }
}

TEST(SecurityErrorMessage, CodeSigningStatuses) {
  ExpectTexts({
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
  });
}

TEST(SecurityErrorMessage, AuthorizationAndGeneralStatuses) {
  ExpectTexts({
      {0, "No error."},
      {-50, "One or more parameters passed to a function were not valid."},
      {-108, "Failed to allocate memory."},
      {-25291, "No keychain is available. You may need to restart your computer."},
      {-25300, "The specified item could not be found in the keychain."},
      {-60001, "The set parameter is invalid."},
      {-60002, "The authorization parameter is invalid."},
      {-60005, "The authorization was denied."},
      {-60006, "The authorization was canceled by the user."},
      {-60007, "The authorization was denied since no user interaction was possible."},
      {-60008, "Unable to obtain authorization for this operation."},
      {-60009, "The authorization is not allowed to be converted to an external format."},
      {-60010, "The authorization is not allowed to be created from an external format."},
      {-60031, "The specified program could not be executed."},
  });
}

TEST(SecurityErrorMessage, ErrnoStatusesCarryTheBsdText) {
  EXPECT_EQ(platform::SecurityErrorMessage(100000 + EPERM),
            "UNIX[" + std::string(std::strerror(EPERM)) + "]");
  EXPECT_EQ(platform::SecurityErrorMessage(100000 + ENOENT), "UNIX[No such file or directory]");
  EXPECT_EQ(platform::SecurityErrorMessage(100000), "UNIX[" + std::string(std::strerror(0)) + "]");
  EXPECT_EQ(platform::SecurityErrorMessage(100255),
            "UNIX[" + std::string(std::strerror(255)) + "]");
}

TEST(SecurityErrorMessage, AnyOtherStatusIsNamedByNumber) {
  ExpectTexts({
      {99999, "OSStatus 99999"},
      {100256, "OSStatus 100256"},
      {-67073, "OSStatus -67073"},
      {-67038, "OSStatus -67038"},  // obsolete, no longer issued
      {-66989, "OSStatus -66989"},
      {-12345, "OSStatus -12345"},
      {1, "OSStatus 1"},
      {INT_MIN, "OSStatus -2147483648"},
      {INT_MAX, "OSStatus 2147483647"},
  });
}

}  // namespace
