#pragma once

#include <stdexcept>
#include <string>

#include "core/foundation/error.h"

namespace app {

// A core-library Error as the application's screens receive it: the error's operation as
// the domain, code 1, and the full description (operation, message and every cause) as the
// localized description, which is what().
class PlatformError : public std::runtime_error {
 public:
  explicit PlatformError(const Error& error);

  const std::string& domain() const { return domain_; }
  int code() const { return 1; }
  std::string localizedDescription() const { return what(); }
  // The Error it was made from, for callers that report its structure (operation, message,
  // causes) rather than one text.
  const Error& error() const { return error_; }

 private:
  std::string domain_;
  Error error_;
};

}  // namespace app
