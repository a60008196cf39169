#pragma once

// Matchers for the engine's Error and for thrown errors:
//
//   EXPECT_THAT(error, ErrorIs("AttachImage", HasSubstr("busy")));
//   EXPECT_THAT(error, ErrorIs("PerformBackup", _, ErrorIs("CreateSparseImage", "disk full")));
//   EXPECT_THAT([&] { engine.Run(); }, ThrowsError("PerformRestore", StartsWith("failed")));
//   EXPECT_THAT([&] { query.Next(); }, ThrowsSystemError(expected_code));
//
// The operation and the message are each a text or a string matcher; the cause is a matcher
// of an Error. gmock's ThrowsMessage<E>(matcher) covers the std::exception family.

#include <gmock/gmock.h>

#include <string>
#include <system_error>

#include "core/foundation/error.h"

namespace testing {

// An Error whose operation and message match; the listener shows the whole description.
MATCHER_P2(ErrorIs, operation, message,
           "is an Error whose operation " +
               DescribeMatcher<const std::string&>(operation, negation) + " and whose message " +
               DescribeMatcher<const std::string&>(message, negation)) {
  const Error& error = arg;
  *result_listener << "which is \"" << error.FullDescription() << "\"";
  return Matches(MatcherCast<const std::string&>(operation))(error.operation()) &&
         Matches(MatcherCast<const std::string&>(message))(error.message());
}

// The same, with a cause that matches `cause`.
MATCHER_P3(ErrorIs, operation, message, cause,
           "is an Error whose operation " +
               DescribeMatcher<const std::string&>(operation, negation) + ", whose message " +
               DescribeMatcher<const std::string&>(message, negation) + " and whose cause " +
               DescribeMatcher<const Error&>(cause, negation)) {
  const Error& error = arg;
  *result_listener << "which is \"" << error.FullDescription() << "\"";
  return Matches(MatcherCast<const std::string&>(operation))(error.operation()) &&
         Matches(MatcherCast<const std::string&>(message))(error.message()) &&
         error.cause() != nullptr && Matches(MatcherCast<const Error&>(cause))(*error.cause());
}

// A callable that throws an Error matching ErrorIs(matchers...).
template <typename... Matchers>
auto ThrowsError(Matchers... matchers) {
  return Throws<Error>(ErrorIs(matchers...));
}

// A callable that throws a std::system_error whose code matches `code` (a std::error_code, a
// portable condition or a matcher).
template <typename CodeMatcher>
auto ThrowsSystemError(CodeMatcher code) {
  return Throws<std::system_error>(Property("code", &std::system_error::code, code));
}

// The Error `call` throws, for tests that look further into it; a failure of the test (and an
// Error with empty texts) when it throws none.
template <typename Call>
Error ErrorThrownBy(Call call) {
  try {
    call();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "no Error was thrown";
  return Error("", "");
}

}  // namespace testing
