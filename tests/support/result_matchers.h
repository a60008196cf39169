#pragma once

// Matchers for the foundation's result types:
//
//   EXPECT_THAT(mcom::Open(path, mcom::kOpenRead), Succeeded());
//   EXPECT_THAT(mcom::Unlink(missing), FailedWith(std::errc::no_such_file_or_directory));
//   EXPECT_THAT(file.ReadAll(), HasValue(IsEmpty()));

#include <gmock/gmock.h>

#include <system_error>

#include "core/foundation/result.h"

namespace testing {
namespace result_internal {

template <typename T>
bool IsSuccess(const mcom::Result<T>& result) {
  return result.has_value();
}
inline bool IsSuccess(const std::error_code& error) { return !error; }

template <typename T>
std::error_code ErrorOf(const mcom::Result<T>& result) {
  return result.error();
}
inline std::error_code ErrorOf(const std::error_code& error) { return error; }

}  // namespace result_internal

MATCHER(Succeeded, "succeeds") {
  const std::error_code error = result_internal::ErrorOf(arg);
  if (!result_internal::IsSuccess(arg)) *result_listener << "failed with " << error.message();
  return result_internal::IsSuccess(arg);
}

MATCHER_P(FailedWith, condition, "fails with " + std::make_error_code(condition).message()) {
  const std::error_code error = result_internal::ErrorOf(arg);
  if (result_internal::IsSuccess(arg)) {
    *result_listener << "succeeded";
    return false;
  }
  *result_listener << "failed with " << error.value() << " (" << error.message() << ")";
  return error == condition;
}

MATCHER_P(FailedWithValue, value, "fails with code " + PrintToString(value)) {
  const std::error_code error = result_internal::ErrorOf(arg);
  *result_listener << "code " << error.value() << " (" << error.category().name() << ")";
  return !result_internal::IsSuccess(arg) && error.value() == value;
}

MATCHER_P(HasValue, matcher, "holds a matching value") {
  if (!arg.has_value()) {
    *result_listener << "failed with " << arg.error().message();
    return false;
  }
  return ExplainMatchResult(matcher, *arg, result_listener);
}

}  // namespace testing
