#pragma once

#include <optional>

#include "transport/authorization_external_form.h"

namespace helper {

// The external form of an authorization holding the right to bless the helper, made the
// first time it is asked for and kept for the life of the process. Running as root, the
// helper obtains the right without asking anybody; the application uses the form to replace
// the helper with a newer one without a password prompt. Empty, for good, when the first
// attempt failed. Thread-safe.
std::optional<AuthorizationExternalForm> BlessAuthorizationForm();

}  // namespace helper
