#include <gmock/gmock.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <set>
#include <string>

#include "platform/security_error.h"

namespace {

using platform::SecurityErrorMessage;

TEST(SecurityErrorMessage, TextsOfTheStatusesTheSystemMeets) {
  // A few of each header's, the first and last of the table among them.
  for (const auto& [status, text] : std::initializer_list<std::pair<int, const char*>>{
           {-67072, "unimplemented code signing feature"},
           {-67062, "code object is not signed at all"},
           {-67061, "invalid signature (code or signature have been modified)"},
           {-67050, "code failed to satisfy specified code requirement(s)"},
           {-66996, "signature is valid but signer is not trusted"},
           {-60005, "The authorization was denied."},
           {-60006, "The authorization was canceled by the user."},
           {-60031, "The specified program could not be executed."},
           {-25300, "The specified item could not be found in the keychain."},
           {-50, "One or more parameters passed to a function were not valid."},
           {0, "No error."},
       }) {
    EXPECT_EQ(SecurityErrorMessage(status), std::optional<std::string>(text)) << status;
  }
}

TEST(SecurityErrorMessage, EveryKnownStatusHasATextOfItsOwn) {
  // The code-signing and authorization ranges: each status has its own text or the fallback.
  std::set<std::string> texts;
  int known = 0;
  for (int status = -67072; status <= -60001; ++status) {
    const std::optional<std::string> text = SecurityErrorMessage(status);
    ASSERT_TRUE(text.has_value()) << status;
    if (*text == "OSStatus " + std::to_string(status)) continue;
    ++known;
    EXPECT_FALSE(text->empty()) << status;
    EXPECT_EQ(text->find("OSStatus"), std::string::npos) << status;
    EXPECT_TRUE(texts.insert(*text).second) << status << " repeats " << *text;
  }
  EXPECT_GE(known, 40);
}

TEST(SecurityErrorMessage, ErrnoStatusesCarryTheBsdText) {
  for (int error : {0, EPERM, ENOENT, 255}) {
    EXPECT_EQ(SecurityErrorMessage(100000 + error),
              "UNIX[" + std::string(std::strerror(error)) + "]");
  }
  EXPECT_EQ(SecurityErrorMessage(100000 + ENOENT), "UNIX[No such file or directory]");
}

TEST(SecurityErrorMessage, AnyOtherStatusIsNamedByNumber) {
  // Just outside each range, obsolete statuses and the extremes.
  for (int status : {99999, 100256, -67073, -67038, -66989, -12345, 1, INT_MIN, INT_MAX}) {
    EXPECT_EQ(SecurityErrorMessage(status), "OSStatus " + std::to_string(status));
  }
  EXPECT_EQ(SecurityErrorMessage(INT_MIN), "OSStatus -2147483648");
}

}  // namespace
